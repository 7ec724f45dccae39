// Serial argument "<device>:<baudrate>[:<mode>[:format]]" and device dispatch.
#pragma once

// Prints the serial argument help on stdout, with `option` as the option name.
void serial_usage(const char *option);
