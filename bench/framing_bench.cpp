// Micro-benchmarks of the line framer that every text endpoint runs over each read.
// A bus at 115200 baud brings about 11.5 kB/s; these show how far above that the
// framer stays for the shapes of input it meets.
#include "channels/framing.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void count_bytes(void *ctx, const char *, size_t len)
{
    *static_cast<size_t *>(ctx) += len;
}

// `len` bytes of `unit` repeated.
std::string repeat(const std::string &unit, size_t len)
{
    std::string s;
    while (s.size() < len) s += unit;
    s.resize(len);
    return s;
}

void run_framer(benchmark::State &state, const std::string &input, size_t read_size)
{
    line_state st;
    size_t sent = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < input.size(); off += read_size) {
            size_t n = input.size() - off < read_size ? input.size() - off : read_size;
            line_frame(&st, input.data() + off, n, count_bytes, &sent);
        }
        benchmark::DoNotOptimize(sent);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

// Full 4 KiB reads of 32-byte command lines: a busy endpoint.
void BM_line_frame_lines32(benchmark::State &state)
{
    run_framer(state, repeat("set 0042 value=1234567890 ok;;;\n", 4096), 4096);
}

// The same lines arriving a few bytes per read, as from a slow serial line: most
// reads end inside a line and send or hold a fragment.
void BM_line_frame_small_reads(benchmark::State &state)
{
    run_framer(state, repeat("set 0042 value=1234567890 ok;;;\n", 4096),
               static_cast<size_t>(state.range(0)));
}

// Messages continued over backslash-newlines.
void BM_line_frame_continued(benchmark::State &state)
{
    run_framer(state, repeat("table \\\n row 1 \\\n row 2\n", 4096), 4096);
}

// A stream without newlines: the buffer fills and goes out in 4 KiB pieces.
void BM_line_frame_no_newline(benchmark::State &state)
{
    run_framer(state, std::string(4096, 'z'), 4096);
}

} // namespace

// Short minimum times keep the whole benchmark run within its time budget.
BENCHMARK(BM_line_frame_lines32)->MinTime(0.2);
BENCHMARK(BM_line_frame_small_reads)->Arg(1)->Arg(7)->MinTime(0.2);
BENCHMARK(BM_line_frame_continued)->MinTime(0.2);
BENCHMARK(BM_line_frame_no_newline)->MinTime(0.2);
