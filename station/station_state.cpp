#include "station/station_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "station/results_store_sqlite.h"

namespace {

constexpr char kOperatorKey[] = "operator = ";
// An operator id is a short line of text; anything longer is not one.
constexpr std::size_t kMaxOperatorBytes = 64;

}  // namespace

std::string StationStatePath() {
    const std::string results = DefaultResultsPath();
    if (results.empty())
        return {};
    return (std::filesystem::path(results).parent_path() / "station.conf").string();
}

std::string RememberedOperator(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(kOperatorKey, 0) != 0)
            continue;
        std::string id = line.substr(std::strlen(kOperatorKey));
        if (id.size() > kMaxOperatorBytes)
            return {};
        return id;
    }
    return {};
}

bool RememberOperator(const std::string& path, const std::string& operatorId, std::string* error) {
    if (operatorId.size() > kMaxOperatorBytes ||
        operatorId.find_first_of("\r\n") != std::string::npos) {
        *error = "the operator id is not one short line";
        return false;
    }
    namespace fs = std::filesystem;
    const fs::path file(path);
    std::error_code ec;
    if (!fs::exists(file.parent_path(), ec)) {
        fs::create_directories(file.parent_path(), ec);
        if (ec) {
            *error = file.parent_path().string() + ": " + ec.message();
            return false;
        }
        fs::permissions(file.parent_path(), fs::perms::owner_all, ec);
    }
    // Written beside the file and renamed over it, so a crash leaves the old id or the new.
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = temporary + ": " + std::strerror(errno);
        return false;
    }
    const std::string text = std::string(kOperatorKey) + operatorId + "\n";
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(written ? errno : writeErrno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}
