// GPIO lines through sysfs.
#include "serial/gpio.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

static const char GPIO_DEFAULT_ROOT[] = "/sys/class/gpio";

// Written only by the main thread during start-up (and by tests), like every
// other GPIO call.
static std::string gpio_root = GPIO_DEFAULT_ROOT;

void gpio_set_root(const char *root)
{
    gpio_root = root ? root : GPIO_DEFAULT_ROOT;
}

static std::string gpio_path(int gpio, const char *file)
{
    return gpio_root + "/gpio" + std::to_string(gpio) + "/" + file;
}

int gpio_write_value(int gpio, int value)
{
    int fd = open(gpio_path(gpio, "value").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    (void)!write(fd, value ? "1" : "0", 1);
    close(fd);
    return 0;
}

int gpio_read_value(int gpio)
{
    int fd = open(gpio_path(gpio, "value").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[GPIO_READ_MAX];
    int result = -1;
    if (read(fd, buf, sizeof buf) > 0) result = buf[0] == '0' ? 0 : 1;
    close(fd);
    return result;
}

int gpio_set_direction(int gpio, int output)
{
    int fd = open(gpio_path(gpio, "direction").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[GPIO_READ_MAX];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        // The line exists; leave its direction alone rather than guess it.
        printf("Unable to get direction.\n");
        close(fd);
        return 0;
    }
    std::string current(buf, static_cast<size_t>(n));
    // Writing "out" drives the line low: rewriting an output that is already
    // high would glitch it, so only a change of direction is written.
    const char *wanted = nullptr;
    if (output && current.compare(0, 2, "in") == 0) wanted = "out";
    if (!output && current.compare(0, 3, "out") == 0) wanted = "in";
    if (wanted) {
        lseek(fd, 0, SEEK_SET);
        (void)!write(fd, wanted, strlen(wanted));
    }
    close(fd);
    return 0;
}

int gpio_export(int gpio)
{
    int fd = open((gpio_root + "/export").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        printf("Unable to export gpio%d\n", gpio);
        return -1;
    }
    std::string number = std::to_string(gpio);
    (void)!write(fd, number.data(), number.size());
    close(fd);
    return 0;
}

// Sets the direction, exporting the line first when it is not visible yet. The
// kernel creates gpioN before the export write returns, so no delay is needed.
static int gpio_direction_exported(int gpio, int output)
{
    if (gpio_set_direction(gpio, output) >= 0) return 0;
    gpio_export(gpio);
    if (gpio_set_direction(gpio, output) >= 0) return 0;
    printf("Unable to set direction.\n");
    return -1;
}

int gpio_set_output(int gpio, int value)
{
    if (gpio_direction_exported(gpio, 1) < 0) return -1;
    if (gpio_write_value(gpio, value) < 0) {
        printf("Unable to set gpio%d.\n", gpio);
        return -1;
    }
    return 0;
}

int gpio_get_input(int gpio)
{
    if (gpio_direction_exported(gpio, 0) < 0) return -1;
    int value = gpio_read_value(gpio);
    if (value >= 0) return value;
    printf("Unable to set gpio%d.\n", gpio);
    return -1;
}

int gpio_read(int gpio)
{
    return gpio_read_value(gpio);
}
