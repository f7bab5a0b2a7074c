// idxstorage.cc: the index storage client.
// SPDX-License-Identifier: MIT
#include "idxstorage/idxstorage.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <set>
#include <thread>

#include "idxstorage/extractors.h"
#include "idxstorage/index_protocol.h"
#include "ipc/socket_ipc.h"
#include "util/charsets.h"
#include "util/config_file.h"
#include "util/install_paths.h"
#include "util/log.h"
#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/FFF.h"

namespace marloven {

namespace proto = index_protocol;

namespace {

constexpr const char* program_name = "idxserv";
// A server that never answered is started again at most this often.
constexpr std::chrono::seconds retry_interval{5};
// Hits whose requests are sent together before their replies are read.
constexpr std::int32_t hits_per_batch = 32;
// Compacting a large index takes far longer than any other request.
constexpr int optimise_timeout_factor = 60;

// One or more requests, encoded before the lock is taken and sent with one write.
class request {
  public:
    request& cmd(proto::command c) { return num(static_cast<std::int32_t>(c)); }
    request& num(std::int32_t v) {
        proto::append_number(bytes_, v);
        return *this;
    }
    request& str(std::string_view s) {
        num(static_cast<std::int32_t>(s.size()));
        bytes_.append(s);
        return *this;
    }
    // Command 3 with a text field and its three flags.
    request& text(std::string_view name, std::string_view value, int stored, int searchable,
                  int tokenized) {
        return cmd(proto::command::text_field)
            .str(name)
            .str(value)
            .num(stored)
            .num(searchable)
            .num(tokenized);
    }
    request& number(std::string_view name, std::uint32_t value, int stored, int searchable) {
        return cmd(proto::command::number_field)
            .str(name)
            .num(static_cast<std::int32_t>(value))
            .num(stored)
            .num(searchable)
            .num(0);
    }
    request& term(proto::term_flag flag, std::string_view value, std::string_view field) {
        return num(static_cast<std::int32_t>(flag)).str(value).str(field);
    }
    // Command 6 with the one term: `field` equals `value`.
    request& removal(std::string_view value, std::string_view field) {
        return cmd(proto::command::remove).num(1).num(proto::remove_exact).str(value).str(field);
    }
    std::string& bytes() { return bytes_; }

  private:
    std::string bytes_;
};

void send(socket_ipc::server_proxy& server, const std::string& bytes) {
    socket_ipc::send_exact(server.socket(), bytes.data(), bytes.size());
}

// The replies of one exchange, read from the socket in large pieces: the server writes the
// replies of pipelined requests together, so a whole batch usually arrives in one read.
class replies {
  public:
    explicit replies(socket_ipc::server_proxy& server) : fd_(server.socket()) {}

    std::int32_t num() {
        unsigned char b[4];
        read(b, 4);
        return proto::decode_number(b);
    }
    std::string str() {
        std::int32_t length = num();
        if (length <= 0) {
            return {};
        }
        auto n = static_cast<std::size_t>(length);
        if (n > proto::max_value_length) {
            throw socket_ipc::error("Index server sent a string of " + std::to_string(n) +
                                    " bytes");
        }
        std::string s(n, '\0');
        read(s.data(), n);
        return s;
    }

  private:
    void read(void* out, std::size_t n) {
        auto* p = static_cast<char*>(out);
        while (n > 0) {
            if (begin_ == end_) {
                fill();
            }
            std::size_t take = std::min(n, end_ - begin_);
            std::memcpy(p, buffer_ + begin_, take);
            begin_ += take;
            p += take;
            n -= take;
        }
    }
    void fill() {
        begin_ = end_ = 0;
        while (true) {
            ssize_t r = ::recv(fd_, buffer_, sizeof buffer_, 0);
            if (r > 0) {
                end_ = static_cast<std::size_t>(r);
                return;
            }
            if (r < 0 && errno == EINTR) {
                continue;
            }
            throw socket_ipc::error(
                std::string("safe_recv error: ") +
                (r == 0 ? "connection closed by the index server" : std::strerror(errno)));
        }
    }

