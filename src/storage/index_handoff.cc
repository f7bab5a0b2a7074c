// index_handoff.cc: index changes sent after their commit, in commit order, and their notes.
// SPDX-License-Identifier: MIT
#include "storage/index_handoff.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "db/sqlite.h"
#include "util/crawl_error.h"

namespace marloven {

namespace {

// The note of an archive's removal: no guid has this form (guids are hexadecimal digits).
constexpr std::string_view archive_key_prefix = "arcid:";

std::string archive_key(std::uint32_t arcid) {
    return std::string(archive_key_prefix) + std::to_string(arcid);
}

std::optional<std::uint32_t> archive_of_key(std::string_view key) {
    if (!key.starts_with(archive_key_prefix)) {
        return std::nullopt;
    }
    key.remove_prefix(archive_key_prefix.size());
    std::uint32_t arcid = 0;
    auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), arcid);
    if (ec != std::errc() || end != key.data() + key.size()) {
        return std::nullopt;
    }
    return arcid;
}

std::uint32_t to_u32(std::int64_t seconds) {
    return seconds < 0 || seconds > static_cast<std::int64_t>(UINT32_MAX)
               ? 0
               : static_cast<std::uint32_t>(seconds);
}

}  // namespace

indexable_document index_form(document_version version) {
    indexable_document d;
    d.guid = std::move(version.guid);
    d.arcid = version.arcid;
    d.url = std::move(version.url);
    d.mime = std::move(version.mime);
    d.timestamp = to_u32(version.timestamp);
    d.servertime = to_u32(version.servertime);
    d.score = version.score;
    d.views = version.corechanged ? std::vector<int>{0, 1} : std::vector<int>{0};
    d.fff = std::move(version.fff);
    return d;
}

index_handoff::index_handoff(idxstorage& index, docstorage& documents)
    : index_(index), documents_(documents), sender_("Index hand-over thread") {
    sender_.start([this](std::stop_token stop) { run(stop); });
}

index_handoff::~index_handoff() {
    sender_.request_stop();
    sender_.join();
}

index_handoff::batch::~batch() {
    if (turn_ != 0 && !handed_over_) {
        handoff_.hand_over(turn_, {});
    }
}

void index_handoff::batch::take_turn() {
    if (turn_ == 0) {
        turn_ = handoff_.reserve();
    }
}

void index_handoff::batch::add(sqlite3* db, document_version version, cache_mode mode) {
    take_turn();
    handoff_.documents_.notePending(db, version.guid, turn_,
                                    mode == cache_mode::none ? version.fff : std::string_view());
    std::string key = version.guid;
    changes_.push_back({change::kind::add, std::move(key), index_form(std::move(version)), 0});
}

void index_handoff::batch::remove(sqlite3* db, const std::string& guid) {
    take_turn();
    handoff_.documents_.notePending(db, guid, turn_);
    changes_.push_back({change::kind::remove, guid, {}, 0});
}

void index_handoff::batch::remove_archive(sqlite3* db, std::uint32_t arcid) {
    take_turn();
    std::string key = archive_key(arcid);
    handoff_.documents_.notePending(db, key, turn_);
    changes_.push_back({change::kind::remove_archive, std::move(key), {}, arcid});
}

void index_handoff::batch::flush() {
    take_turn();
    changes_.push_back({change::kind::flush, {}, {}, 0});
}

void index_handoff::batch::post() {
    if (turn_ == 0 || handed_over_) {
        return;
    }
    posted p;
    for (change& c : changes_) {
        switch (c.what) {
            case change::kind::add:
                p.requests.push_back(idxstorage::add_request(c.document));
                break;
            case change::kind::remove:
                p.requests.push_back(idxstorage::removal_request(c.key));
                break;
            case change::kind::remove_archive:
                p.requests.push_back(idxstorage::archive_removal_request(c.arcid));
                break;
            case change::kind::flush:
                p.requests.push_back(idxstorage::flush_request());
                break;
        }
        p.keys.push_back(std::move(c.key));
    }
    changes_.clear();
    handed_over_ = true;
    handoff_.hand_over(turn_, std::move(p));
}

