// log.cc: thresholds, LOGCFG, the log file, the event log and fatal assertions.
// SPDX-License-Identifier: MIT
#include "util/log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>

#include "util/config_file.h"
#include "util/crash_dump.h"
#include "util/private_file.h"

namespace marloven {

namespace {

constexpr std::array<std::string_view, 6> level_names = {"BORING",  "DEBUG", "INFO",
                                                         "WARNING", "ERROR", "CRITICAL"};
constexpr std::array<std::string_view, log_facility_count> facility_names = {"LOG",
                                                                             "IPCSOCK",
                                                                             "IPCMARSHAL",
                                                                             "HTTPSERVER",
                                                                             "WORKERSCHEDULING",
                                                                             "WORKERFETCHERS",
                                                                             "WORKERPARSERS",
                                                                             "WORKER",
                                                                             "PLUGINSYSTEM",
                                                                             "PLUGINS",
                                                                             "FFF",
                                                                             "API",
                                                                             "FETCHEDDOCS"};

// Thresholds are written during start-up only; relaxed atomics keep the sanitizers quiet about
// tests that reconfigure while nothing else logs.
std::array<std::atomic<int>, log_facility_count> thresholds{
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};  // every facility starts at WARNING

std::atomic<std::FILE*> log_stream{nullptr};

void reset_thresholds() {
    for (auto& v : thresholds) {
        v.store(static_cast<int>(log_level::warning), std::memory_order_relaxed);
    }
}

std::string utc_now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

}  // namespace

std::string_view level_name(log_level level) {
    return level_names.at(static_cast<size_t>(level));
}

std::string_view facility_name(log_facility facility) {
    return facility_names.at(static_cast<size_t>(facility));
}

bool log_enabled(log_facility facility, log_level level) noexcept {
    return thresholds[static_cast<size_t>(facility)].load(std::memory_order_relaxed) <=
           static_cast<int>(level);
}

void set_log_threshold(log_facility facility, log_level level) noexcept {
    thresholds[static_cast<size_t>(facility)].store(static_cast<int>(level),
                                                    std::memory_order_relaxed);
}

void apply_log_config(std::string_view value, std::string& message) {
    if (value.empty()) {
        return;
    }
    size_t start = 0;
    while (true) {
        size_t end = value.find(' ', start);
        std::string_view item = value.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        size_t colon = item.find(':');
        if (colon == std::string_view::npos ||
            item.find(':', colon + 1) != std::string_view::npos) {
            message += " Can't find : in '";
            message += item;
            message += "'";
        } else {
            std::string_view fac = item.substr(0, colon);
            std::string_view lev = item.substr(colon + 1);
            int f = -1;
            for (size_t i = 0; i < facility_names.size(); ++i) {
                if (facility_names[i] == fac) {
                    f = static_cast<int>(i);
                }
            }
            if (f < 0) {
                message += " Unknown log facility ";
                message += fac;
                message += " in config file, using LOG instead";
                f = static_cast<int>(log_facility::LOG);
            }
            int l = -1;
            for (size_t i = 0; i < level_names.size(); ++i) {
                if (level_names[i] == lev) {
                    l = static_cast<int>(i);
                }
            }
            if (l < 0) {
                message += " Unknown log level ";
                message += lev;
                message += " in config file, using INFO instead";
                l = static_cast<int>(log_level::info);
            }
            thresholds[static_cast<size_t>(f)].store(l, std::memory_order_relaxed);
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
}

bool configure_log(const config_file& config, std::FILE* stream, std::string& message) {
    log_stream.store(stream);
    reset_thresholds();
    std::string value;
    if (!config.get("LOGCFG", value)) {
        message += " LOGCFG undefined in config file";
        return false;
    }
    apply_log_config(value, message);
    return true;
}

bool open_log(const config_file& config, const std::string& file_name, std::string& message) {
    // The log names users and crawled sites: a new file is readable by the daemon's user only.
    int fd = open_private_file(file_name.c_str(), O_WRONLY | O_APPEND);
    std::FILE* f = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
    if (f == nullptr) {
        message = "Cannot open " + file_name + ": " + std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    return configure_log(config, f, message);
}

void log_line(std::string_view text) {
    std::FILE* f = log_stream.load();
    if (f == nullptr) {
        return;
    }
    std::string line = utc_now();
    line += ' ';
    line += text;
    line += '\n';
    // One fwrite keeps the line whole: stdio locks the stream for the call.
    std::fwrite(line.data(), 1, line.size(), f);
    std::fflush(f);
}

void close_log() {
    std::FILE* f = log_stream.exchange(nullptr);
    if (f != nullptr && f != stdout && f != stderr) {
        std::fclose(f);
    }
}

std::string source_path(const char* file) {
    std::string_view p = file;
    // Builds without -fmacro-prefix-map still print paths relative to the tree.
    for (std::string_view root : {"/src/", "/programs/", "/tests/", "/plugins/", "/bench/"}) {
        if (auto pos = p.rfind(root); pos != std::string_view::npos && p.front() == '/') {
            p = p.substr(pos + 1);
            break;
        }
    }
    std::string out(p);
    if (auto dot = out.rfind('.');
        dot != std::string::npos && out.find('/', dot) == std::string::npos) {
        out.erase(dot);
    }
    for (auto& c : out) {
        if (c == '/') {
            c = '\\';
        }
    }
    return out;
}

log_message::log_message(log_level level, const char* file, unsigned line)
    : log_message(level, source_path(file), line, true) {}

log_message::log_message(log_level level, std::string_view path, unsigned line, bool /*verbatim*/) {
    out_ << std::left << std::setw(5) << level_name(level) << " [" << path << ":" << line << "] ";
}

log_message::~log_message() {
    log_line(out_.str());
}

void report_to_event_log(int level, const char* format, ...) {
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    int priority = LOG_ERR;
    switch (level) {
        case 0:
            priority = LOG_ERR;
            break;
        case 1:
            priority = LOG_WARNING;
            break;
        case 2:
            priority = LOG_INFO;
            break;
        default:
            std::fprintf(stderr, "Unknown syslog level %d, changed to error.\n", level);
            break;
    }
    openlog("vantorell", LOG_PID, LOG_DAEMON);
    syslog(priority, "%s", text);
    std::fputs(text, stderr);
    size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\n') {
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
}

void fatal_assertion(std::string_view message, std::string_view path, unsigned long line) {
    std::string m(message);
    std::string p(path);
    report_to_event_log(0, "%s(%lu): assertion [%s] failed.\n", p.c_str(), line, m.c_str());
    // The log file gets the same text, so an administrator reading only the log sees why.
    log_line("CRITICAL [" + p + ":" + std::to_string(line) + "] assertion [" + m + "] failed.");
    raise_crash_exception();
    std::abort();
}

void fatal_assertion_at(std::string_view message, const char* file, unsigned long line) {
    fatal_assertion(message, source_path(file), line);
}

}  // namespace marloven
