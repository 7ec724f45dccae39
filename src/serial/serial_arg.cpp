// Serial argument and device dispatch.
#include "serial/serial_arg.h"

#include <cstdio>

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
