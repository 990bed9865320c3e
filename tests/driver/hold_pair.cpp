// Started by the pair host tests as "another program": opens the hidden side
// named on the command line, says "opened", and lets go when its input ends.
#include "platform/serial_port.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    TCustomComPort port;
    port.Port = argv[1];
    try {
        port.Open();
    } catch (const EComPort& error) {
        std::printf("%s\n", error.what());
        return 1;
    }
    std::printf("opened\n");
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
}
