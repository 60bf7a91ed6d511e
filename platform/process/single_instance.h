#pragma once

// One running copy per user.
//
// The lock is a flock() on "<name>.lock" in the user's runtime directory
// ($XDG_RUNTIME_DIR), which only that user can enter, so nobody else can take it.
// Beside it the copy binds the abstract Unix socket "\0" + name + "-" + uid, which a
// copy without a runtime directory finds too; abstract names carry no permissions,
// so a holder of that name counts only when its credentials (SO_PEERCRED) are this
// user's. Both are released by the kernel when the holder ends, however it ends, so
// a crash never leaves a stale lock. Abstract names are per network namespace.
//
// Nothing here can hang: the holder accepts (and drops) every probe on a thread of
// its own, so refused copies never fill its queue, and a probe waits at most
// kInstanceProbeWait for room in a queue that someone else keeps full; such a holder
// counts as one that does not answer.

#include <chrono>
#include <string>
#include <thread>

inline constexpr const char* kInstanceMutexName = "{40D1CCD7-E8F7-43a7-9C1D-2410CE765A97}";

// The code ErrorCode() gives when another copy holds the lock.
inline constexpr int kErrorAlreadyExists = 183;

inline constexpr std::chrono::milliseconds kInstanceProbeWait{500};

class SingleInstanceLock {
public:
    // The runtime directory from $XDG_RUNTIME_DIR.
    explicit SingleInstanceLock(const std::string& name);
    // An explicit runtime directory; empty, or one that is not this user's alone,
    // leaves the socket name as the only lock.
    SingleInstanceLock(const std::string& name, const std::string& runtimeDir);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    bool AlreadyRunning() const { return m_error == kErrorAlreadyExists; }
    // 0 when this object holds the lock, kErrorAlreadyExists when another copy of this
    // user holds it, otherwise the errno of what failed (the lock is then not held and
    // the program runs on, as it would with no lock at all). EADDRINUSE: another
    // user's process sits on the socket name and there is no runtime directory.
    int ErrorCode() const { return m_error; }
    // The same in words, as every LastError() here: empty when the lock is held.
    std::string LastError() const;

private:
    int LockFile(const std::string& runtimeDir, const std::string& name);
    int BindName(const std::string& name);
    void StartDroppingProbes();

    int m_file = -1;
    int m_socket = -1;
    int m_error = 0;
    int m_wake[2] = {-1, -1};  // written to end m_dropper
    std::thread m_dropper;
};
