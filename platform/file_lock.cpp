#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {

namespace {

constexpr int LOCK_STEP_MS = 10;

int open_for_lock(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

}  // namespace

FileLock::FileLock(const std::string& path, int wait_ms) : fd_(open_for_lock(path)) {
    if (fd_ < 0) return;
    for (int waited = 0; waited <= wait_ms; waited += LOCK_STEP_MS) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(LOCK_STEP_MS));
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace platform
