// tskill NAME
//
// Ends every process of the current user whose image name is NAME, without
// regard to letter case and with ".exe" ignored on either side. Only whole names
// match: "tskill vantrel" leaves "vantrel-helper" alone. Processes of other users
// and tskill itself are never touched.
//
// A process's image name is the file name of its executable, or the name the
// kernel gave it at its start (a script's own file name). Each match is asked to
// end (SIGTERM) and, when it has not ended after a short grace, killed.

#include "platform/ascii.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int GRACE_MS = 3000;
constexpr size_t KERNEL_NAME_MAX = 15;  // longer names are cut in /proc/PID/comm

std::string image_key(std::string name) {
    name = platform::ToLowerAscii(std::move(name));
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
    return name;
}

std::string proc_file(pid_t pid, const char* name) { return "/proc/" + std::to_string(pid) + "/" + name; }

bool owned_by_current_user(pid_t pid) {
    std::ifstream status(proc_file(pid, "status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 4, "Uid:") == 0) {
            unsigned long real = 0, effective = 0;
            if (std::sscanf(line.c_str() + 4, "%lu %lu", &real, &effective) != 2) return false;
            return real == ::getuid() && effective == ::getuid();
        }
    }
    return false;
}

std::vector<std::string> image_names(pid_t pid) {
    std::vector<std::string> names;
    char target[4096];
    const ssize_t length = ::readlink(proc_file(pid, "exe").c_str(), target, sizeof target - 1);
    if (length > 0) {
        std::string exe(target, static_cast<size_t>(length));
        const std::string deleted = " (deleted)";
        if (exe.size() > deleted.size() && exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0)
            exe.resize(exe.size() - deleted.size());
        names.push_back(exe.substr(exe.rfind('/') + 1));
    }
    std::ifstream comm_file(proc_file(pid, "comm"));
    std::string comm;
    // A name cut by the kernel is not a whole name.
    if (std::getline(comm_file, comm) && comm.size() < KERNEL_NAME_MAX) names.push_back(comm);
    return names;
}

bool matches(pid_t pid, const std::string& wanted) {
    if (pid == ::getpid() || !owned_by_current_user(pid)) return false;
    for (const std::string& name : image_names(pid))
        if (image_key(name) == wanted) return true;
    return false;
}

std::vector<pid_t> all_processes() {
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (!proc) return pids;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && end && *end == '\0') pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return pids;
}

// A process held by a pidfd, so a signal can never reach a later process that
// was given the same number.
class HeldProcess {
public:
    explicit HeldProcess(pid_t pid) : fd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
    ~HeldProcess() {
        if (fd_ >= 0) ::close(fd_);
    }
    HeldProcess(HeldProcess&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    HeldProcess(const HeldProcess&) = delete;
    HeldProcess& operator=(const HeldProcess&) = delete;
    HeldProcess& operator=(HeldProcess&&) = delete;

    bool held() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool signal(int number) const { return ::syscall(SYS_pidfd_send_signal, fd_, number, nullptr, 0) == 0; }

private:
    int fd_;
};

// Waits until every process has ended or the grace is over; true when all ended.
bool wait_for_ends(const std::vector<HeldProcess>& processes, int grace_ms) {
    std::vector<pollfd> fds;
    for (const HeldProcess& process : processes) fds.push_back(pollfd{process.fd(), POLLIN, 0});
    const int step_ms = 50;
    for (int waited = 0; waited <= grace_ms; waited += step_ms) {
        bool all_ended = true;
        if (::poll(fds.data(), fds.size(), 0) < 0 && errno != EINTR) return false;
        for (const pollfd& fd : fds) all_ended = all_ended && (fd.revents & POLLIN);
        if (all_ended) return true;
        ::usleep(step_ms * 1000);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: tskill NAME\n");
        return 2;
    }
    const std::string wanted = image_key(argv[1]);
    std::vector<HeldProcess> ending;
    for (pid_t pid : all_processes()) {
        if (!matches(pid, wanted)) continue;
        HeldProcess process(pid);
        // Checked again once held: the number may have passed to another process.
        if (!process.held() || !matches(pid, wanted)) continue;
        if (process.signal(SIGTERM)) ending.push_back(std::move(process));
    }
    if (ending.empty()) {
        std::fprintf(stderr, "Could not find process: %s\n", argv[1]);
        return 1;
    }
    if (!wait_for_ends(ending, GRACE_MS)) {
        for (const HeldProcess& process : ending) process.signal(SIGKILL);
    }
    return 0;
}
