// Stand-ins for the board under the serial modules.
#include "serial_fakes.h"

#include "serial/gpio.h"
#include "serial/serial_ioctl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

fake_sysfs::fake_sysfs()
{
    char tmpl[] = "/tmp/vexlond-gpio-XXXXXX";
    if (mkdtemp(tmpl)) root = tmpl;
    write("export", "");
    notify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    gpio_set_root(root.c_str());
}

fake_sysfs::~fake_sysfs()
{
    gpio_set_root(nullptr);
    if (notify_fd >= 0) close(notify_fd);
    if (!root.empty()) (void)!system(("rm -rf '" + root + "'").c_str());
}

void fake_sysfs::add_line(int gpio, const std::string &direction, const std::string &value)
{
    std::string dir = "gpio" + std::to_string(gpio);
    mkdir((root + "/" + dir).c_str(), 0755);
    write(dir + "/direction", direction);
    write(dir + "/value", value);
    int wd = inotify_add_watch(notify_fd, (root + "/" + dir).c_str(), IN_MODIFY);
    if (wd >= 0) watched[wd] = gpio;
}

std::string fake_sysfs::read(const std::string &relative) const
{
    std::ifstream in(root + "/" + relative, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void fake_sysfs::write(const std::string &relative, const std::string &text) const
{
    std::ofstream out(root + "/" + relative, std::ios::binary | std::ios::trunc);
    out << text;
}

void fake_sysfs::drain(std::vector<std::string> &log)
{
    // Events are queued by the write itself, so everything written before this
    // call is here; each line is written at most once between two drains.
    alignas(struct inotify_event) char buf[4096];
    ssize_t n;
    while ((n = ::read(notify_fd, buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            auto *ev = reinterpret_cast<struct inotify_event *>(p);
            p += sizeof *ev + ev->len;
            auto line = watched.find(ev->wd);
            if (line == watched.end() || ev->len == 0) continue;
            std::string gpio = std::to_string(line->second);
            std::string content = read("gpio" + gpio + "/" + ev->name);
            if (strcmp(ev->name, "direction") == 0)
                log.push_back(gpio + (content.compare(0, 3, "out") == 0 ? ":out" : ":in"));
            else if (strcmp(ev->name, "value") == 0)
                log.push_back(gpio + "=" + content.substr(0, 1));
        }
    }
}

namespace
{

ioctl_recorder *active = nullptr;

void note(const std::string &call)
{
    if (active->sysfs) active->sysfs->drain(active->log);
    active->log.push_back(call);
}

std::string hex(unsigned v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

std::string modem_bits(int bits)
{
    if (bits == TIOCM_RTS) return "RTS";
    if (bits == TIOCM_DTR) return "DTR";
    return hex(static_cast<unsigned>(bits));
}

int fake_get_serial(int, struct serial_struct *info)
{
    note("TIOCGSERIAL");
    if (++active->get_serial_calls == active->fail_get_serial_call) {
        errno = EIO;
        return -1;
    }
    *info = active->serial;
    return 0;
}

int fake_set_serial(int, const struct serial_struct *info)
{
    note("TIOCSSERIAL divisor=" + std::to_string(info->custom_divisor) +
         " flags=" + hex(static_cast<unsigned>(info->flags)));
    if (active->fail_set_serial) {
        errno = EINVAL;
        return -1;
    }
    active->serial = *info;
    return 0;
}

int fake_get_rs485(int, struct serial_rs485 *conf)
{
    note("TIOCGRS485");
    if (active->fail_get_rs485) {
        // A failing driver may still have written part of the record.
        memset(conf, 0x5a, sizeof *conf);
        errno = ENOTTY;
        return -1;
    }
    *conf = active->rs485;
    return 0;
}

int fake_set_rs485(int, const struct serial_rs485 *conf)
{
    note("TIOCSRS485 flags=" + hex(conf->flags));
    active->rs485_written = *conf;
    if (active->fail_set_rs485) {
        errno = ENOTTY;
        return -1;
    }
    return 0;
}

int fake_modem(const char *name, int bits)
{
    note(std::string(name) + " " + modem_bits(bits));
    if (active->fail_modem) {
        errno = ENOTTY;
        return -1;
    }
    return 0;
}

int fake_modem_set(int, int bits)
{
    return fake_modem("TIOCMBIS", bits);
}
int fake_modem_clear(int, int bits)
{
    return fake_modem("TIOCMBIC", bits);
}

} // namespace

ioctl_recorder::ioctl_recorder()
{
    memset(&serial, 0, sizeof serial);
    serial.baud_base = 115200;
    serial.custom_divisor = 0;
    // An earlier program's speed bits, to be replaced, and a bit to be kept.
    serial.flags = ASYNC_SPD_SHI | ASYNC_SKIP_TEST;
    memset(&rs485, 0, sizeof rs485);
    rs485.flags = SER_RS485_TERMINATE_BUS; // not a mode bit: must survive
    rs485.delay_rts_before_send = 7;
    rs485.delay_rts_after_send = 9;
    memset(&rs485_written, 0, sizeof rs485_written);
}

ioctl_recorder::~ioctl_recorder()
{
    if (active == this) {
        serial_ioctl_reset();
        active = nullptr;
    }
}

void ioctl_recorder::install()
{
    active = this;
    serial_ioctl.get_serial = fake_get_serial;
    serial_ioctl.set_serial = fake_set_serial;
    serial_ioctl.get_rs485 = fake_get_rs485;
    serial_ioctl.set_rs485 = fake_set_rs485;
    serial_ioctl.modem_set = fake_modem_set;
    serial_ioctl.modem_clear = fake_modem_clear;
}

std::vector<std::string> ioctl_recorder::calls()
{
    if (sysfs) sysfs->drain(log);
    return log;
}
