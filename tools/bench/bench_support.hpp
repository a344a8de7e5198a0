#pragma once

// Shared by the benchmarks: starting the built service, reading a process's memory, timing.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <brennic/hdf5.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A field of /proc/PID/status in kB ("VmHWM", "VmRSS").
inline long status_kb(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

inline void figure(const std::string& name, double value, const std::string& unit) {
    std::printf("%s: %.6g %s\n", name.c_str(), value, unit.c_str());
    std::fflush(stdout);
}

inline void ratio(const std::string& name, double value) {
    std::printf("ratio %s: %.3f\n", name.c_str(), value);
    std::fflush(stdout);
}

// Writes a configuration for a service on `port` (section "vesk" as given; by default no
// notifications), points ZELT_CONFIG at it, and starts `binary` with `args`; the destructor
// stops it.
class Service {
  public:
    Service(const std::string& binary, const std::string& dir, int port,
            std::vector<std::string> args = {}, const std::string& vesk = "bootstrap_servers =\n",
            const std::string& corvane_extra = "") {
        const std::string config = dir + "/zelt.ini";
        std::ofstream(config) << "[corvane]\nip = 127.0.0.1\nport = " << port << "\n"
                              << corvane_extra << "[vesk]\n"
                              << vesk;
        ::setenv("ZELT_CONFIG", config.c_str(), 1);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log = dir + "/brennic.err";
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        args.insert(args.begin(), binary);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start " + binary);
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Service() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    int pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// A free TCP port on loopback.
int free_port();

}  // namespace bench