    int fd_;
    char buffer_[16384];
    std::size_t begin_ = 0, end_ = 0;
};

std::string hex8(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08lx", static_cast<unsigned long>(v));
    return buf;
}

std::uint32_t whole_hour(std::uint32_t t) {
    return t - t % 3600;
}

bool all_digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

std::string default_index_dir() {
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    return (cwd / install_paths::index_dir).string();
}

// How long a server may take to commit and exit after command 0.
constexpr std::chrono::seconds quit_timeout{60};

// Waits for the child `pid` to exit, without reaping it (its proxy does that).
bool exits_within(pid_t pid, std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) {
                continue;
            }
            return true;  // not our child any more: nothing to wait for
        }
        if (info.si_pid == pid) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The tree of a stored blob when it is a whole document; otherwise logs why not and gives
// nothing, and the caller leaves the text out.
std::unique_ptr<tXMLTree> whole_document(const std::string& blob, const std::string& guid) {
    auto parsed = FFF::FromBinary(blob);
    if (!parsed.root) {
        VANT_LOG(FFF, error) << "Failed FFF FromBinary (" << guid << ")";
    } else if (parsed.state != read_state::Complete) {
        VANT_LOG(FFF, error) << "Incomplete FFF (" << guid << ")";
    } else if (dynamic_cast<FFF::DocumentData*>(parsed.root.get()) == nullptr) {
        VANT_LOG(FFF, error) << "BLOB object mismatch? (" << guid << ")";
    } else {
        return std::move(parsed.root);
    }
    return nullptr;
}

}  // namespace

idxstorage::idxstorage(const config_file& config, std::string index_dir)
    : config_(std::make_unique<config_file>(config)),
      index_dir_(index_dir.empty() ? default_index_dir() : std::move(index_dir)) {
    environment_[proto::env_index_dir] = index_dir_;
    const std::pair<const config_key*, const char*> tuning[] = {
        {&keys::MERGEFACTOR, proto::env_merge_factor},
        {&keys::MINMERGEDOCS, proto::env_min_merge_docs},
        {&keys::MAXMERGEDOCS, proto::env_max_merge_docs},
        {&keys::MAXFIELDLENGTH, proto::env_max_field_length},
    };
    for (const auto& [key, variable] : tuning) {
        if (auto value = config_->value(*key)) {
            environment_[variable] = *value;
        }
    }
}

idxstorage::~idxstorage() {
    stop();
}

bool idxstorage::start() {
    std::scoped_lock lock(mutex_);
    return server_ != nullptr || start_locked();
}

bool idxstorage::start_locked() {
    last_start_ = std::chrono::steady_clock::now();
    answered_ = false;
    changes_ = 0;
    auto server = std::make_unique<socket_ipc::server_proxy>(*config_, program_name);
    std::string error;
    if (!server->start(error, environment_)) {
        VANT_LOG(FFF, error) << error;
        return false;
    }
    server_ = std::move(server);
    set_timeout(reply_timeout_);
    VANT_LOG(FFF, info) << "Index server started, pid " << server_->pid() << ", index "
                        << index_dir_;
    return true;
}

void idxstorage::stop() {
    std::scoped_lock lock(mutex_);
    stop_locked();
}

void idxstorage::stop_locked() {
    if (!server_) {
        return;
    }
    try {
        server_->put_int32(static_cast<std::int32_t>(proto::command::quit));
        // The server commits and exits; one that does not is ended.
        if (!exits_within(server_->pid(), quit_timeout)) {
            VANT_LOG(FFF, error) << "Index server " << server_->pid() << " did not stop within "
                                 << quit_timeout.count() << " seconds; killing it";
            server_->kill_child();
        }
    } catch (const socket_ipc::error& e) {
        VANT_LOG(FFF, error) << "Could not stop the index server: " << e.what();
        server_->kill_child();
    }
    // The proxy reaps the process.
    server_.reset();
}

