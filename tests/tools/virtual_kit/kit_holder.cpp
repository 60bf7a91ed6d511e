// A process that holds a virtual kit and the token-service simulator and then ends
// however the test ends it. Prints "<kit tree> <simulator pid>" once both are up.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "tools/virtual_kit/token_service_process.h"
#include "tools/virtual_kit/virtual_kit.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kit_holder TOKEN_SERVICE_SIM\n");
        return 2;
    }
    VirtualKit kit;
    kit.PlugIr();
    const std::string tree = kit.Bus().TempRoot();
    TokenServiceProcess simulator;
    std::string error;
    if (!simulator.Start(argv[1], tree + "/state.txt", tree + "/sim.log", std::chrono::seconds(20),
                         &error)) {
        std::fprintf(stderr, "kit_holder: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s %d\n", tree.c_str(), static_cast<int>(simulator.Pid()));
    std::fflush(stdout);
    for (;;)
        pause();
}
