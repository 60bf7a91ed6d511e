#pragma once

// One running copy per user: the lock is an abstract-namespace Unix socket bound to
// "\0" + name + "-" + uid. Binding fails with EADDRINUSE while any process holds the
// name; the kernel releases it when the holder closes the socket or dies, so a crash
// never leaves a stale lock. Abstract names are per network namespace.

#include <string>

inline constexpr const char* kInstanceMutexName = "{40D1CCD7-E8F7-43a7-9C1D-2410CE765A97}";

// The code LastError() gives when another copy holds the name.
inline constexpr int kErrorAlreadyExists = 183;

class SingleInstanceLock {
public:
    // Holds "\0" + name + "-" + getuid() for the object's lifetime.
    explicit SingleInstanceLock(const std::string& name);
    // Holds "\0" + name + "-" + suffix; the suffix replaces the uid.
    SingleInstanceLock(const std::string& name, const std::string& suffix);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool AlreadyRunning() const { return m_error == kErrorAlreadyExists; }
    // 0 when the name is held by this object, kErrorAlreadyExists when another holder
    // has it, otherwise the errno of the failed socket call (the lock is then not held
    // and the program runs on, as it would with no lock at all).
    int LastError() const { return m_error; }

private:
    void Bind(const std::string& name, const std::string& suffix);

    int m_fd = -1;
    int m_error = 0;
};
