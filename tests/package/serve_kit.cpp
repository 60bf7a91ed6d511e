// A virtual kit that other processes can open, for running installed programs against
// it: both receivers plugged in, their tree printed as the two environment lines the
// programs read, then served until stdin reaches its end (the caller closes it or
// ends). The kit's temporary tree goes with it.

#include <unistd.h>

#include <cstdio>

#include "tools/virtual_kit/virtual_kit.h"

int main() {
    VirtualKit kit(KitNodes::Served);
    kit.PlugIr();
    kit.PlugGame();
    std::printf("QUILLON_SYSFS_ROOT=%s\nQUILLON_DEV_ROOT=%s\n", kit.Bus().SysRoot().c_str(),
                kit.Bus().DevRoot().c_str());
    std::fflush(stdout);
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
