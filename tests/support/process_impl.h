// process_impl.h: inline implementation of process.h (tests link no support library).
// SPDX-License-Identifier: MIT
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

namespace vant_test {

namespace detail {

inline void apply_env(const env_changes& env) {
    for (const auto& [k, v] : env) {
        if (v) {
            ::setenv(k.c_str(), v->c_str(), 1);
        } else {
            ::unsetenv(k.c_str());
        }
    }
}

// Starts `program`; its standard output and error go to the files `out` and `err`.
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
        apply_env(env);
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

inline run_result run_program(const std::string& program, const std::vector<std::string>& args,
                              const env_changes& env, int uid) {
    temp_dir output;  // the files are opened before the child changes its user
    int pid = detail::spawn(program, args, env, output / "out", output / "err", uid);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {detail::decode_status(status), read_file(output / "out"), read_file(output / "err")};
}

inline background_program::background_program(const std::string& program,
                                              const std::vector<std::string>& args,
                                              const env_changes& env,
                                              const std::string& output_prefix)
    : out_path_(output_prefix + ".out"), err_path_(output_prefix + ".err") {
    pid_ = detail::spawn(program, args, env, out_path_, err_path_, -1);
}

inline background_program::~background_program() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

inline bool background_program::running() {
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

inline int background_program::wait(double seconds) {
    eventually([&] { return !running(); }, seconds);
    return status_;
}

inline int background_program::stop(int sig, double seconds) {
    if (running()) {
        ::kill(pid_, sig);
    }
    return wait(seconds);
}

inline std::string background_program::err() const {
    return read_file(err_path_);
}

template <typename F>
bool eventually(F condition, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (true) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline char process_state(int pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

inline std::string deployed(const std::string& program) {
    return std::string(VANT_DEPLOY_DIR) + "/bin/" + program;
}

}  // namespace vant_test