void index_handoff::batch::send() {
    post();
    if (turn_ != 0) {
        handoff_.wait_sent(turn_);
    }
}

std::int64_t index_handoff::reserve() {
    std::scoped_lock lock(mutex_);
    return ++reserved_;
}

void index_handoff::hand_over(std::int64_t turn, posted changes) {
    std::unique_lock lock(mutex_);
    // A batch given up holds nothing, and the sender may be waiting for it: it never waits.
    if (!changes.requests.empty()) {
        changed_.wait(lock, [&] { return turn < sending_ + max_posted_ahead; });
    }
    posted_.emplace(turn, std::move(changes));
    last_posted_ = std::max(last_posted_, turn);
    changed_.notify_all();
}

void index_handoff::wait_sent(std::int64_t turn) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return sending_ > turn; });
}

void index_handoff::drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return sending_ > last_posted_; });
}

void index_handoff::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (true) {
        // Stopping, it still sends what can go: the batches before a gap wait for the next start.
        changed_.wait(lock, stop, [&] { return posted_.contains(sending_); });
        if (!posted_.contains(sending_)) {
            return;
        }
        // The batches that follow one another from sending_ on, up to a group's worth.
        std::vector<std::pair<std::int64_t, posted>> group;
        std::size_t requests = 0;
        for (auto it = posted_.find(sending_); it != posted_.end();) {
            const bool next = it->first == sending_ + static_cast<std::int64_t>(group.size());
            if (!next || (!group.empty() && requests + it->second.requests.size() > max_group)) {
                break;
            }
            requests += it->second.requests.size();
            group.emplace_back(it->first, std::move(it->second));
            it = posted_.erase(it);
        }
        lock.unlock();
        std::vector<const index_request*> out;
        for (const auto& [turn, p] : group) {
            for (const index_request& r : p.requests) {
                out.push_back(&r);
            }
        }
        std::vector<int> results = out.empty() ? std::vector<int>{} : index_.send_all(out);
        std::vector<std::pair<std::string, std::int64_t>> settled;
        std::size_t i = 0;
        for (auto& [turn, p] : group) {
            for (std::string& key : p.keys) {
                if (!key.empty() && results[i] >= 0) {
                    settled.emplace_back(std::move(key), turn);
                }
                ++i;
            }
        }
        lock.lock();
        settled_.insert(settled_.end(), std::make_move_iterator(settled.begin()),
                        std::make_move_iterator(settled.end()));
        sending_ += static_cast<std::int64_t>(group.size());
        changed_.notify_all();
    }
}

void index_handoff::clear_settled(sqlite3* db) {
    std::vector<std::pair<std::string, std::int64_t>> settled;
    {
        std::scoped_lock lock(mutex_);
        settled.swap(settled_);
    }
    for (const auto& [key, seq] : settled) {
        documents_.clearPending(db, key, seq);
    }
}

std::size_t index_handoff::recover(sqlite3* db) {
    std::vector<pending_index_change> notes;
    {
        transaction t(db);
        notes = documents_.pending(db);
        t.commit();
    }
    std::vector<const pending_index_change*> taken;
    for (const pending_index_change& note : notes) {
        int result = 0;
        if (auto arcid = archive_of_key(note.key)) {
            result = index_.removeArchive(*arcid);
        } else {
            document_version version;
            read_status status = read_status::missing;
            {
                transaction t(db);
                status = documents_.get(db, note.key, version);
                t.commit();
            }
            if (status != read_status::missing &&
                version.error == static_cast<int>(crawl_error::none)) {
                if (version.fff.empty()) {
                    version.fff = note.fff;  // a version stored without its FFF blob
                }
                result = index_.addDocument(index_form(std::move(version)));
            } else {
                result = index_.removeDocument(note.key);
            }
        }
        if (result >= 0) {
            taken.push_back(&note);
        }
    }
    if (!notes.empty()) {
        index_.flush();
    }
    transaction t(db);
    for (const pending_index_change* note : taken) {
        documents_.clearPending(db, note->key, note->seq);
    }
    t.commit();
    return notes.size();
}

}  // namespace marloven
