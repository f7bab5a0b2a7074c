// log.h: the daemon's text log, per-facility thresholds, and fatal assertions.
// Every module logs through VANT_LOG and ends the process through VANT_CHECK / fatal_assertion.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>

namespace marloven {

class config_file;

// Levels, lowest first; the number is the order used in comparisons.
enum class log_level : int {
    boring = 0,
    debug = 1,
    info = 2,
    warning = 3,
    error = 4,
    critical = 5
};

// One facility per area of the system; each has its own threshold.
enum class log_facility : int {
    LOG = 0,
    IPCSOCK,
    IPCMARSHAL,
    HTTPSERVER,
    WORKERSCHEDULING,
    WORKERFETCHERS,
    WORKERPARSERS,
    WORKER,
    PLUGINSYSTEM,
    PLUGINS,
    FFF,
    API,
    FETCHEDDOCS,
};
inline constexpr int log_facility_count = 13;

// The level word ("BORING", "DEBUG", ...) and the facility name ("LOG", "IPCSOCK", ...).
std::string_view level_name(log_level level);
std::string_view facility_name(log_facility facility);

// True when a message of `level` for `facility` is written. Read without a lock: thresholds are
// set only during start-up, before other threads exist.
bool log_enabled(log_facility facility, log_level level) noexcept;

// Sets one threshold directly (tests and programs that log without a configuration file).
void set_log_threshold(log_facility facility, log_level level) noexcept;

// Opens `file_name` for appending and applies LOGCFG. On failure returns false and sets `message`
// to "Cannot open <file>: <reason>", or appends " LOGCFG undefined in config file".
bool open_log(const config_file& config, const std::string& file_name, std::string& message);

// Takes `stream` as the log stream (not owned when it is stdout or stderr), resets every threshold
// to WARNING and applies LOGCFG. Warnings about LOGCFG items are appended to `message`, each after
// one blank. Returns false only when LOGCFG is absent.
bool configure_log(const config_file& config, std::FILE* stream, std::string& message);

// Applies one LOGCFG value to the thresholds; warnings are appended to `message`.
void apply_log_config(std::string_view value, std::string& message);

// Writes "<UTC time> <text>\n" as one unit and flushes. Without an open log nothing happens.
void log_line(std::string_view text);

// Closes the log stream unless it is stdout or stderr, and forgets it.
void close_log();

// The printed form of a source file: relative to the source tree, backslashes, no extension
// ("src/vantorelld/processthr.cc" gives "src\vantorelld\processthr").
std::string source_path(const char* file);

// One log message being built; written as one line when destroyed.
class log_message {
  public:
    log_message(log_level level, const char* file, unsigned line);
    // `path` is printed exactly as given (for files whose printed name differs from their
    // location).
    log_message(log_level level, std::string_view path, unsigned line, bool verbatim);
    ~log_message();
    log_message(const log_message&) = delete;
    log_message& operator=(const log_message&) = delete;
    std::ostream& stream() { return out_; }

  private:
    std::ostringstream out_;
};

// Writes one event-log entry (syslog, ident "vantorell", and standard error). Level 0 error,
// 1 warning, 2 information; other levels are reported and treated as errors. printf-style, the
// text is limited to 4096 characters.
void report_to_event_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Reports "<path>(<line>): assertion [<message>] failed." to the event log, writes a crash dump
// when enabled and aborts the process.
[[noreturn]] void fatal_assertion(std::string_view message, std::string_view path,
                                  unsigned long line);
[[noreturn]] void fatal_assertion_at(std::string_view message, const char* file,
                                     unsigned long line);

}  // namespace marloven

// VANT_LOG(API, error) << "Unknown robots check value " << value;
// The threshold test comes first, so a suppressed message costs one comparison.
#define VANT_LOG(facility, level)                                    \
    if (!::marloven::log_enabled(::marloven::log_facility::facility, \
                                 ::marloven::log_level::level)) {    \
    } else                                                           \
        ::marloven::log_message(::marloven::log_level::level, __FILE__, __LINE__).stream()

// The same with a printed source path given as a literal, for files whose logged name is fixed
// by a stored log format rather than by their place in the tree.
#define VANT_LOG_AS(path, facility, level)                           \
    if (!::marloven::log_enabled(::marloven::log_facility::facility, \
                                 ::marloven::log_level::level)) {    \
    } else                                                           \
        ::marloven::log_message(::marloven::log_level::level, path, __LINE__, true).stream()

// Broken invariant: the process ends.
#define VANT_CHECK(cond, message)                                          \
    do {                                                                   \
        if (!(cond)) {                                                     \
            ::marloven::fatal_assertion_at((message), __FILE__, __LINE__); \
        }                                                                  \
    } while (false)

#define VANT_CHECK_AS(path, cond, message)                            \
    do {                                                              \
        if (!(cond)) {                                                \
            ::marloven::fatal_assertion((message), (path), __LINE__); \
        }                                                             \
    } while (false)

// Checks a condition whose own text is the assertion message: VANT_ASSERT(r == Z_OK).
#define VANT_ASSERT(cond) VANT_CHECK(cond, #cond)
