#include "StationProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

std::string InstallStation(const std::string& programPath, const std::string& dir) {
    const fs::path copy = fs::path(dir) / "tcstation";
    std::error_code error;
    fs::remove(copy, error);
    fs::create_hard_link(programPath, copy, error);
    if (error) fs::copy_file(programPath, copy, fs::copy_options::overwrite_existing);
    return copy.string();
}

TStationProcess::TStationProcess(const std::string& program, const std::string& logFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env.emplace_back(*e);
    }
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string name = program;
    char* argv[] = {name.data(), nullptr};

    const int rc = posix_spawn(&FPid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
}

TStationProcess::~TStationProcess() {
    Kill();
}

bool TStationProcess::Running() {
    if (FReaped) return false;
    const pid_t done = ::waitpid(FPid, &FStatus, WNOHANG);
    if (done == FPid) FReaped = true;
    return !FReaped;
}

void TStationProcess::Kill() {
    if (FReaped || FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    while (::waitpid(FPid, &FStatus, 0) < 0 && errno == EINTR) {
    }
    FReaped = true;
}

std::optional<int> TStationProcess::Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return FStatus;
}

long ResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        std::getline(status, key);
    }
    return -1;
}

int OpenDescriptors(pid_t pid) {
    std::error_code error;
    int count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}
