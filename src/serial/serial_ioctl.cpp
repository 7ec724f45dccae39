// The serial driver ioctls behind one replaceable table.
#include "serial/serial_ioctl.h"

#include <sys/ioctl.h>

static int real_get_serial(int fd, struct serial_struct *info)
{
    return ioctl(fd, TIOCGSERIAL, info);
}

static int real_set_serial(int fd, const struct serial_struct *info)
{
    return ioctl(fd, TIOCSSERIAL, info);
}

static int real_get_rs485(int fd, struct serial_rs485 *conf)
{
    return ioctl(fd, TIOCGRS485, conf);
}

static int real_set_rs485(int fd, const struct serial_rs485 *conf)
{
    return ioctl(fd, TIOCSRS485, conf);
}

static int real_modem_set(int fd, int bits)
{
    return ioctl(fd, TIOCMBIS, &bits);
}

static int real_modem_clear(int fd, int bits)
{
    return ioctl(fd, TIOCMBIC, &bits);
}

static constexpr serial_ioctl_ops REAL_OPS = {real_get_serial, real_set_serial, real_get_rs485,
                                              real_set_rs485,  real_modem_set,  real_modem_clear};

serial_ioctl_ops serial_ioctl = REAL_OPS;

void serial_ioctl_reset()
{
    serial_ioctl = REAL_OPS;
}
