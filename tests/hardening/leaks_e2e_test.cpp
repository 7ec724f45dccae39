// A whole daemon run under valgrind's memcheck: start, traffic on every endpoint,
// a link added and removed through the console, SIGINT. No memory may be lost.
#include "kit.h"
#include "rig.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// The bytes memcheck reports under `kind` ("definitely lost"); 0 when it reports
// no leak summary because every block was freed, -1 when there is no report.
long lost_bytes(const std::string &log, const std::string &kind)
{
    std::smatch m;
    if (std::regex_search(log, m, std::regex(kind + ": ([0-9,]+) bytes"))) {
        std::string n = m[1];
        n.erase(std::remove(n.begin(), n.end(), ','), n.end());
        return std::stol(n);
    }
    return log.find("All heap blocks were freed") != std::string::npos ? 0 : -1;
}

TEST(Leaks, AFullRunUnderMemcheckLosesNoMemory)
{
#ifdef VX_SANITIZED
    GTEST_SKIP() << "a sanitizer's own memory use would be measured";
#endif
    if (system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no valgrind";
    std::string dir = temp_dir(), log = dir + "/memcheck.txt", input = dir + "/input.txt";
    FILE *f = fopen(input.c_str(), "w");
    fputs("from the file\n", f);
    fclose(f);
    daemon_start_opts opts;
    opts.pipe_stdin = true;
    opts.wrapper = {"valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                    "--log-file=" + log};
    rig r;
    rig_start(r, {"--stdin", "command", "--stdout", "response", "-i", input}, opts);
    EXPECT_EQ(rig_failures(r, "under memcheck"), "");
    ASSERT_EQ(write(r.d.stdin_fd, "from stdin\n", 11), 11);
    std::string m;
    while (r.cmd->recv(m, 5000) && m != "from stdin\n") {
    }
    EXPECT_EQ(m, "from stdin\n");
    EXPECT_NE(daemon_stdout(r.d).find("response under memcheck\n"), std::string::npos);

    int port = 0;
    int lfd = lo_listen(&port);
    std::string peer = "127.0.0.1:" + std::to_string(port);
    int con = lo_connect(5550);
    lo_send(con, "connect to " + peer + "\n");
    int fd = lo_accept(lfd, 10000);
    EXPECT_GE(fd, 0);
    lo_send(con, "disconnect " + peer + "\n");
    EXPECT_TRUE(lo_wait_eof(fd, 10000));
    for (int c : {fd, lfd, con})
        close(c);

    int status = daemon_stop(r.d, SIGINT, 60000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string report = read_file(log);
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    EXPECT_EQ(lost_bytes(report, "definitely lost"), 0) << report;
    EXPECT_EQ(lost_bytes(report, "indirectly lost"), 0) << report;
}

} // namespace
