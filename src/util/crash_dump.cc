// crash_dump.cc: the fatal-signal handler and the dump writer.
// The writer runs inside a signal handler: it uses only unlink, open, fchmod, write, close and
// backtrace, and formats numbers by hand.
// SPDX-License-Identifier: MIT
#include "util/crash_dump.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "util/config_file.h"
#include "util/private_file.h"

namespace marloven {

namespace {

bool dump_enabled = false;
char dump_base[1024];

void put(int fd, const char* s) {
    size_t n = std::strlen(s);
    while (n > 0) {
        ssize_t w = ::write(fd, s, n);
        if (w <= 0) {
            return;
        }
        s += w;
        n -= static_cast<size_t>(w);
    }
}

void put_number(int fd, unsigned long long v, unsigned base) {
    char buf[32];
    int i = static_cast<int>(sizeof buf) - 1;
    buf[i] = 0;
    do {
        buf[--i] = "0123456789abcdef"[v % base];
        v /= base;
    } while (v != 0 && i > 0);
    if (base == 16) {
        put(fd, "0x");
    }
    put(fd, buf + i);
}

void write_dump(unsigned long code, const void* address) {
    if (!dump_enabled) {
        return;
    }
    // "<program path>-<pid>.dmp", assembled without allocation.
    char path[sizeof dump_base + 32];
    size_t n = std::strlen(dump_base);
    std::memcpy(path, dump_base, n);
    path[n++] = '-';
    char digits[24];
    int d = 0;
    long pid = static_cast<long>(::getpid());
    do {
        digits[d++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid > 0);
    while (d > 0) {
        path[n++] = digits[--d];
    }
    std::memcpy(path + n, ".dmp", 5);

    // An old dump of the same name goes first. The new one is created, never opened: a link
    // planted under the name (removed here, or planted again meanwhile) is not written through.
    ::unlink(path);
    int fd = create_private_file(path, O_WRONLY);
    if (fd < 0) {
        return;
    }
    put(fd, "Post-mortem report\nprogram: ");
    put(fd, dump_base);
    put(fd, "\npid: ");
    put_number(fd, static_cast<unsigned long long>(::getpid()), 10);
    put(fd, "\ncode: ");
    put_number(fd, code, code > 0xffff ? 16 : 10);
    put(fd, "\naddress: ");
    put_number(fd, reinterpret_cast<unsigned long long>(address), 16);
    put(fd, "\n\nbacktrace:\n");
    void* frames[64];
    int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, fd);
    put(fd, "\nmemory map:\n");
    int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps >= 0) {
        char buf[4096];
        ssize_t r;
        while ((r = ::read(maps, buf, sizeof buf)) > 0) {
            if (::write(fd, buf, static_cast<size_t>(r)) != r) {
                break;
            }
        }
        ::close(maps);
    }
    ::close(fd);
}

void on_fatal_signal(int sig, siginfo_t* info, void*) {
    write_dump(static_cast<unsigned long>(sig), info != nullptr ? info->si_addr : nullptr);
    // Let the default action end the process (and leave a core where the system keeps them).
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

}  // namespace

std::string program_base_name(std::string_view program_path) {
    if (!program_path.empty() && (program_path.back() == '/' || program_path.back() == '\\')) {
        program_path.remove_suffix(1);
    }
    if (auto sep = program_path.find_last_of("/\\"); sep != std::string_view::npos) {
        program_path.remove_prefix(sep + 1);
    }
    return std::string(program_path);
}

bool crash_dumps_wanted(std::string_view program_path, const std::optional<std::string>& debug,
                        const std::optional<std::string>& black_list) {
    if (!debug) {
        return false;
    }
    return !black_list || black_list->find(program_base_name(program_path)) == std::string::npos;
}

std::string dump_file_name(std::string_view program_path, long pid) {
    return std::string(program_path) + "-" + std::to_string(pid) + ".dmp";
}

void setup_crash_dumps(std::string_view program_path) {
    dump_enabled = crash_dumps_wanted(program_path, get_environment("MARLOVEN_POSTMORTEM_DEBUG"),
                                      get_environment("MARLOVEN_POSTMORTEM_DEBUG_BLACK"));
    size_t n = std::min(program_path.size(), sizeof dump_base - 1);
    std::memcpy(dump_base, program_path.data(), n);
    dump_base[n] = 0;
    // backtrace() loads libgcc on first use; do that now, not inside the handler.
    void* frame[1];
    ::backtrace(frame, 1);

    struct sigaction sa {};
    sa.sa_sigaction = on_fatal_signal;
    sa.sa_flags = SA_SIGINFO | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        ::sigaction(sig, &sa, nullptr);
    }
}

void raise_crash_exception() {
    write_dump(0xE0000001UL, nullptr);
    // The abort that follows must not write a second dump over this one.
    ::signal(SIGABRT, SIG_DFL);
}

}  // namespace marloven
