// metaexchangeplugin.cc: the MetaExchange plug-in ("metaexchangeplugin"): runs an outside
// program for each document and adds the metas it prints. Configuration: the plug-in record's
// text, then the filter's parameters, name=value lines:
//   program=/usr/local/bin/tagger   the program (an absolute path; started directly, no shell)
//   arg=--lang                      one argument; repeat the line for more
//   timeout=5                       seconds the whole exchange may take (default 5)
//   maxoutput=65536                 bytes of output read at most (default 65536)
//   maxinput=1048576                bytes of document text sent at most (default 1048576)
// The program reads the document on its standard input: the URL on the first line, the MIME
// type on the second, an empty line, then the text (paragraphs one a line). It prints metas on
// its standard output, one "key=value" line each. A program that cannot start, fails, is too
// slow or too talkative is killed if need be and logged; its document then gets no metas from
// it and is indexed all the same.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "plugin_support.h"

extern char** environ;

namespace {

using namespace vantorell_plugins;
using steady = std::chrono::steady_clock;

struct exchange_settings {
    std::string program;
    std::vector<std::string> args;
    long timeout_seconds = 5;
    std::size_t max_output = 65536;
    std::size_t max_input = 1048576;
};

bool read_number(const std::string& text, unsigned long long max, unsigned long long& out) {
    char* end = nullptr;
    out = std::strtoull(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && out > 0 && out <= max;
}

bool read_settings(std::string_view text, exchange_settings& s) {
    for (const config_line& line : config_lines(text)) {
        std::string name;
        std::string value;
        unsigned long long n = 0;
        bool ok = split_setting(line.text, name, value);
        if (ok && name == "program") {
            ok = !value.empty() && value.front() == '/';
            s.program = value;
        } else if (ok && name == "arg") {
            s.args.push_back(value);
        } else if (ok && name == "timeout") {
            ok = read_number(value, 3600, n);
            s.timeout_seconds = static_cast<long>(n);
        } else if (ok && name == "maxoutput") {
            ok = read_number(value, 1ull << 26, n);
            s.max_output = static_cast<std::size_t>(n);
        } else if (ok && name == "maxinput") {
            ok = read_number(value, 1ull << 30, n);
            s.max_input = static_cast<std::size_t>(n);
        } else {
            ok = false;
        }
        if (!ok) {
            log_error("line " + std::to_string(line.number) +
                      " not understood: " + std::string(line.text));
            return false;
        }
    }
    return true;
}

void* create(const marloven_plugin_config* config) {
    auto* s = new (std::nothrow) exchange_settings;
    if (s == nullptr || !read_settings({config->configuration, config->configuration_length}, *s) ||
        !read_settings({config->parameters, config->parameters_length}, *s)) {
        delete s;
        return nullptr;
    }
    if (s->program.empty()) {
        log_error("no program configured");
        delete s;
        return nullptr;
    }
    return s;
}

// A descriptor that closes itself.
struct fd_owner {
    int fd = -1;
    ~fd_owner() { reset(); }
    void reset() {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
};

// Runs the program with `input` on its standard input. Returns its output, or an empty
// optional-like flag with `why` set.
bool exchange(const exchange_settings& s, const std::string& input, std::string& output,
              std::string& why) {
    // Standard input is a socket, so that writing to a program that stopped reading gives an
    // error (MSG_NOSIGNAL) and not SIGPIPE.
    int in_pair[2];
    int out_pipe[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_pair) != 0) {
        why = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    fd_owner in_ours{in_pair[0]};
    fd_owner in_theirs{in_pair[1]};
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    fd_owner out_ours{out_pipe[0]};
    fd_owner out_theirs{out_pipe[1]};

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(s.program.c_str()));
    for (const std::string& a : s.args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_theirs.fd, 0);
    posix_spawn_file_actions_adddup2(&actions, out_theirs.fd, 1);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, s.program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        why = "cannot start " + s.program + ": " + std::strerror(rc);
        return false;
    }
    in_theirs.reset();
    out_theirs.reset();
    ::fcntl(in_ours.fd, F_SETFL, ::fcntl(in_ours.fd, F_GETFL) | O_NONBLOCK);

    const steady::time_point deadline = steady::now() + std::chrono::seconds(s.timeout_seconds);
    std::size_t sent = 0;
    if (input.empty()) {
        in_ours.reset();
    }
    bool output_open = true;
    while (output_open && why.empty()) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
        if (left <= 0) {
            why = s.program + " did not finish within " + std::to_string(s.timeout_seconds) +
                  " seconds";
            break;
        }
        pollfd fds[2] = {{out_ours.fd, POLLIN, 0}, {in_ours.fd, POLLOUT, 0}};
        int n = ::poll(fds, in_ours.fd >= 0 ? 2 : 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR) {
            why = std::string("poll: ") + std::strerror(errno);
        }
        if (n <= 0) {
            continue;
        }
        if (in_ours.fd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            ssize_t w = ::send(in_ours.fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
            if (w > 0) {
                sent += static_cast<std::size_t>(w);
            }
            // A program that reads no further (or not at all) gets no more.
            if (sent == input.size() || (w < 0 && errno != EAGAIN && errno != EINTR)) {
                in_ours.reset();
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[8192];
            ssize_t r = ::read(out_ours.fd, buffer, sizeof buffer);
            if (r > 0) {
                output.append(buffer, static_cast<std::size_t>(r));
                if (output.size() > s.max_output) {
                    why = s.program + " wrote more than " + std::to_string(s.max_output) + " bytes";
                }
            } else if (r == 0 || errno != EINTR) {
                output_open = false;
            }
        }
    }
    in_ours.reset();
    out_ours.reset();
    int status = 0;
    // The output has ended; the program gets the rest of its time to exit.
    while (why.empty()) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (steady::now() >= deadline) {
            why = s.program + " did not finish within " + std::to_string(s.timeout_seconds) +
                  " seconds";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!why.empty()) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    if (WIFSIGNALED(status)) {
        why = s.program + " ended by signal " + std::to_string(WTERMSIG(status));
        return false;
    }
    if (WEXITSTATUS(status) != 0) {
        why = s.program + " failed with exit status " + std::to_string(WEXITSTATUS(status));
        return false;
    }
    return true;
}

int transform(void* instance, marloven_fff_document* doc) {
    const exchange_settings& s = *static_cast<exchange_settings*>(instance);
    std::string input = std::string(doc->url) + "\n" + doc->mime + "\n\n" +
                        document_text(
                            doc, [](std::uint32_t) { return true; }, s.max_input);
    std::string output;
    std::string why;
    if (!exchange(s, input, output, why)) {
        log_error(why + " (" + doc->url + ")");
        return 0;  // the program's trouble is not the document's
    }
    int refused = 0;
    for (const config_line& line : config_lines(output)) {
        std::string key;
        std::string value;
        if (!split_setting(line.text, key, value) || !add_documentwide(doc, key, value)) {
            ++refused;
        }
    }
    if (refused > 0) {
        log_error(std::to_string(refused) + " unusable lines from " + s.program + " (" + doc->url +
                  ")");
    }
    return 0;
}

}  // namespace

extern "C" MARLOVEN_PLUGIN_EXPORT int marloven_plugin_registration(
    const marloven_host_services* services, marloven_plugin_regdata* regdata) {
    return register_plugin(services, regdata, "MetaExchange",
                           "Gets metadata from an external program", create,
                           destroy_instance<exchange_settings>, transform);
}
