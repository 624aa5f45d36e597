/* serial-flags PORT [FLAGS]: prints the serial driver's flags of PORT (TIOCGSERIAL) as
 * "flags=0xHEX low_latency=0|1", after setting them to FLAGS (hexadecimal, TIOCSSERIAL) if given;
 * for the guest, whose busybox has no setserial. Built statically on the host; opens the port
 * without waiting for a carrier. */
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int Fail(const char* sPort, const char* sWhat) {
    fprintf(stderr, "serial-flags: %s: %s%s\n", sPort, sWhat, strerror(errno));
    return 1;
}

int main(int argc, char** argv) {
    struct serial_struct serial;
    int fd;
    int iResult = 0;
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: serial-flags PORT [FLAGS]\n");
        return 2;
    }
    fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return Fail(argv[1], "");
    memset(&serial, 0, sizeof serial);
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        iResult = Fail(argv[1], "TIOCGSERIAL: ");
    } else if (argc == 3) {
        serial.flags = (int)strtoul(argv[2], NULL, 16);
        if (ioctl(fd, TIOCSSERIAL, &serial) != 0 || ioctl(fd, TIOCGSERIAL, &serial) != 0)
            iResult = Fail(argv[1], "TIOCSSERIAL: ");
    }
    if (iResult == 0)
        printf("flags=0x%x low_latency=%d\n", (unsigned)serial.flags,
               (serial.flags & ASYNC_LOW_LATENCY) != 0);
    close(fd);
    return iResult;
}
