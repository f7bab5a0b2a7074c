// index_handoff.h: changes of the index decided inside a transaction and sent to the index server
// after it has committed, outside the process-wide transaction lock, by a sender thread in the
// order of the commits; with the notes in the database that let a daemon that died in between send
// them at its next start. SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "docstorage/docstorage.h"
#include "idxstorage/idxstorage.h"
#include "util/stoppable_thread.h"

namespace marloven {

// The form in which a stored version goes to the index: its fields, its FFF blob, and the change
// marks 0 and, when its core text changed, 1.
indexable_document index_form(document_version version);

// Purpose: keeps the index in step with the stored documents without holding the process-wide
// transaction lock across index I/O (a reply may take minutes, an optimisation hours), and
// without making the thread that stored a document wait for the index. A transaction collects
// its index changes in a `batch`; after the commit the batch is posted (encoded by the posting
// thread, which then goes on) or sent (posted, then waited for). One sender thread sends posted
// batches in the order of their transactions, several together, so the index sees the changes
// in the order the database made them (a version is stored before the index hears of it, a
// version stored twice reaches the index in its later form). Each change is noted in the
// database (docstorage::notePending) by the transaction that makes it and forgotten once the
// index has it; recover() sends what a daemon that died in between left noted.
// Ownership: borrows the index client and the document store, which must outlive it; owns the
// sender thread, which the destructor stops after sending every batch that can go.
// Failure: a change the index refuses (-1) stays noted until the next start; nothing is thrown.
// Threads: thread-safe. Lock order: the transaction lock, then this object's lock; no thread
// waits for a turn or for room in the queue while it holds the transaction lock.
class index_handoff {
  public:
    // Batches posted ahead of the one the sender waits for, at most: a thread posting further
    // ahead waits, so a slow index server holds at most this many documents in memory.
    static constexpr std::int64_t max_posted_ahead = 32;
    // Requests sent together at most (a search waits for the whole group).
    static constexpr std::size_t max_group = 8;

    index_handoff(idxstorage& index, docstorage& documents);
    ~index_handoff();
    index_handoff(const index_handoff&) = delete;
    index_handoff& operator=(const index_handoff&) = delete;

    // Purpose: the index changes of one transaction. Changes are added inside the transaction
    // (the first one takes the batch's turn); post() or send() runs after the commit.
    // Ownership: owns the changes; borrows the hand-over.
    // Threads: one thread.
    class batch {
      public:
        explicit batch(index_handoff& handoff) : handoff_(handoff) {}
        // A batch that was not posted (its transaction rolled back, or the thread gave up)
        // gives its turn to the next one; its notes, if committed, wait for the next start.
        ~batch();
        batch(const batch&) = delete;
        batch& operator=(const batch&) = delete;

        // Adds (or replaces) a stored version with error 0; `mode` is the cache mode it was
        // stored with (a version stored without its FFF blob keeps it in the note).
        void add(sqlite3* db, document_version version, cache_mode mode);
        // Removes a version, or every version of an archive.
        void remove(sqlite3* db, const std::string& guid);
        void remove_archive(sqlite3* db, std::uint32_t arcid);
        // Commits the index's pending changes after the ones above.
        void flush();
        bool empty() const { return changes_.empty(); }

        // After the commit, outside the transaction lock: encodes the changes and queues them
        // for the sender; waits only while the queue is full.
        void post();
        // post(), then waits until the index has this batch and every one before it.
        void send();

      private:
        struct change {
            enum class kind { add, remove, remove_archive, flush };
            kind what = kind::flush;
            std::string key;  // the note's key; empty for a flush
            indexable_document document;
            std::uint32_t arcid = 0;
        };
        void take_turn();

        index_handoff& handoff_;
        std::vector<change> changes_;
        std::int64_t turn_ = 0;     // 0 until the first change
        bool handed_over_ = false;  // posted (or sent)
    };

    // Waits until every batch posted so far has been sent (stopping, and tests that look at the
    // index, use it).
    void drain();

    // Inside a transaction: clears the notes of changes that have reached the index (callers
    // with a transaction of their own to spare do it now and then, so that the notes stay few).
    void clear_settled(sqlite3* db);

    // At start-up, before any thread that changes documents: sends what the notes say (a noted
    // version that is stored with error 0 is added again, any other is removed; a noted archive
    // is removed), clearing each note that the index took. Runs its transactions on `db`; no
    // index I/O happens inside them. Returns how many notes it found.
    std::size_t recover(sqlite3* db);

  private:
    // The encoded changes of one batch, with the keys of their notes.
    struct posted {
        std::vector<std::string> keys;
        std::vector<index_request> requests;
    };
    std::int64_t reserve();
    // Queues the batch of `turn` (empty for one given up).
    void hand_over(std::int64_t turn, posted changes);
    void wait_sent(std::int64_t turn);
    void run(std::stop_token stop);

    idxstorage& index_;
    docstorage& documents_;

    std::mutex mutex_;
    std::condition_variable_any changed_;    // a batch was posted or sent
    std::int64_t reserved_ = 0;              // the last turn taken; guarded by mutex_
    std::int64_t sending_ = 1;               // the turn the sender waits for; guarded by mutex_
    std::int64_t last_posted_ = 0;           // the latest turn posted; guarded by mutex_
    std::map<std::int64_t, posted> posted_;  // turns posted, not yet sent; guarded by mutex_
    std::vector<std::pair<std::string, std::int64_t>>
        settled_;              // notes to clear; guarded by mutex_
    stoppable_thread sender_;  // last: it uses everything above
};

}  // namespace marloven
