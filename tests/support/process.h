// process.h: running the project's programs from tests: to completion with captured output, or
// in the background until stopped.
// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vant_test {

struct run_result {
    int exit_code = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Environment changes for a child: a value sets the variable, nothing removes it.
using env_changes = std::map<std::string, std::optional<std::string>>;

// Runs `program` with `args` to completion. `uid` other than -1 runs it as that user.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const env_changes& env = {}, int uid = -1);

// A program running in the background; standard error and output go to files.
class background_program {
  public:
    background_program(const std::string& program, const std::vector<std::string>& args,
                       const env_changes& env, const std::string& output_prefix);
    ~background_program();  // kills (SIGKILL) a child still running
    background_program(const background_program&) = delete;
    background_program& operator=(const background_program&) = delete;

    int pid() const { return pid_; }
    bool running();
    // Sends `sig` and waits up to `seconds` for the exit; returns the status (128 + signal when
    // killed by one), or -1 when it did not end in time.
    int stop(int sig, double seconds = 30);
    // Waits up to `seconds` for an exit without sending anything.
    int wait(double seconds);
    std::string err() const;

  private:
    int pid_ = -1;
    int status_ = -1;
    std::string out_path_, err_path_;
};

// Polls `condition` every 20 ms for up to `seconds`; returns whether it became true.
template <typename F>
bool eventually(F condition, double seconds = 30);

// The state letter of process `pid` ('Z': ended, not yet reaped), or '?' when it is gone.
char process_state(int pid);

// Path of an installed program of the build's deployment directory.
std::string deployed(const std::string& program);

}  // namespace vant_test

#include "support/process_impl.h"
