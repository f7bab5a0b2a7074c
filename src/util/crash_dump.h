// crash_dump.h: post-mortem reports of a process that dies of a fatal signal or assertion.
// Switched on per installation through MARLOVEN_POSTMORTEM_DEBUG in the environment.
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace marloven {

// Whether dumps are wanted for a program: the switch is set and the black list (if any) does not
// contain the program's base name.
bool crash_dumps_wanted(std::string_view program_path, const std::optional<std::string>& debug,
                        const std::optional<std::string>& black_list);

// The base name of a program path: the text after the last slash or backslash, after removing one
// trailing separator.
std::string program_base_name(std::string_view program_path);

// The dump file for a process: "<program path>-<pid>.dmp".
std::string dump_file_name(std::string_view program_path, long pid);

// Reads the switch from the environment, remembers the program path and installs the handler for
// SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT. When dumps are enabled the handler writes the
// signal, the fault address, a backtrace and the memory map to the dump file; in every case the
// process then ends with the signal's default action.
void setup_crash_dumps(std::string_view program_path);

// Writes a dump for a fatal assertion (code 0xE0000001) when enabled. The caller aborts afterwards.
void raise_crash_exception();

}  // namespace marloven
