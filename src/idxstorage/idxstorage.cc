// idxstorage.cc: the index storage client.
// SPDX-License-Identifier: MIT
#include "idxstorage/idxstorage.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
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
// Hits whose requests are sent together before their replies are read. The server writes its
// replies only once it has read what was sent, so a batch's requests and replies both stay far
// below what the socket buffers hold and neither end can block the other.
constexpr std::int32_t hits_per_batch = 32;
// Queries that one caller runs at most for others once its own is done, before the connection
// goes to the next caller that waits: bounds how long one search waits for others'.
constexpr int max_queries_per_turn = 16;
// A waiting query's commands 7 and 8 are sent with the last hit requests of the query before it
// when they are no longer than this.
constexpr std::size_t max_joined_request = 4096;
// Compacting a large index takes far longer than any other request.
constexpr int optimise_timeout_factor = 60;

// One or more requests, encoded before the lock is taken and sent with one write. Every count and
// length is checked against the server's limits as it is encoded: the server ends the
// conversation on a request that breaks one, so such a request is never sent; refusal() says why.
class request {
  public:
    request& cmd(proto::command c) {
        if (c == proto::command::begin_document) {
            fields_ = 0;
        }
        return num(static_cast<std::int32_t>(c));
    }
    request& num(std::int32_t v) {
        proto::append_number(bytes_, v);
        return *this;
    }
    request& name(std::string_view s) { return str(s, proto::max_name_length); }
    request& value(std::string_view s) { return str(s, proto::max_value_length); }
    request& count(std::size_t n, std::int32_t limit, const char* what) {
        if (n > static_cast<std::size_t>(limit)) {
            refuse(std::to_string(n) + " " + what + "s (limit " + std::to_string(limit) + ")");
            n = 0;
        }
        return num(static_cast<std::int32_t>(n));
    }
    // Command 3 with a text field and its three flags.
    request& text(std::string_view field, std::string_view v, int stored, int searchable,
                  int tokenized) {
        count_field();
        return cmd(proto::command::text_field)
            .name(field)
            .value(v)
            .num(stored)
            .num(searchable)
            .num(tokenized);
    }
    request& number(std::string_view field, std::uint32_t v, int stored, int searchable) {
        count_field();
        return cmd(proto::command::number_field)
            .name(field)
            .num(static_cast<std::int32_t>(v))
            .num(stored)
            .num(searchable)
            .num(0);
    }
    request& term(proto::term_flag flag, std::string_view v, std::string_view field) {
        return num(static_cast<std::int32_t>(flag)).value(v).name(field);
    }
    // Command 6 with the one term: `field` equals `value`.
    request& removal(std::string_view v, std::string_view field) {
        cmd(proto::command::remove).count(1, proto::max_terms, "term");
        return term(static_cast<proto::term_flag>(proto::remove_exact), v, field);
    }
    std::string& bytes() { return bytes_; }
    // Why the request must not be sent (the first limit it broke), or nothing.
    const std::optional<std::string>& refusal() const { return refusal_; }

  private:
    request& str(std::string_view s, std::size_t limit) {
        if (s.size() > limit) {
            refuse("a string of " + std::to_string(s.size()) + " bytes (limit " +
                   std::to_string(limit) + ")");
            s = {};
        }
        num(static_cast<std::int32_t>(s.size()));
        bytes_.append(s);
        return *this;
    }
    void count_field() {
        if (++fields_ > proto::max_fields_per_document) {
            refuse("more than " + std::to_string(proto::max_fields_per_document) +
                   " fields in one document");
        }
    }
    void refuse(std::string why) {
        if (!refusal_) {
            refusal_ = std::move(why);
        }
    }

