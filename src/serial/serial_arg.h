// Serial argument "<device>:<baudrate>[:<mode>[:format]]", device dispatch, and
// the serial endpoint that puts the bus on the channels.
#pragma once

constexpr int SERIAL_ARG_MAX = 51;    // characters of a serial argument that are parsed
constexpr int SERIAL_DEVICE_MAX = 49; // characters of the device text
constexpr int SERIAL_FORMAT_LEN = 3;  // data bits, parity, stop bits: "8n1"

// The values a serial argument names, defaults filled in.
struct serial_arg_parsed {
    char device[SERIAL_DEVICE_MAX + 1]; // device path, or "<a>.<b>.<c>.<d>:<port>"; may be empty
    int baud;                           // signed rate, 19200 by default
    int mode;                           // PORT_MODE_*, RS-232 by default
    char format[SERIAL_FORMAT_LEN + 1]; // "8n1" by default
};

// Splits a serial argument into its values. Returns 0, or -1 after a message
// on stderr when the argument or its device text is too long to hold.
int serial_arg_parse(const char *arg, serial_arg_parsed *out);

// Parses `arg` and opens what it names. Returns the port's descriptor
// (serial_close gives it back) or -1.
int serial_parse_open(const char *arg);

// serial_parse_open for a port that was open before and has gone away: a device
// that is still missing is not reported, so that retrying stays quiet.
int serial_parse_reopen(const char *arg);

// Prints the serial argument help on stdout, with `option` as the option name.
void serial_usage(const char *option);

// --- Kept on purpose: the rest of the serial argument interface; the daemon
// reaches the first one only through serial_parse_open.

// Opens `device` if it names a serial port. Returns a descriptor or -1.
int serial_dispatch(const char *device, int baud, int mode, const char *format);

// serial_dispatch with the format "8n1".
int serial_dispatch_8n1(const char *device, int baud, int mode);

// Reports that socket devices are not implemented. Returns -1.
int socket_not_implemented();

// serial_parse_open of the argument after the last `option` in argv[1..].
// Returns -1 when the option is absent or has no argument.
int serial_open_from_argv(int argc, char **argv, const char *option);
