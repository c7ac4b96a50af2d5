// Baud rates outside the Bxxx constants. Kept apart: <asm/termbits.h> clashes with <termios.h>.
#ifdef __linux__
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool posixSetCustomBaud(int fd, unsigned baud) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

unsigned posixGetBaud(int fd) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return t.c_ospeed;
}
#else
#include <termios.h>

bool posixSetCustomBaud(int, unsigned) { return false; }

unsigned posixGetBaud(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return 0;
    return static_cast<unsigned>(cfgetospeed(&t)); // speed_t holds the rate itself on BSD/macOS
}
#endif
