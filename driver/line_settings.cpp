#include "driver/line_settings.h"

// The kernel's own termios2 carries the exact baud rate; it cannot share a
// file with the C library's <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

bool getTermios(int fd, termios2& t) {
    return ioctl(fd, TCGETS2, &t) == 0;
}

bool setTermios(int fd, const termios2& t) {
    return ioctl(fd, TCSETS2, &t) == 0;
}

} // namespace

bool readLineSettings(int masterFd, TLineSettings& settings, bool& extProc) {
    termios2 t{};
    if (!getTermios(masterFd, t))
        return false;
    settings.baudRate = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        settings.byteSize = 5;
        break;
    case CS6:
        settings.byteSize = 6;
        break;
    case CS7:
        settings.byteSize = 7;
        break;
    default:
        settings.byteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        settings.parity = 0;
    else if (t.c_cflag & CMSPAR)
        settings.parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        settings.parity = (t.c_cflag & PARODD) ? 1 : 2;
    settings.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    extProc = (t.c_lflag & EXTPROC) != 0;
    return true;
}

bool setFreshPortSettings(int masterFd) {
    termios2 t{};
    if (!getTermios(masterFd, t))
        return false;
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = EXTPROC;
    t.c_cflag = CS8 | CREAD | CLOCAL | B9600;
    t.c_ispeed = 9600;
    t.c_ospeed = 9600;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return setTermios(masterFd, t);
}

bool restoreChangeNotices(int masterFd) {
    termios2 t{};
    if (!getTermios(masterFd, t))
        return false;
    t.c_lflag |= EXTPROC;
    return setTermios(masterFd, t);
}
