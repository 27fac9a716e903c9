// Settings crash safety: kills settings_saver with SIGKILL at random moments
// while it saves, and checks after each kill that the INI file loads to one
// of the two settings sets it alternates between, never to a mixture, and
// that killed saves do not pile up files beside it.
//
//   robust_settings_crash [--trials 1000] [--max-delay-us 20000] [--seed N]
//
// Exits 0 when every trial left a file that loads to set A or set B.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/vantrel_dlg.h"
#include "platform/paths.h"
#include "tests/robustness/options.h"
#include "tests/robustness/settings_sets.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

const char INI_NAME[] = "Vantrel.ini";
// What the last killed save may leave: its copy of the file and one temporary
// file of a key write. Older ones must have been cleared by the saves after them.
constexpr int MAX_STRAY_FILES = 2;

struct Saver {
    pid_t pid = -1;
    int output = -1;  // the read end of its stdout
};

Saver StartSaver(const std::string& folder, const std::string& rounds) {
    const std::string program = platform::program_folder() + "/settings_saver";
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    std::vector<std::string> words = {program, folder, "--rounds", rounds};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    Saver saver;
    if (posix_spawn(&saver.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) saver.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_ends[1]);
    saver.output = pipe_ends[0];
    return saver;
}

// True once the saver said "ready" (it has loaded and is about to save).
bool WaitReady(const Saver& saver) {
    char word[6];
    size_t got = 0;
    while (got < sizeof word) {
        const ssize_t n = ::read(saver.output, word + got, sizeof word - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

int Reap(Saver& saver) {
    int status = 0;
    ::waitpid(saver.pid, &status, 0);
    ::close(saver.output);
    return status;
}

// Runs the saver to its end: two rounds leave set A in the file.
bool ResetToSetA(const std::string& folder) {
    Saver saver = StartSaver(folder, "2");
    if (saver.pid < 0) return false;
    const int status = Reap(saver);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

enum class Loaded { SetA, SetB, Mixture };

// Loads a copy of the file the way the server does at start.
Loaded LoadCopy(const std::string& folder) {
    test_support::TempDir check("vantrel-crash-check");
    fs::copy_file(folder + "/" + INI_NAME, check.file(INI_NAME));
    CVantrelDlg record(check.path());
    if (robustness::RecordHoldsSet(record, robustness::SettingsSetA())) return Loaded::SetA;
    if (robustness::RecordHoldsSet(record, robustness::SettingsSetB())) return Loaded::SetB;
    return Loaded::Mixture;
}

int StrayFiles(const std::string& folder) {
    int count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != INI_NAME) ++count;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const long trials = robustness::IntOption(argc, argv, "--trials", 1000);
    const long max_delay_us = robustness::IntOption(argc, argv, "--max-delay-us", 20000);
    const unsigned seed = static_cast<unsigned>(robustness::IntOption(argc, argv, "--seed", std::random_device{}()));
    std::printf("robust_settings_crash: %ld trials, kill within %ld us of the first save, seed %u\n", trials,
                max_delay_us, seed);
    test_support::TempDir folder("vantrel-crash");
    if (!ResetToSetA(folder.path())) {
        std::fprintf(stderr, "robust_settings_crash: settings_saver did not run\n");
        return 1;
    }
    std::mt19937 random(seed);
    long counts[3] = {0, 0, 0};
    long finished_early = 0;
    for (long trial = 0; trial < trials; ++trial) {
        Saver saver = StartSaver(folder.path(), "100000");
        if (saver.pid < 0 || !WaitReady(saver)) {
            std::fprintf(stderr, "robust_settings_crash: settings_saver did not start\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (max_delay_us + 1)));
        ::kill(saver.pid, SIGKILL);
        if (!WIFSIGNALED(Reap(saver))) ++finished_early;
        const Loaded loaded = LoadCopy(folder.path());
        ++counts[static_cast<int>(loaded)];
        if (loaded == Loaded::Mixture) {
            if (counts[2] <= 5) std::printf("  trial %ld: the file loads to a mixture of the two sets\n", trial);
            ResetToSetA(folder.path());
        }
    }
    std::printf("%-28s %8s\n", "after the kill the file held", "trials");
    std::printf("%-28s %8ld\n", "set A", counts[0]);
    std::printf("%-28s %8ld\n", "set B", counts[1]);
    std::printf("%-28s %8ld\n", "a mixture", counts[2]);
    const int stray = StrayFiles(folder.path());
    std::printf("stray files left beside the INI file: %d (at most %d allowed); savers not killed in time: %ld\n",
                stray, MAX_STRAY_FILES, finished_early);
    const bool passed = counts[2] == 0 && stray <= MAX_STRAY_FILES;
    std::printf("%s\n", passed ? "robust_settings_crash: passed" : "robust_settings_crash: FAILED");
    return passed ? 0 : 1;
}
