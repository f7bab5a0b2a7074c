// idxstorage.h: the index storage client: starts the index server (idxserv), feeds it documents,
// removes them, flushes and optimises the index, and runs queries whose hits it completes with
// contexts read from the stored documents. One client serves the whole daemon.
// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace socket_ipc {
class server_proxy;
}

namespace marloven {

class config_file;

// Query atoms, in postfix order; the numbers are those of the API.
enum class query_atom_type : int {
    ATOM_WORD = 0,
    ATOM_NOT = 1,
    ATOM_AND = 2,
    ATOM_OR = 3,
    ATOM_NEAR = 4,
    ATOM_META = 5,
};

// `param`: the word, or an operator's operand count. `meta`: the key of a META atom; for a NEAR
// atom, "PHRASE" asks for the words adjacent and in order, a number for the window in word
// positions (empty: the server's default window, any order).
struct query_atom {
    query_atom_type type = query_atom_type::ATOM_WORD;
    std::string param;
    std::string meta;
};

enum class query_sort : int {
    SORT_STANDARD = 0,
    SORT_RELEVANCE = 1,
    SORT_SCORE = 2,
    SORT_TIME_NEWER = 3,
    SORT_TIME_OLDER = 4,
};

enum class query_info : int { INFO_NONE = 0, INFO_URL = 1, INFO_TITLE = 2, INFO_CONTEXT = 3 };

// A slice (1 to 31, 0 for every slice not named otherwise) and its weight in hundredths of the
// weight of normal body text; see idxstorage/index_protocol.h.
struct slice_weight {
    std::int32_t slice = 0;
    std::int32_t weight = 0;
};

struct query_options {
    std::vector<query_atom> atoms;
    std::vector<std::int32_t> archives;  // empty: every archive
    std::vector<std::int32_t> views;     // empty: every document; 1: core text changed
    query_sort sort = query_sort::SORT_STANDARD;
    std::uint32_t min_time = 0;  // seconds since 1970; 0: none
    std::uint32_t max_time = 0;
    std::uint32_t min_score = 0;  // millionths; 0: none
    std::int32_t first = 0;       // positions of the first and the last hit wanted
    std::int32_t last = 9;
    query_info info = query_info::INFO_TITLE;
    std::vector<slice_weight> weights;
};

struct query_hit {
    std::string guid;
    std::string url;
    std::string title;
    std::string mime;
    std::vector<std::string> contexts;  // only with INFO_CONTEXT
    std::uint32_t time = 0;
    std::uint32_t servertime = 0;
    std::int32_t score = 0;  // relevance in millionths
    std::int32_t arcid = 0;
};

// Where the contexts of hits come from: the stored FFF blob of a document version.
class document_source {
  public:
    virtual ~document_source() = default;
    // The FFF blob of `guid`, or nothing when the document is not stored.
    virtual std::optional<std::string> fff(const std::string& guid) = 0;
};

// A stored document as it is handed to the index.
struct indexable_document {
    std::string guid;
    std::uint32_t arcid = 0;
    std::string url;
    std::string mime;
    std::uint32_t timestamp = 0;   // fetch time, seconds since 1970
    std::uint32_t servertime = 0;  // the server's modification time
    std::uint32_t score = 1000000;
    std::vector<int> views = {0};  // change marks: 0 always, 1 when the core text changed
    std::string fff;               // the FFF blob
};

// One change of the index encoded for the server: encoding (the FFF tree walk of an addition)
// costs CPU but needs no lock, so callers encode before they queue and idxstorage::send_all() sends
// several changes in one round trip.
struct index_request {
    std::string bytes;     // the commands, in the wire form
    int replies = 0;       // one reply per command
    int changes = 0;       // how many changes it counts toward the next automatic flush
    bool commits = false;  // it ends with a commit, so nothing is left to flush after it
    bool refused = false;  // it breaks a limit of the server (logged) and is never sent
};

// Purpose: the daemon's one connection to the index server, and everything sent over it.
// Ownership: owns the server process and its connection; borrows the configuration only while
// starting. The destructor stops the server.
// Failure: every operation reports failure as -1 (or nothing) and logs it; no operation throws.
// A request that would break a limit of the server (index_protocol.h) is never sent: queries are
// refused, a full text beyond the limit is cut after its last whole token that fits.
// A broken connection (the server crashed or was killed) or a server silent for longer than the
// reply timeout is logged, the server is restarted on the same index, and the failed request
// reports -1; nothing waits on a dead server.
// Threads: thread-safe: one lock covers every exchange and a whole query conversation. Queries
// that arrive while the connection is busy wait in a queue; the caller that holds the connection
// runs their conversations after its own, each whole and one after another, sending a waiting
// query's first requests with the last of the one before, and wakes each caller when its hits
// are in. Lock order: the connection's lock, then the queue's.
class idxstorage {
  public:
    // Changes (additions and removals) after which the client flushes by itself.
    static constexpr int flush_every = 20;
    // A progress line is printed every this many documents during a rebuild.
    static constexpr std::uint64_t progress_every = 5000;
    // The most hits one query returns (positions first to last), and the highest first position
    // it may ask for. A query holds the client's lock, and so every crawl thread that feeds the
    // index, for as long as its hits take; deep positions cost the server a ranking of every hit
    // before them.
    static constexpr std::int32_t max_hits_per_query = 1000;
    static constexpr std::int32_t max_first_hit = 10000;

