#include "tools/token_service_sim/state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quillon::tokensim {

namespace {

std::string Errno(const std::string& what, const std::string& path) {
    return what + " '" + path + "': " + std::strerror(errno);
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view contents, std::string& error) {
    std::string tempPath = path + ".tmp.XXXXXX";
    std::vector<char> templ(tempPath.begin(), tempPath.end());
    templ.push_back('\0');
    const int fd = ::mkstemp(templ.data());
    if (fd < 0) {
        error = Errno("cannot create a temporary file beside", path);
        return false;
    }
    tempPath = templ.data();
    auto fail = [&](const std::string& what) {
        error = Errno(what, tempPath);
        ::close(fd);
        ::unlink(tempPath.c_str());
        return false;
    };
    // mkstemp makes the file 0600, which suits a file that holds token secrets.
    if (!WriteAll(fd, contents)) {
        return fail("cannot write");
    }
    if (::fsync(fd) != 0) {
        return fail("cannot sync");
    }
    if (::close(fd) != 0) {
        error = Errno("cannot close", tempPath);
        ::unlink(tempPath.c_str());
        return false;
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        error = Errno("cannot rename " + tempPath + " to", path);
        ::unlink(tempPath.c_str());
        return false;
    }
    // The rename itself is only durable once the directory entry is on disk.
    const std::string dir = DirectoryOf(path);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

LoadOutcome LoadStateFile(const std::string& path, TokenTable& tokens, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            error = Errno("cannot open state file", path);
            return LoadOutcome::Failed;
        }
        TokenTable demo = DemoTokenTable();
        if (!SaveStateFile(path, demo, error)) {
            return LoadOutcome::Failed;
        }
        tokens = std::move(demo);
        return LoadOutcome::Created;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = Errno("cannot read state file", path);
            ::close(fd);
            return LoadOutcome::Failed;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    ParseError parseError;
    auto parsed = ParseTokenTable(text, parseError);
    if (!parsed) {
        error = "malformed state file '" + path + "'";
        if (parseError.line != 0) {
            error += " line " + std::to_string(parseError.line);
        }
        error += ": " + parseError.message;
        return LoadOutcome::Failed;
    }
    tokens = std::move(*parsed);
    return LoadOutcome::Loaded;
}

bool SaveStateFile(const std::string& path, const TokenTable& tokens, std::string& error) {
    return WriteFileAtomically(path, FormatTokenTable(tokens), error);
}

}  // namespace quillon::tokensim
