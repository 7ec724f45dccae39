// Stand-ins for the board.
#include "serial_fakes.h"

#include "kit.h"
#include "serial/gpio.h"
#include "serial/serial_ioctl.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

fake_sysfs::fake_sysfs() : root(temp_dir())
{
    write("export", "");
    notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    gpio_set_root(root.c_str());
}

fake_sysfs::~fake_sysfs()
{
    gpio_set_root(nullptr);
    close(notify_fd);
    (void)!system(("rm -rf '" + root + "'").c_str());
}

void fake_sysfs::add_line(int gpio, const std::string &direction, const std::string &value)
{
    std::string dir = "gpio" + std::to_string(gpio);
    mkdir((root + "/" + dir).c_str(), 0755);
    write(dir + "/direction", direction);
    write(dir + "/value", value);
    line_of_watch[inotify_add_watch(notify_fd, (root + "/" + dir).c_str(), IN_MODIFY)] = gpio;
}

std::string fake_sysfs::read(const std::string &file) const
{
    return read_file(root + "/" + file);
}

void fake_sysfs::write(const std::string &file, const std::string &text) const
{
    std::ofstream(root + "/" + file, std::ios::trunc) << text;
}

void fake_sysfs::drain(call_log &log)
{
    alignas(struct inotify_event) char buf[4096];
    ssize_t n;
    while ((n = ::read(notify_fd, buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            auto *ev = reinterpret_cast<struct inotify_event *>(p);
            p += sizeof *ev + ev->len;
            std::string gpio = std::to_string(line_of_watch[ev->wd]);
            // Each test writes a line at most once between two drains, so the
            // file still holds what that write left.
            std::string now = read("gpio" + gpio + "/" + ev->name);
            if (strcmp(ev->name, "direction") == 0)
                log.push_back(gpio + (now.compare(0, 3, "out") == 0 ? ":out" : ":in"));
            else
                log.push_back(gpio + "=" + now.substr(0, 1));
        }
    }
}

namespace {

ioctl_recorder *active = nullptr;

int note(const std::string &call, bool fail)
{
    if (active->sysfs) active->sysfs->drain(active->log);
    active->log.push_back(call);
    errno = ENOTTY;
    return fail ? -1 : 0;
}

std::string hex(unsigned v)
{
    char text[16];
    snprintf(text, sizeof text, "0x%x", v);
    return text;
}

int modem(const char *call, int bits)
{
    const char *line = bits == TIOCM_RTS ? " RTS" : bits == TIOCM_DTR ? " DTR" : " ?";
    return note(std::string(call) + line, active->fail_modem);
}

} // namespace

ioctl_recorder::ioctl_recorder()
{
    memset(&serial, 0, sizeof serial);
    serial.baud_base = 115200;
    serial.flags = ASYNC_SPD_SHI | ASYNC_SKIP_TEST; // old speed bits, and one to keep
    memset(&rs485, 0, sizeof rs485);
    rs485.flags = SER_RS485_TERMINATE_BUS; // not a mode bit
    rs485.delay_rts_before_send = 7;
    active = this;
    serial_ioctl = {
        [](int, struct serial_struct *info) {
            *info = active->serial;
            return note("TIOCGSERIAL", ++active->get_serial_calls == active->fail_get_serial_call);
        },
        [](int, const struct serial_struct *info) {
            if (!active->fail_set_serial) active->serial = *info;
            return note("TIOCSSERIAL divisor=" + std::to_string(info->custom_divisor) +
                            " flags=" + hex(static_cast<unsigned>(info->flags)),
                        active->fail_set_serial);
        },
        [](int, struct serial_rs485 *conf) {
            *conf = active->rs485;
            if (active->fail_get_rs485) memset(conf, 0x5a, sizeof *conf); // half-done by the driver
            return note("TIOCGRS485", active->fail_get_rs485);
        },
        [](int, const struct serial_rs485 *conf) {
            active->rs485_written = *conf;
            return note("TIOCSRS485 flags=" + hex(conf->flags), false);
        },
        [](int, int bits) { return modem("TIOCMBIS", bits); },
        [](int, int bits) { return modem("TIOCMBIC", bits); },
    };
}

ioctl_recorder::~ioctl_recorder()
{
    serial_ioctl_reset();
    active = nullptr;
}

call_log ioctl_recorder::calls()
{
    if (sysfs) sysfs->drain(log);
    return log;
}
