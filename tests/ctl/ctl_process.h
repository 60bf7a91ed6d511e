#pragma once

// The terminal program's tests run it through the tests' child-process helper.

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/child_process.h"

namespace ctltest {

using namespace std::chrono_literals;

inline constexpr auto kBound = kChildBound;
using Process = ChildProcess;
using ::LineReader;

// A folder of the test's own for quillonctl's configuration and runtime files, removed
// with everything in it.
class CtlHome {
public:
    explicit CtlHome(const char* prefix) {
        std::string templ = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr)
            throw std::runtime_error("mkdtemp " + templ + " failed");
        dir = templ;
        std::filesystem::create_directories(dir + "/config");
        std::filesystem::create_directories(dir + "/runtime");
        // XDG_RUNTIME_DIR must be the user's alone.
        std::filesystem::permissions(dir + "/runtime", std::filesystem::perms::owner_all);
    }
    ~CtlHome() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    CtlHome(const CtlHome&) = delete;
    CtlHome& operator=(const CtlHome&) = delete;

    // XDG_CONFIG_HOME and XDG_RUNTIME_DIR in it.
    std::vector<std::string> Env() const {
        return {"XDG_CONFIG_HOME=" + dir + "/config", "XDG_RUNTIME_DIR=" + dir + "/runtime"};
    }

    std::string dir;
};

}  // namespace ctltest
