#include "platform/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool close_now() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool write_fully(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd, content.data() + done, content.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

std::string folder_part(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_part(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

FileRead read_file(const std::string& path, std::string& content) {
    content.clear();
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT || errno == ENOTDIR ? FileRead::Missing : FileRead::Failed;
    char block[8192];
    for (;;) {
        const ssize_t got = ::read(fd.get(), block, sizeof block);
        if (got == 0) return FileRead::Read;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            content.clear();
            return FileRead::Failed;
        }
        content.append(block, static_cast<size_t>(got));
    }
}

bool replace_file_atomically(const std::string& path, const std::string& content, mode_t mode,
                             Durability durability) {
    const bool synced = durability == Durability::Synced;
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
    const std::string folder = folder_part(path);
    std::string temp = folder + "/." + name_part(path) + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) return false;
    const bool complete = write_fully(fd.get(), content) && ::fchmod(fd.get(), mode) == 0 &&
                          (!synced || ::fsync(fd.get()) == 0) && fd.close_now();
    if (!complete || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    if (synced) sync_to_disk(folder);
    return true;
}

std::string link_target(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

void remove_leftover_files(const std::string& folder, const std::string& prefix,
                           const std::function<bool(const std::string& path)>& in_use) {
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::string path = it->path().string();
        if (it->path().filename().string().rfind(prefix, 0) != 0 || (in_use && in_use(path))) continue;
        std::error_code ignored;
        std::filesystem::remove(it->path(), ignored);
    }
}

void sync_to_disk(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());
}

}  // namespace platform
