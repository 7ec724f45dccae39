// The serial subsystem on stand-ins for the board: a temporary sysfs, recorded ioctls, ptys.
#include "kit.h"
#include "serial/gpio.h"
#include "serial/serial_arg.h"
#include "serial/serial_ioctl.h"
#include "serial/serial_mode.h"
#include "serial/serial_port.h"

#include <cstring>
#include <fstream>
#include <map>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <utility>

using namespace testing::internal; // output capture

// The board, one at a time. calls(): what reached it since the last look, GPIO writes "N:out"
// "N:in" "N=<byte>" and ioctls "SER?" "SER=<divisor> <flags>" "485?" "485=<flags>" "RTS+" "RTS-".
struct board {
    std::string root = temp_dir(), log;
    int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::map<int, int> line_of_watch;
    unsigned ioctls = 0, failing = 0; // failing bit n: the nth ioctl fails, half-writing its output
    struct serial_struct serial = {}; // both records hold bits that must stay
    struct serial_rs485 rs485 = {};
    board();
    ~board()
    {
        serial_ioctl_reset();
        gpio_set_root(nullptr);
        close(notify);
    }
    void add(const std::string &call) { log += (log.empty() ? "" : " ") + call; }
    std::string calls(bool take = true)
    {
        alignas(struct inotify_event) char buf[4096];
        for (ssize_t n; (n = read(notify, buf, sizeof buf)) > 0;)
            for (char *p = buf; p < buf + n;) {
                auto *ev = reinterpret_cast<struct inotify_event *>(p);
                p += sizeof *ev + ev->len;
                // A test writes a file at most once between two looks: it still holds that write.
                std::string gpio = std::to_string(line_of_watch[ev->wd]);
                std::string now = read_file(root + "/gpio" + gpio + "/" + ev->name);
                add(gpio + (strcmp(ev->name, "value") == 0  ? "=" + now.substr(0, 1)
                            : now.compare(0, 3, "out") == 0 ? ":out"
                                                            : ":in"));
            }
        return take ? std::exchange(log, "") : log;
    }
    std::string mode(const char *path, int mode) // serial_set_mode on fresh input lines
    {
        for (int gpio : {194, 197, 212, 224, 229, 237, 238, 243, 250}) {
            std::string dir = root + "/gpio" + std::to_string(gpio);
            mkdir(dir.c_str(), 0755);
            std::ofstream(dir + "/direction") << "in\n";
            std::ofstream(dir + "/value") << "0\n";
            line_of_watch[inotify_add_watch(notify, dir.c_str(), IN_MODIFY)] = gpio;
        }
        calls();
        EXPECT_EQ(serial_set_mode(3, path, mode), 0) << path << " " << mode;
        return calls();
    }
    int note(const void *from, void *to, size_t n, const char *fmt, unsigned a = 0, unsigned b = 0)
    {
        char call[40];
        snprintf(call, sizeof call, fmt, a, b);
        calls(false);
        add(call);
        bool fail = failing >> ++ioctls & 1;
        if (n) fail ? memset(to, 0x5a, n) : memcpy(to, from, n);
        errno = ENOTTY;
        return fail ? -1 : 0;
    }
};
static board *hw;

board::board()
{
    std::ofstream(root + "/export");
    gpio_set_root(root.c_str());
    serial.baud_base = 115200;
    serial.flags = ASYNC_SPD_SHI | ASYNC_SKIP_TEST; // old speed bits, and one to keep
    rs485.flags = SER_RS485_TERMINATE_BUS;          // not a mode bit
    rs485.delay_rts_before_send = 7;
    hw = this;
    serial_ioctl = {
        [](int, serial_struct *s) { return hw->note(&hw->serial, s, sizeof *s, "SER?"); },
        [](int, const serial_struct *s) {
            return hw->note(s, &hw->serial, sizeof *s, "SER=%u %#x", s->custom_divisor, s->flags);
        },
        [](int, serial_rs485 *r) { return hw->note(&hw->rs485, r, sizeof *r, "485?"); },
        [](int, const serial_rs485 *r) {
            return hw->note(r, &hw->rs485, sizeof *r, "485=%#x", r->flags);
        },
        [](int, int b) { return hw->note(nullptr, nullptr, 0, b & TIOCM_RTS ? "RTS+" : "DTR+"); },
        [](int, int b) { return hw->note(nullptr, nullptr, 0, b & TIOCM_RTS ? "RTS-" : "DTR-"); },
    };
}

