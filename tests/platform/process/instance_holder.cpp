// Holds a single-instance lock for the tests in a process of its own, so it can run
// as another user. Prints one word and keeps what it holds until stdin closes.
//
//   instance_holder lock NAME RUNTIME_DIR   the program's own lock: "held" / "refused" / "error N"
//   instance_holder squat NAME UID DIR [full]
//                                           what a hostile user can do: binds the abstract name
//                                           of UID and tries DIR/NAME.lock; "squatting". With
//                                           "full": backlog 0, its accept queue filled and never
//                                           accepted, so a connect would wait for ever

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/process/single_instance.h"

namespace {

void WaitForStdinToClose() {
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
}

int Squat(const std::string& name, const std::string& uid, const std::string& dir, bool full) {
    const std::string abstractName = name + "-" + uid;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, abstractName.data(), abstractName.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const auto size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size());
    const auto* target = reinterpret_cast<const sockaddr*>(&address);
    if (bind(fd, target, size) != 0 || listen(fd, full ? 0 : 4) != 0) {
        std::printf("cannot bind\n");
        return 1;
    }
    // Connections of its own until the kernel has no room for another.
    bool filled = !full;
    for (int i = 0; !filled && i < 64; ++i) {
        const int filler = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (connect(filler, target, size) != 0) {
            close(filler);
            filled = true;
        }
    }
    if (!filled) {
        std::printf("queue never filled\n");
        return 1;
    }
    const int file = open((dir + "/" + name + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (file >= 0 && flock(file, LOCK_EX | LOCK_NB) == 0) {
        std::printf("took the file\n");
        return 1;
    }
    std::printf("squatting\n");
    std::fflush(stdout);
    WaitForStdinToClose();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "lock") == 0) {
        SingleInstanceLock lock(argv[2], argv[3]);
        if (lock.AlreadyRunning())
            std::printf("refused\n");
        else if (lock.ErrorCode() != 0)
            std::printf("error %d\n", lock.ErrorCode());
        else
            std::printf("held\n");
        std::fflush(stdout);
        WaitForStdinToClose();
        return 0;
    }
    if ((argc == 5 || (argc == 6 && std::strcmp(argv[5], "full") == 0)) &&
        std::strcmp(argv[1], "squat") == 0)
        return Squat(argv[2], argv[3], argv[4], argc == 6);
    std::fprintf(stderr, "usage: instance_holder lock NAME DIR | squat NAME UID DIR [full]\n");
    return 2;
}
