// Fuzzes the serial argument parser (parsing only; nothing is opened). Checks
// that any argument up to the device limit is accepted, that the device is a
// terminated prefix of the argument, and that mode and format are valid values.
#include "serial/serial_arg.h"
#include "serial/serial_mode.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string arg(reinterpret_cast<const char *>(data), size);
    size_t len = strlen(arg.c_str());
    serial_arg_parsed p;
    memset(&p, 'x', sizeof p); // an unterminated field shows as a run of 'x'
    int rc = serial_arg_parse(arg.c_str(), &p);
    if (rc != 0 && rc != -1) abort();
    if (len < SERIAL_DEVICE_MAX && rc != 0) abort(); // room for an appended ":"
    if (len > SERIAL_ARG_MAX && rc != -1) abort();
    if (rc != 0) return 0;
    if (memchr(p.device, '\0', sizeof p.device) == nullptr) abort();
    // An address device without its port field still gets the ':' it would join with.
    if ((std::string(arg.c_str()) + ":").compare(0, strlen(p.device), p.device) != 0) abort();
    if (p.mode != PORT_MODE_RS232 && p.mode != PORT_MODE_RS422 && p.mode != PORT_MODE_RS485_2W &&
        p.mode != PORT_MODE_RS485_4W)
        abort();
    if (strlen(p.format) != SERIAL_FORMAT_LEN || !strchr("5678", p.format[0]) ||
        !strchr("noe", p.format[1]) || !strchr("12", p.format[2]))
        abort();
    return 0;
}