TEST(SerialMode, EachPortAndModeMakesItsStepsInOrderFailingIoctlsStopNothingAndLinesOutStayOut)
{
    board b;
    // By mode: RS-232, RS-422, 4-wire, 2-wire; TERMINATE_BUS 0x20 stays.
    const std::pair<const char *, std::vector<std::string>> ports[] = {
        {"/dev/ttyS1",
         {"RTS+ 238:out 238=0", "238:out 238=1 RTS- 237:out 237=0",
          "238:out 238=1 RTS+ 237:out 237=0", "238:out 238=1 RTS+ 237:out 237=1"}},
        {"/dev/ttyQE0",
         {"485? 485=0x30 194:out 194=0 224:out 224=0", "485? 485=0x37 194:out 194=1 224:out 224=0",
          "485? 485=0x33 194:out 194=1 224:out 224=0",
          "485? 485=0x23 194:out 194=1 224:out 224=1"}},
        {"/dev/ttyQE1", {"485? 485=0x30", "485? 485=0x37", "485? 485=0x33", "485? 485=0x23"}},
        {"/dev/ttyQE2",
         {"485? 485=0x30", "485? 485=0x37 212:out 212=0", "485? 485=0x33 212:out 212=0",
          "485? 485=0x23 212:out 212=1"}},
        {"/dev/ttyS10", {"", "", "", ""}}, // the whole path must be /dev/ttyS1
    };
    for (const auto &[path, by_mode] : ports)
        for (int mode = 0; mode < 4; mode++)
            EXPECT_EQ(b.mode(path, mode), by_mode[mode]) << path << " mode " << mode;
    EXPECT_EQ(b.rs485.delay_rts_before_send, 7u); // only the flags change
    b.ioctls = 0;
    b.failing = 1 << 1 | 1 << 3;
    CaptureStderr();
    EXPECT_EQ(b.mode("/dev/ttyQE3", PORT_MODE_RS485_2W), "485? 485=0x3 250:out 250=1");
    EXPECT_EQ(b.mode("/dev/ttyS1", PORT_MODE_RS232), "RTS+ 238:out 238=0");
    EXPECT_EQ(count_of(GetCapturedStderr(), std::string("ioctl: ") + strerror(ENOTTY) + "\n"), 2u);
    EXPECT_EQ(b.rs485.delay_rts_before_send, 0u); // zeroed, not the half-written record
    EXPECT_EQ(serial_set_mode(3, "/dev/ttyS1", PORT_MODE_RS422), 0);
    EXPECT_EQ(b.calls(), "238=1 RTS- 237:out 237=0"); // "out" again would drive 238 low
    CaptureStdout(); // a line not exported yet is exported (here to nothing) by its bare number
    EXPECT_EQ(gpio_set_output(239, 1), -1);
    EXPECT_EQ(read_file(b.root + "/export") + GetCapturedStdout(), "239Unable to set direction.\n");
}

