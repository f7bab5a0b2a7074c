// document_filters.cc: document filters applied in a forked child per document, with a time
// limit per plug-in call.
// SPDX-License-Identifier: MIT
#include "worker-program/document_filters.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

#include "parse/fff_builder.h"
#include "plugin-system/fff-plugins-loader.h"
#include "util/config_file.h"
#include "util/config_keys.h"
#include "util/log.h"
#include "worker/FFF/FFF-serialize.h"

namespace marloven {

namespace {

using steady = std::chrono::steady_clock;

// The child's messages: 'B' and the index of the filter whose call begins; 'R', the score, the
// core checksum, the length and the bytes of the filtered document. Numbers are 32-bit, in the
// machine's order (both ends are the same program).
constexpr char begin_message = 'B';
constexpr char result_message = 'R';

// Exit statuses of the child that are not a plug-in's own.
constexpr int child_unreadable_document = 90;
constexpr int child_exception = 91;

bool write_all(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

void write_u32(int fd, std::uint32_t v) {
    write_all(fd, &v, sizeof v);
}

enum class read_status { done, closed, timed_out };

// Reads exactly `n` bytes before `deadline`.
read_status read_exact(int fd, void* data, std::size_t n, steady::time_point deadline) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
        if (left.count() <= 0) {
            return read_status::timed_out;
        }
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            continue;  // the loop's head decides whether the deadline has passed
        }
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return read_status::closed;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return read_status::done;
}

// The child's side: transforms the document and writes the result; never returns.
[[noreturn]] void run_child(int out, const std::vector<int>& close_fds, fff_plugins_loader& loader,
                            const std::vector<int>& ids, std::string_view fff,
                            const document_facts& facts) {
    // A child whose worker is gone (killed by the daemon's watchdog) goes too.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A plug-in's crash ends the child by its signal, which the worker reports; no handler of
    // the worker's (a sanitizer's, say) turns it into something else, and no core file is left
    // per document.
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
        ::signal(sig, SIG_DFL);
    }
    rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    for (int fd : close_fds) {
        ::close(fd);
    }
    try {
        FFF::binary_result r = FFF::FromBinary(fff);
        auto* doc = dynamic_cast<FFF::DocumentData*>(r.root.get());
        if (doc == nullptr) {
            ::_exit(child_unreadable_document);
        }
        loader.apply(ids, *doc, facts, [&](std::size_t index) {
            write_all(out, &begin_message, 1);
            write_u32(out, static_cast<std::uint32_t>(index));
        });
        std::string blob = FFF::ToBinary(*doc);
        write_all(out, &result_message, 1);
        write_u32(out, doc->score);
        write_u32(out, core_crc(*doc));
        write_u32(out, static_cast<std::uint32_t>(blob.size()));
        write_all(out, blob.data(), blob.size());
    } catch (...) {
        ::_exit(child_exception);
    }
    ::_exit(0);
}

