#pragma once
// An exclusive lock that other processes respect (flock), on a lock file or a
// folder, taken within a bounded wait: a holder that never lets go is not
// waited for without end.

#include <string>

namespace platform {

class FileLock {
public:
    // Opens path (a folder, or a lock file made when missing) and waits at
    // most wait_ms for the lock.
    FileLock(const std::string& path, int wait_ms);
    ~FileLock();  // the lock goes with the descriptor
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool opened() const { return fd_ >= 0; }
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

}  // namespace platform