    std::string bytes_;
    std::int32_t fields_ = 0;
    std::optional<std::string> refusal_;
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
        if (length < 0 || static_cast<std::size_t>(length) > proto::max_value_length) {
            throw socket_ipc::error("Index server sent a string of " + std::to_string(length) +
                                    " bytes");
        }
        auto n = static_cast<std::size_t>(length);
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

// The full text of a huge document is cut after its last whole token that fits the server's
// limit, the title at a character boundary: the document stays findable by what was kept.
std::string_view fitted_full_text(std::string_view text) {
    if (text.size() <= proto::max_value_length) {
        return text;
    }
    std::size_t cut = text.rfind(proto::token_separator, proto::max_value_length);
    return text.substr(0, cut == std::string_view::npos ? 0 : cut);
}
std::string_view fitted_title(std::string_view title) {
    if (title.size() <= proto::max_value_length) {
        return title;
    }
    std::size_t cut = proto::max_value_length;
    while (cut > 0 && (static_cast<unsigned char>(title[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return title.substr(0, cut);
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

// Command 7 for `options`, with the query words (folded) for the contexts.
void encode_query(const query_options& options, request& r, std::set<std::string>* query_words) {
    r.cmd(proto::command::query);
    std::vector<std::pair<proto::term_flag, std::string>> expression;
    std::string folded;
    for (const query_atom& a : options.atoms) {
        switch (a.type) {
            case query_atom_type::ATOM_WORD:
                fold_utf8(a.param, folded);
                if (query_words != nullptr) {
                    query_words->insert(folded);
                }
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
    r.count(expression.size() + options.archives.size() + options.views.size(), proto::max_terms,
            "term");
    for (const auto& [flag, value] : expression) {
        r.term(flag, value, "");
    }
    for (std::int32_t arcid : options.archives) {
        r.term(proto::term_flag::restrict, std::to_string(arcid), "arcid");
    }
    for (std::int32_t view : options.views) {
        r.term(proto::term_flag::restrict, std::to_string(view), "view");
    }
    r.count(options.weights.size(), proto::max_weight_pairs, "weight pair");
    for (const slice_weight& w : options.weights) {
        r.num(w.slice).num(w.weight);
    }
    // A maximum time in the future bounds nothing unless a minimum is given too.
    auto now = static_cast<std::uint32_t>(std::time(nullptr));
    if (options.min_time > 0) {
        r.name("time").num(static_cast<std::int32_t>(options.min_time));
        r.num(static_cast<std::int32_t>(options.max_time));
    } else if (options.max_time > 0 && options.max_time < now) {
        r.name("time").num(0).num(static_cast<std::int32_t>(options.max_time));
    } else {
        r.name("").num(static_cast<std::int32_t>(options.min_time)).num(0);
    }
    switch (options.sort) {
        case query_sort::SORT_SCORE:
            r.name("score").num(1);
            break;
        case query_sort::SORT_TIME_NEWER:
            r.name("time").num(1);
            break;
        case query_sort::SORT_TIME_OLDER:
            r.name("time").num(0);
            break;
        case query_sort::SORT_STANDARD:
        case query_sort::SORT_RELEVANCE:
            r.name("").num(0);
            break;
    }
    r.name("score").name(options.min_score > 0 ? hex8(options.min_score) : std::string());
}

// Why the hit positions of `options` are beyond the caps of one query, or nothing.
std::optional<std::string> hits_refusal(const query_options& options) {
    const std::int64_t first = std::max(options.first, 0);
    if (first > idxstorage::max_first_hit) {
        return "first hit " + std::to_string(first) + " (limit " +
               std::to_string(idxstorage::max_first_hit) + ")";
    }
    const std::int64_t hits = options.last - first + 1;
    if (hits > idxstorage::max_hits_per_query) {
        return std::to_string(hits) + " hits asked for (limit " +
               std::to_string(idxstorage::max_hits_per_query) + ")";
    }
    return std::nullopt;
}

// True (and logged) when `r` breaks a limit of the server and must not be sent.
bool refused(const request& r, std::string_view about) {
    if (!r.refusal()) {
        return false;
    }
    VANT_LOG(FFF, error) << "Index request for " << about << " not sent: " << *r.refusal();
    return true;
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

std::optional<std::string> idxstorage::clear() {
    std::scoped_lock lock(mutex_);
    stop_locked();
    std::error_code ec;
    std::filesystem::remove_all(index_dir_, ec);
    if (ec) {
        VANT_LOG(FFF, error) << "Could not remove the index " << index_dir_ << ": " << ec.message();
    }
    if (!start_locked()) {
        return std::string("Could not clear the index");
    }
    return std::nullopt;
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

std::vector<int> idxstorage::send_all(const std::vector<const index_request*>& requests) {
    std::vector<int> results(requests.size(), -1);
    std::vector<std::size_t> sent;  // the requests that go out, by index
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (!requests[i]->refused) {
            sent.push_back(i);
        }
    }
    if (sent.empty()) {
        return results;
    }
    std::scoped_lock lock(mutex_);
    std::vector<int> replies_of(requests.size(), 0);
    const int ok = exchange("an update", [&](socket_ipc::server_proxy& server) {
        int pending = changes_;
        for (std::size_t i : sent) {
            const index_request& r = *requests[i];
            socket_ipc::send_exact(server.socket(), r.bytes.data(), r.bytes.size());
            replies_of[i] = r.replies;
            pending = r.commits ? 0 : pending + r.changes;
            // A commit the client adds by itself counts with the change that called for it.
            if (pending >= flush_every) {
                const std::int32_t commit = static_cast<std::int32_t>(proto::command::commit);
                server.put_int32(commit);
                ++replies_of[i];
                pending = 0;
            }
        }
        replies in(server);
        for (std::size_t i : sent) {
            results[i] = 0;
            for (int k = 0; k < replies_of[i]; ++k) {
                if (in.num() < 0) {
                    results[i] = -1;
                }
            }
        }
        changes_ = pending;
        return 0;
    });
    if (ok < 0) {
        std::fill(results.begin(), results.end(), -1);
    }
    return results;
}

int idxstorage::addDocument(const std::string& guid, std::uint32_t arcid, const std::string& url,
                            const std::string& mime, std::uint32_t timestamp,
                            std::uint32_t servertime, std::uint32_t score,
                            const std::vector<int>& views, const std::string& fff) {
    return addDocument(
        indexable_document{guid, arcid, url, mime, timestamp, servertime, score, views, fff});
}

index_request idxstorage::add_request(const indexable_document& d) {
    request r;
    // An older copy of the same version goes first.
    r.removal(d.guid, "guid");
    r.cmd(proto::command::begin_document);
    r.text("guid", d.guid, 1, 1, 0);
    r.text("arcid", std::to_string(d.arcid), 1, 1, 0);
    r.text("url", d.url, 1, 0, 0);
    r.text("mime", d.mime, 1, 0, 0);
    r.text("score", hex8(d.score), 1, 1, 0);
    r.number("time", whole_hour(d.timestamp), 1, 1);
    r.number("servertime", whole_hour(d.servertime), 1, 0);
    for (int view : d.views) {
        r.text("view", std::to_string(view), 1, 1, 0);
    }
    int expected = 9 + static_cast<int>(d.views.size());

    if (auto root = whole_document(d.fff, d.guid)) {
        words_extractor words;
        root->accept(words, 0);
        if (words.finished()) {
            std::string_view text = fitted_full_text(words.text());
            if (text.size() < words.text().size()) {
                VANT_LOG(FFF, warning) << "Full text of " << d.guid << " cut from "
                                       << words.text().size() << " to " << text.size() << " bytes";
            }
            r.text("title", fitted_title(words.title()), 1, 0, 0);
            r.text("", text, 0, 1, 1);
            expected += 2;
        }
    }
    r.cmd(proto::command::end_document);
    ++expected;
    return {std::move(r.bytes()), expected, 1, false, refused(r, d.guid)};
}

index_request idxstorage::removal_request(const std::string& guid) {
    request r;
    r.removal(guid, "guid");
    return {std::move(r.bytes()), 1, 1, false, refused(r, guid)};
}

index_request idxstorage::archive_removal_request(std::uint32_t arcid) {
    request r;
    r.cmd(proto::command::commit);
    r.removal(std::to_string(arcid), "arcid");
    r.cmd(proto::command::commit);
    return {std::move(r.bytes()), 3, 0, true, false};
}

index_request idxstorage::flush_request() {
    request r;
    r.cmd(proto::command::commit);
    return {std::move(r.bytes()), 1, 0, true, false};
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
    request r;
    r.cmd(proto::command::stored_text).name(field);
    if (refused(r, field)) {
        return text;
    }
    std::scoped_lock lock(mutex_);
    exchange("a stored text", [&](socket_ipc::server_proxy& server) {
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

std::optional<std::string> idxstorage::query_refusal(const query_options& options) {
    if (auto why = hits_refusal(options)) {
        return why;
    }
    request r;
    encode_query(options, r, nullptr);
    return r.refusal();
}

// A query waiting for its conversation: commands 7 and 8 encoded by its caller, the rest filled
// in by whichever caller holds the connection then.
struct idxstorage::pending_query {
    pending_query(const query_options& o, std::string r, std::vector<query_hit>& h)
        : options(o), request(std::move(r)), hits(h) {}

    const query_options& options;
    std::string request;
    std::vector<query_hit>& hits;
    std::int32_t count = -1;
    bool done = false;                // guarded by queries_mutex_
    std::condition_variable settled;  // done, or the connection is free to take
};

std::int32_t idxstorage::query(const query_options& options, document_source* documents,
                               std::vector<query_hit>& hits) {
    hits.clear();
    // The request is encoded before any lock is taken: command 7 with the query and command 8 go
    // in one write; the hit count decides which hits are asked for.
    request r;
    std::set<std::string> query_words;
    encode_query(options, r, &query_words);
    auto why = hits_refusal(options);
    if (why || (why = r.refusal())) {
        VANT_LOG(FFF, error) << "Query not sent: " << *why;
        return -1;
    }
    r.cmd(proto::command::hit_count);

    pending_query mine(options, std::move(r.bytes()), hits);
    bool converse = false;
    {
        std::unique_lock lock(queries_mutex_);
        queries_.push_back(&mine);
        mine.settled.wait(lock, [&] { return mine.done || !conversing_; });
        if (!mine.done) {
            conversing_ = true;
            converse = true;
        }
    }
    if (converse) {
        run_queries(mine);
    }
    const std::int32_t count = mine.count;
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

void idxstorage::run_queries(pending_query& own) {
    std::scoped_lock connection(mutex_);
    int served = 0;
    // Queries taken from the queue and not settled yet: the one whose replies are read, and the
    // next once it is taken (its request goes out with the last hits of the one before, or by
    // itself when it is large). When the conversation breaks, each of them fails.
    std::deque<pending_query*> in_flight;
    auto take = [&] {
        pending_query* next = next_query(own, served);
        if (next != nullptr) {
            in_flight.push_back(next);
        }
        return next;
    };
    // The rest of the conversation of `q`, whose commands 7 and 8 went out; gives the next
    // query, whose request went out too.
    auto converse = [&](socket_ipc::server_proxy& server, replies& in, pending_query& q) {
        const std::int32_t reply = in.num();
        const std::int32_t n = in.num();
        q.count = reply < 0 || n < 0 ? -1 : n;
        // No hit is selected past the count: a first hit beyond it gives an empty list.
        const std::int32_t first = std::max(q.options.first, 0);
        const std::int32_t last = q.count <= 0 ? -1 : std::min(q.options.last, q.count - 1);
        pending_query* next = nullptr;
        std::int32_t batch = first;
        // Per hit, pipelined: command 10, then 12 for "guid", "url", "title", "mime", 13 for
        // "time" and "servertime", 11, and 12 for "arcid"; the replies come back in order.
        do {
            const std::int32_t batch_last = std::min(last, batch + hits_per_batch - 1);
            request h;
            for (std::int32_t p = batch; p <= batch_last; ++p) {
                h.cmd(proto::command::select_hit).num(p);
                for (const char* field : {"guid", "url", "title", "mime"}) {
                    h.cmd(proto::command::stored_text).name(field);
                }
                h.cmd(proto::command::stored_number).name("time");
                h.cmd(proto::command::stored_number).name("servertime");
                h.cmd(proto::command::hit_score);
                h.cmd(proto::command::stored_text).name("arcid");
            }
            if (batch_last >= last) {
                // The last requests of this conversation: a small next one goes with them, and
                // the server ranks it while these replies are read. Both stay far below what
                // the socket buffers hold.
                next = take();
                if (next != nullptr && next->request.size() <= max_joined_request) {
                    h.bytes() += next->request;
                    next->request.clear();
                }
            }
            if (!h.bytes().empty()) {
                send(server, h.bytes());
            }
            for (std::int32_t p = batch; p <= batch_last; ++p) {
                query_hit hit;
                // A position the server could not select gives no hit; its other replies are
                // read all the same.
                const bool selected = in.num() >= 0;
                for (std::string* field : {&hit.guid, &hit.url, &hit.title, &hit.mime}) {
                    in.num();  // the status: a field that is not stored reads as empty
                    *field = in.str();
                }
                hit.time = static_cast<std::uint32_t>(in.num());
                hit.servertime = static_cast<std::uint32_t>(in.num());
                hit.score = in.num();
                in.num();
                hit.arcid = std::atoi(in.str().c_str());
                if (selected) {
                    q.hits.push_back(std::move(hit));
                }
            }
            batch = batch_last + 1;
        } while (batch <= last);
        if (next != nullptr && !next->request.empty()) {
            send(server, next->request);
        }
        return next;
    };
    while (take() != nullptr) {
        exchange("a query", [&](socket_ipc::server_proxy& server) {
            send(server, in_flight.front()->request);
            replies in(server);
            for (pending_query* q = in_flight.front(); q != nullptr;) {
                pending_query* next = converse(server, in, *q);
                in_flight.pop_front();
                settle(*q, q->count);
                q = next;
            }
            return 0;
        });
        while (!in_flight.empty()) {
            settle(*in_flight.front(), -1);
            in_flight.pop_front();
        }
    }
    std::scoped_lock lock(queries_mutex_);
    conversing_ = false;
    if (!queries_.empty()) {
        // A query queued after the last was taken: its caller converses next.
        queries_.front()->settled.notify_one();
    }
}

idxstorage::pending_query* idxstorage::next_query(const pending_query& own, int& served) {
    std::scoped_lock lock(queries_mutex_);
    if (queries_.empty() || (own.done && served >= max_queries_per_turn)) {
        return nullptr;
    }
    pending_query* next = queries_.front();
    queries_.pop_front();
    ++served;
    return next;
}

void idxstorage::settle(pending_query& q, std::int32_t count) {
    std::scoped_lock lock(queries_mutex_);
    q.count = count;
    if (count < 0) {
        q.hits.clear();
    }
    q.done = true;
    q.settled.notify_one();
}

std::optional<std::string> idxstorage::begin_rebuild() {
    rebuilt_ = 0;
    return clear();
}

std::optional<std::string> idxstorage::rebuild_document(const indexable_document& d,
                                                        std::ostream& progress) {
    const int result = addDocument(d);
    std::uint64_t n = ++rebuilt_;
    if (n % progress_every == 0) {
        progress << "Reindexed " << n << " documents" << std::endl;
    }
    if (result < 0) {
        return "The index server refused document " + d.guid;
    }
    return std::nullopt;
}

std::optional<std::string> idxstorage::finish_rebuild(std::ostream& progress) {
    const int result = flush();
    progress << "Reindexed " << rebuilt_.load() << " documents" << std::endl;
    if (result < 0) {
        return std::string("Could not commit the rebuilt index");
    }
    return std::nullopt;
}

}  // namespace marloven