TEST(SerialPort, CustomRatesTakeTheNearestDivisorAndTwoPortsGetTheirSettingsBack)
{
    const std::tuple<int, int, const char *, const char *> cases[] = {
        {14400, 0, "SER? SER=8 0x70 SER?", ""}, // 0x70: ASYNC_SPD_CUST | ASYNC_SKIP_TEST
        {250000, 0, "SER? SER=1 0x70 SER?", "Actual baudrate is 115200 / 1 = 115200.000000."},
        {76800, 0, "SER? SER=2 0x70 SER?", "Actual baudrate is 115200 / 2 = 57600.000000."}, // 1.5
        {31250, 3, "SER? SER=4 0x70 SER?", "Unable check baudrate."},
        {31250, 1, "SER?", ""},
        {31250, 2, "SER? SER=4 0x70", ""},
    };
    for (const auto &[baud, failing, calls, warn] : cases) {
        board b;
        b.failing = 1u << failing;
        pty_port bus;
        CaptureStderr();
        int fd = serial_open(bus.link.c_str(), baud, PORT_MODE_RS232, "8n1");
        EXPECT_EQ(GetCapturedStderr(), *warn ? "Warning: " + std::string(warn) + "\n" : "");
        EXPECT_EQ(b.calls(), calls) << baud;
        EXPECT_EQ(fd >= 0 && serial_close(fd) == fd, failing != 1 && failing != 2);
    }
    pty_port ports[2]; // both slots free again
    std::vector<int> fds;
    for (auto &p : ports) fds.push_back(serial_open(p.link.c_str(), 9600, PORT_MODE_RS232, "8n1"));
    for (int fd : fds) serial_close(fd);
    EXPECT_TRUE(ports[0].as_found() && ports[1].as_found());
}

TEST(SerialArg, FieldsInAnyOrderLastOneWinsWhatIsRefusedAndAQuietReopen)
{
    const std::pair<const char *, const char *> cases[] = {
        {"/dev/ttyS1", "/dev/ttyS1 19200 0 8n1"},
        {"/dev/ttyS0:115200:RS422:8n1", "/dev/ttyS0 115200 1 8n1"},
        {"/dev/ttyQE0:rs485-4w:9600:Rs485-2W:5o1:7e2x", "/dev/ttyQE0 9600 3 7e2"},
        {"/dev/ttyS1:rs485-2w:8N1:rs232", "/dev/ttyS1 8 0 8n1"}, // a format is lower case
        {":9600:", " 0 0 8n1"},                                  // an empty field is a rate of 0
        {"/dev/ttyS1:99999999999", "/dev/ttyS1 2147483647 0 8n1"},
    };
    for (const auto &c : cases) {
        serial_arg_parsed p;
        ASSERT_EQ(serial_arg_parse(c.first, &p), 0) << c.first;
        EXPECT_EQ(c.second, std::string(p.device) + " " + std::to_string(p.baud) + " " +
                                std::to_string(p.mode) + " " + p.format);
    }
    const std::string dev49 = "/dev/tty" + std::string(41, 'x');
    const std::pair<std::string, std::string> refused[] = {
        {dev49 + ":12", "Serial argument longer than 51 characters: " + dev49 + ":12\n"},
        {dev49 + "y", "Serial device longer than 49 characters: " + dev49 + "y\n"},
        {dev49 + ":1", dev49 + ": No such file or directory\n"}, // 51 characters fit
        {"192.168.1.1:4001:115200", "Connected to a socket not implemented.\n"},
        {"/dev/null:9600", "Unknown device type.\n"},
        {"/nonexistent/ttyS1:fast", ""}, // rate 0: refused before any open
    };
    for (const auto &c : refused) {
        CaptureStderr();
        EXPECT_EQ(serial_parse_open(c.first.c_str()), -1) << c.first;
        EXPECT_EQ(GetCapturedStderr(), c.second) << c.first;
    }
    pty_port bus;
    const std::string arg = bus.link + ":2400:8n2"; // a pty keeps CS8 and no parity
    unlink(bus.link.c_str());
    CaptureStderr();
    EXPECT_EQ(serial_parse_reopen(arg.c_str()), -1);
    EXPECT_EQ(GetCapturedStderr(), ""); // retries stay quiet
    ASSERT_TRUE(bus.replace());
    int fd = serial_parse_reopen(arg.c_str()); // the pty was found at 4800 baud
    EXPECT_EQ(bus.settings().c_cflag, static_cast<tcflag_t>(CS8 | CSTOPB | B2400 | CREAD | CLOCAL));
    serial_close(fd);
}
