// Stand-ins for the board under the serial modules: a temporary directory laid
// out like /sys/class/gpio whose writes are recorded in order (inotify), and
// fake serial ioctls that record each call into the same log and answer like
// a UART driver would.
#pragma once

#include <linux/serial.h>
#include <map>
#include <string>
#include <vector>

// GPIO sysfs in a temporary directory; gpio_set_root points at it for the
// fake's lifetime. The export file is a plain file: writing it creates nothing.
struct fake_sysfs {
    std::string root;
    int notify_fd = -1;
    std::map<int, int> watched; // inotify watch -> line number
    fake_sysfs();
    ~fake_sysfs();
    fake_sysfs(const fake_sysfs &) = delete;
    fake_sysfs &operator=(const fake_sysfs &) = delete;

    // Makes an exported line: gpioN/direction and gpioN/value with these texts.
    void add_line(int gpio, const std::string &direction = "in\n",
                  const std::string &value = "0\n");
    std::string read(const std::string &relative) const;
    void write(const std::string &relative, const std::string &text) const;
    // Appends the writes made since the last call, in order: "N:out" or "N:in"
    // for a direction written, "N=<first byte>" for a value written.
    void drain(std::vector<std::string> &log);
};

// What the fake ioctls answer and what they saw. One at a time: install() puts
// it into serial_ioctl, the destructor puts the real ioctls back.
struct ioctl_recorder {
    std::vector<std::string> log;      // every call in order, GPIO writes between them
    fake_sysfs *sysfs = nullptr;       // drained into `log` before each call when set
    struct serial_struct serial;       // answered by TIOCGSERIAL, replaced by TIOCSSERIAL
    struct serial_rs485 rs485;         // answered by TIOCGRS485
    struct serial_rs485 rs485_written; // the last TIOCSRS485 record
    int fail_get_serial_call = 0;      // this TIOCGSERIAL call (1 = first) fails
    bool fail_set_serial = false;
    bool fail_get_rs485 = false; // fails after scribbling over the record
    bool fail_set_rs485 = false;
    bool fail_modem = false;
    int get_serial_calls = 0;

    ioctl_recorder(); // baud_base 115200, an RS-485 record with unrelated bits set
    ~ioctl_recorder();
    void install();
    // The log after a last drain of the GPIO writes.
    std::vector<std::string> calls();
};
