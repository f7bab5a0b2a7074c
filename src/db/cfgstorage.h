// cfgstorage.h: the configuration store: every configuration record as its XML text in the
// cfgstorage table, keyed by kind and id, with a per-kind counter (cfgcounter) handing out ids.
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

// The kind-independent part of a store (database work on XML texts); see cfgstorage below.
class cfgstorage_base {
  public:
    const std::string& kind() const { return kind_; }
    // Every id of the kind, ascending.
    std::vector<int> ids(sqlite3* db) const;
    // Deletes the record; true when exactly one row went.
    bool remove(sqlite3* db, int id);

    // The stored text of a record, and its stamp: the CRC-32 of the text's bytes.
    bool get_text(sqlite3* db, int id, std::string& xml, std::uint32_t& magic) const;
    // Stores `xml` under the next id (counter + 1) and returns that id.
    int add_text(sqlite3* db, const std::string& xml);
    // Stores `xml` under `id`, replacing a record there, and raises the counter to `id`.
    void set_text(sqlite3* db, int id, const std::string& xml);

  protected:
    // Creates the tables and this kind's counter when they are missing.
    cfgstorage_base(sqlite3* db, std::string kind);

  private:
    const std::string kind_;
};

// Purpose: the records of one kind (Record::kind, e.g. "SourceConfiguration"), stored as the texts
// that `to_xml(const Record&, std::string&)` writes and `from_xml(std::string_view, Record&)`
// reads. Ids are 1, 2, 3, ... in order of `add`; the counter only grows, so a removed id is never
// handed out again, and `set` raises it so that `add` never hands out an id that `set` stored.
// Ownership: holds no connection; every call borrows the calling thread's.
// Failure: database errors are fatal (printed path "hdr\marloven/cfgstorage"); a record that
// does not parse reads as missing; one that cannot be written makes add/set fail, writing nothing.
// Threads: the object is immutable; callers that change several rows wrap them in a transaction.
template <typename Record>
class cfgstorage : public cfgstorage_base {
  public:
    // Creates the tables and the kind's counter when missing. Call it inside a transaction (as
    // start-up does): its first statements test whether the tables exist.
    explicit cfgstorage(sqlite3* db) : cfgstorage_base(db, Record::kind) {}

    // Reads the record and its `magic` stamp (the CRC-32 of the stored text, which changes
    // whenever the text does). False when there is no such id or its text does not parse.
    bool get(sqlite3* db, int id, Record& record, std::uint32_t& magic) const {
        std::string xml;
        return get_text(db, id, xml, magic) && from_xml(xml, record);
    }
    bool get(sqlite3* db, int id, Record& record) const {
        std::uint32_t magic = 0;
        return get(db, id, record, magic);
    }
    // Stores the record under a new id and returns it; 0 (nothing stored) when it cannot be
    // written as XML.
    int add(sqlite3* db, const Record& record) {
        std::string xml;
        return to_xml(record, xml) ? add_text(db, xml) : 0;
    }
    // Stores the record under `id`, creating or replacing it; false (nothing stored) when it
    // cannot be written as XML.
    bool set(sqlite3* db, int id, const Record& record) {
        std::string xml;
        if (!to_xml(record, xml)) {
            return false;
        }
        set_text(db, id, xml);
        return true;
    }
};

}  // namespace marloven
