// process.h: running the project's programs from tests: to completion with captured output, or
// in the background until stopped. Everything is inline: tests link no support library.
// SPDX-License-Identifier: MIT
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace vant_test {

struct run_result {
    int exit_code = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Environment changes for a child: a value sets the variable, nothing removes it.
using env_changes = std::map<std::string, std::optional<std::string>>;

// Polls `condition` every 20 ms for up to `seconds`; returns whether it became true.
template <typename F>
bool eventually(F condition, double seconds = 30) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

namespace detail {

// Starts `program`; its standard output and error go to the files `out` and `err`. `uid` other
// than -1 runs it as that user.
inline int spawn(const std::string& program, const std::vector<std::string>& args,
                 const env_changes& env, const std::string& out, const std::string& err, int uid) {
    int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const auto& [k, v] : env) {
            if (v) {
                ::setenv(k.c_str(), v->c_str(), 1);
            } else {
                ::unsetenv(k.c_str());
            }
        }
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        if (uid != -1) {
            if (::setgid(static_cast<gid_t>(uid)) != 0 || ::setuid(static_cast<uid_t>(uid)) != 0) {
                ::_exit(126);
            }
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_fd);
    ::close(err_fd);
    return pid;
}

inline int decode_status(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

}  // namespace detail

// Runs `program` with `args` to completion. `uid` other than -1 runs it as that user.
inline run_result run_program(const std::string& program, const std::vector<std::string>& args,
                              const env_changes& env = {}, int uid = -1) {
    temp_dir output;  // the files are opened before the child changes its user
    int pid = detail::spawn(program, args, env, output / "out", output / "err", uid);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {detail::decode_status(status), read_file(output / "out"), read_file(output / "err")};
}

// A program running in the background; standard error and output go to files.
class background_program {
  public:
    background_program(const std::string& program, const std::vector<std::string>& args,
                       const env_changes& env, const std::string& output_prefix)
        : pid_(detail::spawn(program, args, env, output_prefix + ".out", output_prefix + ".err",
                             -1)),
          err_path_(output_prefix + ".err") {}
    // Kills (SIGKILL) a child still running.
    ~background_program() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    background_program(const background_program&) = delete;
    background_program& operator=(const background_program&) = delete;

    int pid() const { return pid_; }
    bool running() {
        if (status_ != -1 || pid_ <= 0) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = detail::decode_status(status);
            return false;
        }
        return true;
    }
    // Sends `sig` and waits up to `seconds` for the exit; returns the status (128 + signal when
    // killed by one), or -1 when it did not end in time.
    int stop(int sig, double seconds = 30) {
        if (running()) {
            ::kill(pid_, sig);
        }
        return wait(seconds);
    }
    // Waits up to `seconds` for an exit without sending anything.
    int wait(double seconds) {
        eventually([&] { return !running(); }, seconds);
        return status_;
    }
    std::string err() const { return read_file(err_path_); }

  private:
    int pid_ = -1;
    int status_ = -1;
    std::string err_path_;
};

// The state letter of process `pid` ('Z': ended, not yet reaped), or '?' when it is gone.
inline char process_state(int pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Path of an installed program of the build's deployment directory.
inline std::string deployed(const std::string& program) {
    return std::string(VANT_DEPLOY_DIR) + "/bin/" + program;
}

}  // namespace vant_test
