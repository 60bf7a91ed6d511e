#pragma once

// Runs a test in a fresh temporary current directory, so "SN.ini" is the test's own.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class ScopedTempCwd {
public:
    ScopedTempCwd() : m_old(std::filesystem::current_path()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quillon-app-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr)
            std::abort();
        m_dir = tmpl;
        std::filesystem::current_path(m_dir);
    }
    ~ScopedTempCwd() {
        std::filesystem::current_path(m_old);
        std::error_code ec;
        std::filesystem::permissions(m_dir / "SN.ini", std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(m_dir, ec);
    }
    ScopedTempCwd(const ScopedTempCwd&) = delete;
    ScopedTempCwd& operator=(const ScopedTempCwd&) = delete;

    const std::filesystem::path& Path() const { return m_dir; }

private:
    std::filesystem::path m_old;
    std::filesystem::path m_dir;
};

// The whole content of a file; empty when it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec)
        return {};
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}
