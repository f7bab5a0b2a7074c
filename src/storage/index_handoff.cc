// index_handoff.cc: index changes sent after their commit, in commit order, and their notes.
// SPDX-License-Identifier: MIT
#include "storage/index_handoff.h"

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
    : index_(index), documents_(documents) {}

index_handoff::batch::~batch() {
    if (turn_ != 0 && !sent_) {
        handoff_.done(turn_, {});
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

void index_handoff::batch::send() {
    if (turn_ == 0 || sent_) {
        return;
    }
    handoff_.wait_for(turn_);
    std::vector<std::pair<std::string, std::int64_t>> settled;
    idxstorage& index = handoff_.index_;
    for (const change& c : changes_) {
        int result = 0;
        switch (c.what) {
            case change::kind::add:
                result = index.addDocument(c.document);
                break;
            case change::kind::remove:
                result = index.removeDocument(c.key);
                break;
            case change::kind::remove_archive:
                result = index.removeArchive(c.arcid);
                break;
            case change::kind::flush:
                result = index.flush();
                break;
        }
        if (!c.key.empty() && result >= 0) {
            settled.emplace_back(c.key, turn_);
        }
    }
    sent_ = true;
    handoff_.done(turn_, std::move(settled));
}

std::int64_t index_handoff::reserve() {
    std::scoped_lock lock(mutex_);
    return ++reserved_;
}

void index_handoff::wait_for(std::int64_t turn) {
    std::unique_lock lock(mutex_);
    next_.wait(lock, [&] { return sending_ == turn; });
}

void index_handoff::done(std::int64_t turn,
                         std::vector<std::pair<std::string, std::int64_t>> settled) {
    std::scoped_lock lock(mutex_);
    settled_.insert(settled_.end(), std::make_move_iterator(settled.begin()),
                    std::make_move_iterator(settled.end()));
    if (turn != sending_) {
        finished_early_.insert(turn);  // given up before its turn came
        return;
    }
    ++sending_;
    while (finished_early_.erase(sending_) > 0) {
        ++sending_;
    }
    next_.notify_all();
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