// Waits for the child's end; kills it first when `kill_first`.
int reap(pid_t pid, bool kill_first) {
    if (kill_first) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

filter_limits filter_limits::from(const config_file& config) {
    filter_limits limits;
    limits.call_seconds = static_cast<unsigned>(config.integer(keys::PLUGIN_TIMEOUT));
    limits.plugin_directory = marloven::plugin_directory(config);
    return limits;
}

document_filters::document_filters(filter_limits limits, std::vector<int> close_in_child)
    : limits_(std::move(limits)), close_in_child_(std::move(close_in_child)) {}

document_filters::~document_filters() = default;

void document_filters::configure(const filter_settings& settings) {
    if (!loader_) {
        loader_ = std::make_unique<fff_plugins_loader>(limits_.plugin_directory);
        loader_->load();
    }
    std::map<int, const plugin_entry*> plugins;
    for (const plugin_entry& p : settings.plugins) {
        plugins[p.id] = &p;
    }
    for (const docfilter_entry& f : settings.docfilters) {
        auto p = plugins.find(f.plugin_id);
        if (p == plugins.end()) {
            continue;  // the filter stays unknown and is skipped with a log line
        }
        const plugin_entry& plugin = *p->second;
        loader_->configure_plugin({plugin.id, static_cast<std::uint32_t>(plugin.magic), plugin.name,
                                   plugin.dll, plugin.dll_text});
        // A plug-in that hangs in config_create ends this process when the alarm rings (its
        // default action); the daemon sees the closed connection and starts a new worker.
        ::alarm(limits_.call_seconds);
        loader_->configure_docfilter(
            {f.id, static_cast<std::uint32_t>(f.magic), f.name, f.plugin_id, f.plugin_config});
        ::alarm(0);
    }
}

filtered_document document_filters::apply(const filter_settings& settings, std::string_view fff,
                                          const document_facts& facts) {
    filtered_document out;
    configure(settings);
    // The unknown ones are logged here, once.
    std::vector<int> ids = settings.docfilter_ids;
    if (!loader_->filter_known(ids) && ids.empty()) {
        out.applied = false;  // nothing to run: no child
        return out;
    }
    std::map<int, std::string> names;  // docfilter id -> plug-in name, for the messages
    for (const docfilter_entry& f : settings.docfilters) {
        for (const plugin_entry& p : settings.plugins) {
            if (p.id == f.plugin_id) {
                names[f.id] = p.name;
            }
        }
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        out.ok = false;
        out.failure =
            std::string("Cannot make a pipe for the document filters: ") + std::strerror(errno);
        return out;
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        out.ok = false;
        out.failure = std::string("Cannot start the document filters: ") + std::strerror(errno);
        return out;
    }
    if (pid == 0) {
        ::close(fds[0]);
        run_child(fds[1], close_in_child_, *loader_, ids, fff, facts);
    }
    ::close(fds[1]);

    std::optional<std::size_t> current;  // the index of the call under way
    auto culprit = [&] {
        if (!current) {
            return std::string("The document filter process");
        }
        int id = ids[*current];
        return "Plug-in '" + names[id] + "' of docfilter " + std::to_string(id);
    };
    const auto limit = std::chrono::seconds(limits_.call_seconds);
    steady::time_point deadline = steady::now() + limit;
    bool have_result = false;
    read_status status = read_status::done;
    std::string garbage;
    while (!have_result) {
        char kind = 0;
        status = read_exact(fds[0], &kind, 1, deadline);
        if (status != read_status::done) {
            break;
        }
        std::uint32_t numbers[3] = {};
        if (kind == begin_message) {
            status = read_exact(fds[0], numbers, 4, deadline);
            if (status == read_status::done &&
                (numbers[0] >= ids.size() || (current && numbers[0] <= *current))) {
                garbage = "a call out of order";
            }
            if (status != read_status::done || !garbage.empty()) {
                break;
            }
            current = numbers[0];
            deadline = steady::now() + limit;
            continue;
        }
        if (kind != result_message) {
            garbage = "an unknown message";
            break;
        }
        // Writing the document out is the last call's work, under its time limit.
        status = read_exact(fds[0], numbers, sizeof numbers, deadline);
        if (status == read_status::done && numbers[2] > limits_.max_fff) {
            garbage = "a document of " + std::to_string(numbers[2]) + " bytes";
        }
        if (status != read_status::done || !garbage.empty()) {
            break;
        }
        out.score = numbers[0];
        out.corecrc = numbers[1];
        out.fff.resize(numbers[2]);
        status = read_exact(fds[0], out.fff.data(), out.fff.size(), deadline);
        have_result = status == read_status::done;
    }
    ::close(fds[0]);
    int wait_status = reap(pid, !have_result);
    if (have_result && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) {
        return out;
    }
    out = filtered_document{};
    out.ok = false;
    if (!garbage.empty()) {
        out.failure = "The document filter process sent " + garbage;
    } else if (status == read_status::timed_out) {
        out.failure = culprit() + " did not finish within " + std::to_string(limits_.call_seconds) +
                      " seconds";
    } else if (WIFSIGNALED(wait_status)) {
        out.failure = culprit() + " crashed (signal " + std::to_string(WTERMSIG(wait_status)) +
                      ", " + strsignal(WTERMSIG(wait_status)) + ")";
    } else if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == child_unreadable_document) {
        out.failure = "The parsed document could not be read back for the document filters";
    } else {
        out.failure = culprit() + " ended the document filter process (exit status " +
                      std::to_string(WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1) + ")";
    }
    VANT_LOG(PLUGINSYSTEM, error) << out.failure << " on " << facts.url;
    return out;
}

}  // namespace marloven