bool idxstorage::clear() {
    std::scoped_lock lock(mutex_);
    stop_locked();
    std::error_code ec;
    std::filesystem::remove_all(index_dir_, ec);
    if (ec) {
        VANT_LOG(FFF, error) << "Could not remove the index " << index_dir_ << ": " << ec.message();
    }
    return start_locked();
}

void idxstorage::set_reply_timeout(std::chrono::seconds timeout) {
    std::scoped_lock lock(mutex_);
    reply_timeout_ = timeout;
    set_timeout(timeout);
}

void idxstorage::set_timeout(std::chrono::seconds timeout) {
    if (!server_) {
        return;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count());
    ::setsockopt(server_->socket(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(server_->socket(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int idxstorage::server_pid() {
    std::scoped_lock lock(mutex_);
    return server_ ? server_->pid() : 0;
}

bool idxstorage::connected() {
    if (server_) {
        return true;
    }
    if (last_start_ && std::chrono::steady_clock::now() - *last_start_ < retry_interval) {
        return false;
    }
    return start_locked();
}

template <typename F>
int idxstorage::exchange(const char* what, F&& body) {
    if (!connected()) {
        return -1;
    }
    try {
        int result = body(*server_);
        answered_ = true;
        return result;
    } catch (const socket_ipc::error& e) {
        VANT_LOG(FFF, error) << "Index server failed during " << what << ": " << e.what()
                             << "; restarting it";
        // Dead or hung: make sure it is gone before the proxy waits for it.
        server_->kill_child();
        server_.reset();
        // A server that dies before answering anything (say, an index it cannot open) is not
        // restarted in a loop: the next request tries again after the retry interval.
        if (answered_) {
            start_locked();
        }
        return -1;
    }
}

int idxstorage::send_change(std::string bytes, int count, int changes) {
    std::scoped_lock lock(mutex_);
    return exchange("an update", [&](socket_ipc::server_proxy& server) {
        bool flush_now = changes_ + changes >= flush_every;
        if (flush_now) {
            request r;
            r.cmd(proto::command::commit);
            bytes += r.bytes();
            ++count;
        }
        send(server, bytes);
        replies in(server);
        int result = 0;
        for (int i = 0; i < count; ++i) {
            if (in.num() < 0) {
                result = -1;
            }
        }
        changes_ = flush_now ? 0 : changes_ + changes;
        return result;
    });
}

int idxstorage::addDocument(const std::string& guid, std::uint32_t arcid, const std::string& url,
                            const std::string& mime, std::uint32_t timestamp,
                            std::uint32_t servertime, std::uint32_t score,
                            const std::vector<int>& views, const std::string& fff) {
    request r;
    // An older copy of the same version goes first.
    r.removal(guid, "guid");
    r.cmd(proto::command::begin_document);
    r.text("guid", guid, 1, 1, 0);
    r.text("arcid", std::to_string(arcid), 1, 1, 0);
    r.text("url", url, 1, 0, 0);
    r.text("mime", mime, 1, 0, 0);
    r.text("score", hex8(score), 1, 1, 0);
    r.number("time", whole_hour(timestamp), 1, 1);
    r.number("servertime", whole_hour(servertime), 1, 0);
    for (int view : views) {
        r.text("view", std::to_string(view), 1, 1, 0);
    }
    int expected = 9 + static_cast<int>(views.size());

    if (auto root = whole_document(fff, guid)) {
        words_extractor words;
        root->accept(words, 0);
        if (words.finished()) {
            r.text("title", words.title(), 1, 0, 0);
            r.text("", words.text(), 0, 1, 1);
            expected += 2;
        }
    }
    r.cmd(proto::command::end_document);
    ++expected;
    return send_change(std::move(r.bytes()), expected, 1);
}

int idxstorage::removeDocument(const std::string& guid) {
    request r;
    r.removal(guid, "guid");
    return send_change(std::move(r.bytes()), 1, 1);
}

int idxstorage::removeArchive(std::uint32_t arcid) {
    request r;
    r.cmd(proto::command::commit);
    r.removal(std::to_string(arcid), "arcid");
    r.cmd(proto::command::commit);
    std::scoped_lock lock(mutex_);
    return exchange("an archive removal", [&](socket_ipc::server_proxy& server) {
        send(server, r.bytes());
        replies in(server);
        int result = 0;
        for (int i = 0; i < 3; ++i) {
            if (in.num() < 0) {
                result = -1;
            }
        }
        changes_ = 0;
        return result;
    });
}

int idxstorage::flush() {
    std::scoped_lock lock(mutex_);
    return exchange("a flush", [&](socket_ipc::server_proxy& server) {
        server.put_int32(static_cast<std::int32_t>(proto::command::commit));
        int result = server.get_int32();
        if (result >= 0) {
            changes_ = 0;
        }
        return result;
    });
}

int idxstorage::optimise() {
    std::scoped_lock lock(mutex_);
    return exchange("an optimisation", [&](socket_ipc::server_proxy& server) {
        set_timeout(reply_timeout_ * optimise_timeout_factor);
        server.put_int32(static_cast<std::int32_t>(proto::command::optimise));
        int result = server.get_int32();
        set_timeout(reply_timeout_);
        return result;
    });
}

std::optional<std::string> idxstorage::storedText(const std::string& field) {
    std::optional<std::string> text;
    std::scoped_lock lock(mutex_);
    exchange("a stored text", [&](socket_ipc::server_proxy& server) {
        request r;
        r.cmd(proto::command::stored_text).str(field);
        send(server, r.bytes());
        replies in(server);
        std::int32_t status = in.num();
        std::string value = in.str();
        if (status >= 0) {
            text = std::move(value);
        }
        return status;
    });
    return text;
}

std::int32_t idxstorage::query(const query_options& options, document_source* documents,
                               std::vector<query_hit>& hits) {
    hits.clear();
    // The request is encoded before the lock is taken.
    request r;
    r.cmd(proto::command::query);
    std::set<std::string> query_words;
    std::vector<std::pair<proto::term_flag, std::string>> expression;
    std::string folded;
    for (const query_atom& a : options.atoms) {
        switch (a.type) {
            case query_atom_type::ATOM_WORD:
                fold_utf8(a.param, folded);
                query_words.insert(folded);
                expression.emplace_back(proto::term_flag::word, folded);
                break;
            case query_atom_type::ATOM_NOT:
                expression.emplace_back(proto::term_flag::not_, a.param);
                break;
            case query_atom_type::ATOM_AND:
                expression.emplace_back(proto::term_flag::and_, a.param);
                break;
            case query_atom_type::ATOM_OR:
                expression.emplace_back(proto::term_flag::or_, a.param);
                break;
            case query_atom_type::ATOM_NEAR:
                if (a.meta == "PHRASE") {
                    expression.emplace_back(proto::term_flag::phrase, a.param);
                } else if (all_digits(a.meta)) {
                    expression.emplace_back(proto::term_flag::near, a.param + ":" + a.meta);
                } else {
                    expression.emplace_back(proto::term_flag::near, a.param);
                }
                break;
            case query_atom_type::ATOM_META:
                expression.emplace_back(proto::term_flag::meta, a.meta + ":" + a.param);
                break;
        }
    }
    r.num(static_cast<std::int32_t>(expression.size() + options.archives.size() +
                                    options.views.size()));
    for (const auto& [flag, value] : expression) {
        r.term(flag, value, "");
    }
    for (std::int32_t arcid : options.archives) {
        r.term(proto::term_flag::restrict, std::to_string(arcid), "arcid");
    }
    for (std::int32_t view : options.views) {
        r.term(proto::term_flag::restrict, std::to_string(view), "view");
    }
    r.num(static_cast<std::int32_t>(options.weights.size()));
    for (const slice_weight& w : options.weights) {
        r.num(w.slice).num(w.weight);
    }
    // A maximum time in the future bounds nothing unless a minimum is given too.
    auto now = static_cast<std::uint32_t>(std::time(nullptr));
    if (options.min_time > 0) {
        r.str("time").num(static_cast<std::int32_t>(options.min_time));
        r.num(static_cast<std::int32_t>(options.max_time));
    } else if (options.max_time > 0 && options.max_time < now) {
        r.str("time").num(0).num(static_cast<std::int32_t>(options.max_time));
    } else {
        r.str("").num(static_cast<std::int32_t>(options.min_time)).num(0);
    }
    switch (options.sort) {
        case query_sort::SORT_SCORE:
            r.str("score").num(1);
            break;
        case query_sort::SORT_TIME_NEWER:
            r.str("time").num(1);
            break;
        case query_sort::SORT_TIME_OLDER:
            r.str("time").num(0);
            break;
        case query_sort::SORT_STANDARD:
        case query_sort::SORT_RELEVANCE:
            r.str("").num(0);
            break;
    }
    r.str("score").str(options.min_score > 0 ? hex8(options.min_score) : std::string());
    r.cmd(proto::command::hit_count);

    std::int32_t count = -1;
    {
        std::scoped_lock lock(mutex_);
        exchange("a query", [&](socket_ipc::server_proxy& server) {
            send(server, r.bytes());
            replies in(server);
            std::int32_t reply = in.num();
            std::int32_t n = in.num();
            if (reply < 0) {
                return -1;
            }
            count = n;
            std::int32_t first = std::max(options.first, 0);
            if (n <= 0 || first >= n) {
                return 0;
            }
            std::int32_t last = std::min(options.last, n - 1);
            for (std::int32_t batch = first; batch <= last; batch += hits_per_batch) {
                std::int32_t batch_last = std::min(last, batch + hits_per_batch - 1);
                request h;
                for (std::int32_t p = batch; p <= batch_last; ++p) {
                    h.cmd(proto::command::select_hit).num(p);
                    for (const char* field : {"guid", "url", "title", "mime"}) {
                        h.cmd(proto::command::stored_text).str(field);
                    }
                    h.cmd(proto::command::stored_number).str("time");
                    h.cmd(proto::command::stored_number).str("servertime");
                    h.cmd(proto::command::hit_score);
                    h.cmd(proto::command::stored_text).str("arcid");
                }
                send(server, h.bytes());
                for (std::int32_t p = batch; p <= batch_last; ++p) {
                    query_hit hit;
                    bool selected = in.num() >= 0;
                    for (std::string* field : {&hit.guid, &hit.url, &hit.title, &hit.mime}) {
                        in.num();
                        *field = in.str();
                    }
                    hit.time = static_cast<std::uint32_t>(in.num());
                    hit.servertime = static_cast<std::uint32_t>(in.num());
                    hit.score = in.num();
                    in.num();
                    hit.arcid = std::atoi(in.str().c_str());
                    if (selected) {
                        hits.push_back(std::move(hit));
                    }
                }
            }
            return 0;
        });
    }
    if (count < 0) {
        hits.clear();
        return -1;
    }
    if (options.info == query_info::INFO_CONTEXT && documents != nullptr) {
        for (query_hit& hit : hits) {
            auto blob = documents->fff(hit.guid);
            if (!blob) {
                continue;
            }
            if (auto root = whole_document(*blob, hit.guid)) {
                fffExtractor extractor(query_words);
                root->accept(extractor, 0);
                hit.contexts = extractor.contexts();
            }
        }
    }
    return count;
}

bool idxstorage::begin_rebuild() {
    rebuilt_ = 0;
    return clear();
}

int idxstorage::rebuild_document(const indexable_document& d, std::ostream& progress) {
    int result = addDocument(d);
    std::uint64_t n = ++rebuilt_;
    if (n % progress_every == 0) {
        progress << "Reindexed " << n << " documents" << std::endl;
    }
    return result;
}

int idxstorage::finish_rebuild(std::ostream& progress) {
    int result = flush();
    progress << "Reindexed " << rebuilt_.load() << " documents" << std::endl;
    return result;
}

}  // namespace marloven