    // The index lives in `index_dir`; by default "index" below the working directory, which is
    // DATADIR in the daemon.
    explicit idxstorage(const config_file& config, std::string index_dir = {});
    ~idxstorage();
    idxstorage(const idxstorage&) = delete;
    idxstorage& operator=(const idxstorage&) = delete;

    // Starts the server and connects; false (logged) when it could not be started. Requests
    // made without a server try to start it again, at most once every few seconds.
    bool start();
    // Sends command 0 and waits for the server to end.
    void stop();
    // Stops the server, deletes the index and starts a server on an empty one (/reset, /reindex).
    // Like the other maintenance steps below, returns the failure message, or nothing.
    std::optional<std::string> clear();

    int addDocument(const std::string& guid, std::uint32_t arcid, const std::string& url,
                    const std::string& mime, std::uint32_t timestamp, std::uint32_t servertime,
                    std::uint32_t score, const std::vector<int>& views, const std::string& fff);
    int addDocument(const indexable_document& d) { return send_one(add_request(d)); }
    int removeDocument(const std::string& guid) { return send_one(removal_request(guid)); }
    int removeArchive(std::uint32_t arcid) { return send_one(archive_removal_request(arcid)); }
    int flush() { return send_one(flush_request()); }

    // The changes above encoded, to be sent later, several at once. An addition replaces an
    // older copy of the same version; an archive's removal commits before and after.
    static index_request add_request(const indexable_document& d);
    static index_request removal_request(const std::string& guid);
    static index_request archive_removal_request(std::uint32_t arcid);
    static index_request flush_request();
    // Sends `requests` in their order with one write and then reads all their replies (with a
    // commit after every flush_every changes, as the single calls make it). Returns one result
    // per request: 0, or -1 when it was refused, the server refused any of its commands, or the
    // connection broke (then every request of the group reports -1, as none is known to have
    // been kept). Queries wait while a group is on the connection: keep groups small.
    std::vector<int> send_all(const std::vector<const index_request*>& requests);
    int optimise();
    // The stored text of `field` of the hit selected last, or nothing.
    std::optional<std::string> storedText(const std::string& field);

    // Why `options` may not be sent to the server, or nothing: a count or length beyond the
    // server's limits (too many terms or slice weights, a string too long) or hit positions
    // beyond the two caps above. Callers refuse such a query as a bad one.
    static std::optional<std::string> query_refusal(const query_options& options);
    // Runs a query: returns the number of hits (or -1) and fills `hits` with those from
    // options.first to options.last. Contexts (INFO_CONTEXT) are read through `documents`. A
    // query that query_refusal() refuses is logged and gives -1 without reaching the server.
    std::int32_t query(const query_options& options, document_source* documents,
                       std::vector<query_hit>& hits);

    // Rebuilding the index from stored documents: begin_rebuild() clears the index, each
    // stored good document goes through rebuild_document(), finish_rebuild() flushes. A line
    // "Reindexed N documents" goes to `progress` every progress_every documents and at the end.
    // Each returns the failure message, or nothing.
    std::optional<std::string> begin_rebuild();
    std::optional<std::string> rebuild_document(const indexable_document& d,
                                                std::ostream& progress);
    std::optional<std::string> finish_rebuild(std::ostream& progress);

    // How long one reply may take before the server counts as hung (the optimisation gets
    // sixty times as long).
    void set_reply_timeout(std::chrono::seconds timeout);
    // The server's process id (0 when none runs).
    int server_pid();

  private:
    struct pending_query;
    // Holds the connection and converses for the queued queries, `own` among them, until the
    // queue is empty or `own` is done and a turn's share has been served.
    void run_queries(pending_query& own);
    // The next queued query for the turn of `own`, or nothing.
    pending_query* next_query(const pending_query& own, int& served);
    // Hands `q` its hit count (-1: failed) and wakes its caller.
    void settle(pending_query& q, std::int32_t count);

    // The helpers below run with mutex_ held.
    template <typename F>
    int exchange(const char* what, F&& body);
    bool connected();
    bool start_locked();
    void stop_locked();
    void set_timeout(std::chrono::seconds timeout);
    int send_one(const index_request& request) { return send_all({&request}).front(); }

    const std::unique_ptr<config_file> config_;  // a copy: the server proxy borrows it
    const std::string index_dir_;
    std::map<std::string, std::string> environment_;  // added to the server's environment
    std::atomic<std::uint64_t> rebuilt_{0};

    std::mutex mutex_;
    std::unique_ptr<socket_ipc::server_proxy> server_;  // guarded by mutex_
    int changes_ = 0;                                   // guarded by mutex_
    bool answered_ = false;  // the running server has answered a request; guarded by mutex_
    std::optional<std::chrono::steady_clock::time_point> last_start_;  // guarded by mutex_
    std::chrono::seconds reply_timeout_{120};                          // guarded by mutex_

    std::mutex queries_mutex_;
    std::deque<pending_query*> queries_;  // waiting for the connection; guarded by queries_mutex_
    bool conversing_ = false;  // a caller runs queries on the connection; guarded by queries_mutex_
};

}  // namespace marloven
