#pragma once
// tcsim as a child process of a benchmark, on a temporary program directory
// of its own. Its output goes to a file there (a pipe nobody reads would
// stall it); the constructor returns once tcsim's ready line says every link
// and socket exists. The destructor ends it and removes the directory.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class TSimProcess {
  public:
    static constexpr int kStartLimitMs = 30000;

    // `tcsim`: the executable; `options`: its arguments after --dir;
    // `name`: part of the directory's name.
    TSimProcess(const std::string& tcsim, const std::vector<std::string>& options,
                const std::string& name) {
        std::string pattern = "/tmp/" + name + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        FDir = pattern;
        const std::string log = FDir + "/tcsim.out";
        std::vector<std::string> args = {tcsim, "--dir", FDir};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        FPid = ::fork();
        if (FPid < 0) throw std::runtime_error("fork");
        if (FPid == 0) {
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        for (int waited = 0; !ReadReady(log); waited += 10) {
            if (waited > kStartLimitMs) throw std::runtime_error("tcsim did not start");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~TSimProcess() {
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
        std::error_code ignored;
        std::filesystem::remove_all(FDir, ignored);
    }
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    const std::string& Dir() const { return FDir; }
    // The value of "NAME=VALUE" in the ready line ("tcp:0" -> its port).
    std::string ReadyValue(const std::string& name) const {
        const std::string key = " " + name + "=";
        const size_t at = FReady.find(key);
        if (at == std::string::npos) throw std::runtime_error("no " + name + " in: " + FReady);
        const size_t start = at + key.size();
        return FReady.substr(start, FReady.find(' ', start) - start);
    }

  private:
    bool ReadReady(const std::string& log) {
        std::ifstream in(log);
        std::string line;
        // Only a whole line: the file may be caught half written.
        if (!std::getline(in, line) || in.eof() || line.rfind("ready ", 0) != 0) return false;
        FReady = line;
        return true;
    }

    std::string FDir;
    std::string FReady;
    pid_t FPid = -1;
};
