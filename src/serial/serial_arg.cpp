// Serial argument, device dispatch and the serial endpoint set-up.
#include "serial/serial_arg.h"

#include "serial/serial_mode.h"
#include "serial/serial_port.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {

const int SERIAL_DEFAULT_BAUD = 19200;
const char SERIAL_DEFAULT_FORMAT[] = "8n1";

struct mode_keyword {
    const char *word;
    int mode;
};

const mode_keyword MODE_KEYWORDS[] = {
    {"rs232", PORT_MODE_RS232},
    {"rs422", PORT_MODE_RS422},
    {"rs485-2w", PORT_MODE_RS485_2W},
    {"rs485-4w", PORT_MODE_RS485_4W},
};

bool mode_from_keyword(const std::string &field, int *mode)
{
    for (const mode_keyword &k : MODE_KEYWORDS)
        if (strcasecmp(field.c_str(), k.word) == 0) {
            *mode = k.mode;
            return true;
        }
    return false;
}

// Data formats are lower case only: "8N1" is a (tiny) baud rate.
bool is_data_format(const std::string &field)
{
    return field.size() >= SERIAL_FORMAT_LEN && strchr("5678", field[0]) &&
           strchr("noe", field[1]) && strchr("12", field[2]);
}

// atoi's reading (the leading decimal number, 0 without one), clamped to the
// int range instead of overflowing on a long run of digits.
int leading_int(const std::string &field)
{
    long v = strtol(field.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

std::vector<std::string> split_fields(const std::string &text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) return fields;
        start = colon + 1;
    }
}

bool looks_like_ipv4(const char *text)
{
    int a, b, c, d;
    return sscanf(text, "%d.%d.%d.%d", &a, &b, &c, &d) == 4;
}

} // namespace

int serial_arg_parse(const char *arg, serial_arg_parsed *out)
{
    out->device[0] = '\0';
    out->baud = SERIAL_DEFAULT_BAUD;
    out->mode = PORT_MODE_RS232;
    memcpy(out->format, SERIAL_DEFAULT_FORMAT, sizeof out->format);

    // A cut argument could name another device or rate than the user meant, so
    // an overlong one is refused rather than truncated.
    if (strlen(arg) > SERIAL_ARG_MAX) {
        fprintf(stderr, "Serial argument longer than %d characters: %s\n", SERIAL_ARG_MAX, arg);
        return -1;
    }
    std::vector<std::string> fields = split_fields(arg);
    std::string device = fields[0];
    size_t next = 1;
    if (looks_like_ipv4(device.c_str())) {
        device += ":";
        if (next < fields.size()) device += fields[next++];
    }
    if (device.size() > SERIAL_DEVICE_MAX) {
        fprintf(stderr, "Serial device longer than %d characters: %s\n", SERIAL_DEVICE_MAX,
                device.c_str());
        return -1;
    }
    memcpy(out->device, device.c_str(), device.size() + 1);

    for (; next < fields.size(); next++) {
        const std::string &field = fields[next];
        if (mode_from_keyword(field, &out->mode)) continue;
        if (is_data_format(field)) {
            memcpy(out->format, field.data(), SERIAL_FORMAT_LEN);
            out->format[SERIAL_FORMAT_LEN] = '\0';
            continue;
        }
        out->baud = leading_int(field);
    }
    return 0;
}

int serial_parse_open(const char *arg)
{
    serial_arg_parsed p;
    if (serial_arg_parse(arg, &p) < 0) return -1;
    if (p.device[0] == '\0') return -1;
    return serial_dispatch(p.device, p.baud, p.mode, p.format);
}

int serial_parse_reopen(const char *arg)
{
    serial_arg_parsed p;
    if (serial_arg_parse(arg, &p) < 0 || p.device[0] == '\0') return -1;
    return serial_open_quiet(p.device, p.baud, p.mode, p.format);
}

int socket_not_implemented()
{
    fprintf(stderr, "Connected to a socket not implemented.\n");
    return -1;
}

int serial_dispatch(const char *device, int baud, int mode, const char *format)
{
    int a, b, c, d, port;
    if (sscanf(device, "%d.%d.%d.%d:%d", &a, &b, &c, &d, &port) == 5)
        return socket_not_implemented();
    if (!strstr(device, "tty")) {
        fprintf(stderr, "Unknown device type.\n");
        return -1;
    }
    return serial_open(device, baud, mode, format);
}

int serial_dispatch_8n1(const char *device, int baud, int mode)
{
    return serial_dispatch(device, baud, mode, SERIAL_DEFAULT_FORMAT);
}

int serial_open_from_argv(int argc, char **argv, const char *option)
{
    int last = -1;
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], option) == 0) last = i;
    if (last < 0) return -1;
    if (last + 1 >= argc) {
        fprintf(stderr, "Missing argument\n");
        return -1;
    }
    return serial_parse_open(argv[last + 1]);
}

void serial_usage(const char *option)
{
    printf("Serial arguments:\n");
    printf("  %1$s <device>:<baudrate>[:<mode>[:format]]\n"
           "    Example1: %1$s /dev/ttyS0:115200\n"
           "    Example2: %1$s 192.168.1.1:4001:115200\n"
           "    Example3: %1$s /dev/ttyS0:115200:RS422:8n1\n"
           "    Example4: %1$s /dev/ttyS0:115200:RS485-2w\n",
           option);
    printf("\n");
}
