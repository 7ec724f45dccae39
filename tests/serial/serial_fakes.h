// Stand-ins for the board: a temporary GPIO sysfs whose writes are recorded in
// order (inotify queues them as they happen), and fake serial ioctls that log
// each call into the same record and answer as a UART driver would.
#pragma once

#include <linux/serial.h>
#include <map>
#include <string>
#include <vector>

typedef std::vector<std::string> call_log;

// gpio_set_root points here while it lives. The export file is a plain file:
// writing it creates no line.
struct fake_sysfs {
    std::string root;
    int notify_fd = -1;
    std::map<int, int> line_of_watch;
    fake_sysfs();
    ~fake_sysfs();
    // An exported line: gpioN/direction and gpioN/value holding these texts.
    void add_line(int gpio, const std::string &direction = "in\n",
                  const std::string &value = "0\n");
    std::string read(const std::string &file) const;
    void write(const std::string &file, const std::string &text) const;
    // Appends the writes since the last call: "N:out"/"N:in" for a direction,
    // "N=<first byte>" for a value.
    void drain(call_log &log);
};

// Installed into serial_ioctl while it lives (one at a time).
struct ioctl_recorder {
    call_log log;                // calls in order, with the GPIO writes between them
    fake_sysfs *sysfs = nullptr; // drained into `log` before each call when set
    struct serial_struct serial; // TIOCGSERIAL answers it, TIOCSSERIAL replaces it
    struct serial_rs485 rs485;   // TIOCGRS485 answers it
    struct serial_rs485 rs485_written = {};
    int get_serial_calls = 0;
    int fail_get_serial_call = 0; // this TIOCGSERIAL (1 = first) fails
    bool fail_set_serial = false;
    bool fail_get_rs485 = false; // fails after scribbling over the record
    bool fail_modem = false;
    ioctl_recorder(); // baud_base 115200; both records carry bits that must survive
    ~ioctl_recorder();
    call_log calls(); // the log after a last drain
};
