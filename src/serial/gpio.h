// GPIO lines through the Linux sysfs interface: export, direction, value.
// Lines are named by their global sysfs number; every call opens, uses and
// closes its file, and messages go to standard output.
#pragma once

constexpr int GPIO_READ_MAX = 80; // bytes read from a direction or value file

// Points every later call at another directory laid out like /sys/class/gpio
// (the default); for tests, which have no board. Null restores the default.
void gpio_set_root(const char *root);

// Makes the line an output, exporting it when needed, and sets its value.
// Returns 0 or -1. What the transceiver modes use.
int gpio_set_output(int gpio, int value);

// --- Kept on purpose: the rest of the GPIO interface the board's tools know.
// gpio_set_output is built from the first four; the daemon calls none directly.

// Writes "1" (value non-zero) or "0". Returns 0, or -1 when the value file
// cannot be opened.
int gpio_write_value(int gpio, int value);

// Returns 0 when the value file starts with "0", 1 for any other first byte, -1
// when it cannot be opened or reads empty.
int gpio_read_value(int gpio);

// Makes the line an output (output non-zero) or an input, writing the direction
// only when it differs. Returns -1 when the line is not exported, else 0.
int gpio_set_direction(int gpio, int output);

// Asks the kernel to export the line. Returns 0, or -1 when the export file
// cannot be opened.
int gpio_export(int gpio);

// Makes the line an input, exporting it when needed. Returns its value (0 or 1)
// or -1.
int gpio_get_input(int gpio);

// Reads the line without touching its direction: as gpio_read_value.
int gpio_read(int gpio);
