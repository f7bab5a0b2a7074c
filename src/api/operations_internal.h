// operations_internal.h: the record operations every configuration kind shares (get, set, add,
// remove, enumerate), and the per-kind rules they consult: which records a record names (they must
// be readable) and which records name it (it may not be removed while they do). The operations
// of the kinds live in operations.cc and api-plugin.cc; each kind's rules beside its operations.
// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "api/api-common.h"
#include "api/operations.h"

namespace marloven {

template <typename Record>
bool read_record(const api_session& s, int id, Record& record, std::uint32_t& magic) {
    return s.svc().template store<Record>().get(s.db, id, record, magic);
}

template <typename Record>
bool read_record(const api_session& s, int id, Record& record) {
    std::uint32_t magic = 0;
    return read_record(s, id, record, magic);
}

// The record `id` of the kind exists and grants `wanted` to the caller.
template <typename Record>
bool record_grants(const api_session& s, int id, access_type wanted) {
    Record record;
    return read_record(s, id, record) && check_access(s, record.acl, wanted);
}

// The records a new or changed record names are readable by the caller (administrators pass; a
// missing record is refused like a forbidden one).
bool references_readable(const api_session& s, const SourceConfiguration& cfg);
bool references_readable(const api_session& s, const ArchiveConfiguration& cfg);
bool references_readable(const api_session& s, const CollectionConfiguration& cfg);
bool references_readable(const api_session& s, const WatchConfiguration& cfg);
bool references_readable(const api_session& s, const AuthConfiguration& cfg);
bool references_readable(const api_session& s, const Plugin& cfg);
bool references_readable(const api_session& s, const DocFilter& cfg);

// Whether another record names record `id` of the kind.
bool in_use(const api_session& s, const SourceConfiguration&, int id);
bool in_use(const api_session& s, const AuthConfiguration&, int id);
bool in_use(const api_session& s, const ArchiveConfiguration&, int id);
bool in_use(const api_session& s, const CollectionConfiguration&, int id);
bool in_use(const api_session& s, const WatchConfiguration&, int id);
bool in_use(const api_session& s, const Plugin&, int id);
bool in_use(const api_session& s, const DocFilter&, int id);

// Whether a record can be stored as it is; ErrorInvalidEntity when not.
template <typename Record>
bool record_is_valid(const Record&) {
    return true;
}
bool record_is_valid(const Plugin& plugin);

// Kinds whose Set also checks the records named and the new access list.
template <typename Record>
constexpr bool set_checks_references =
    std::is_same_v<Record, SourceConfiguration> || std::is_same_v<Record, ArchiveConfiguration> ||
    std::is_same_v<Record, CollectionConfiguration> || std::is_same_v<Record, Plugin> ||
    std::is_same_v<Record, DocFilter>;
// Kinds whose Add also checks the records named.
template <typename Record>
constexpr bool add_checks_references =
    std::is_same_v<Record, SourceConfiguration> || std::is_same_v<Record, DocFilter>;

// Whether some record of kind `Referrer` names `id`; the scan reads every record in ascending
// id order and stops at the first match.
template <typename Referrer, typename Names>
bool referenced(const api_session& s, Names names) {
    auto& store = s.svc().template store<Referrer>();
    for (int other : store.ids(s.db)) {
        Referrer record;
        if (store.get(s.db, other, record) && names(record)) {
            return true;
        }
    }
    return false;
}

// Records kept under a fixed id (the root access lists, the global renderer pipe): one never
// stored reads as empty with the stamp 0.
template <typename Record>
Record read_fixed(const api_session& s, int id, std::uint32_t& magic) {
    Record record;
    if (!s.svc().template store<Record>().get(s.db, id, record, magic)) {
        record = Record{};
        magic = 0;
    }
    return record;
}

// Stores a record under its fixed id when `magic` is the stored stamp (0 for none), else
// BadMagic.
template <typename Record>
void store_fixed(const api_session& s, api_result& r, int id, const Record& record,
                 std::uint32_t magic) {
    std::uint32_t stamp = 0;
    read_fixed<Record>(s, id, stamp);
    if (stamp != magic) {
        set_error(r, api_error::BadMagic);
        return;
    }
    // A record that cannot be stored is refused like a stale stamp: clients know one answer to a
    // write that did not happen.
    if (!s.svc().template store<Record>().set(s.db, id, record)) {
        set_error(r, api_error::BadMagic);
    }
}

template <typename Record>
void get_config(const api_session& s, api_result& r, int id, Record& cfg, std::uint32_t& magic) {
    reset_result(r);
    Record record;
    std::uint32_t stamp = 0;
    if (!read_record(s, id, record, stamp) || !check_access(s, record.acl, access_type::read)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    cfg = std::move(record);
    magic = stamp;
}

template <typename Record>
void set_config(const api_session& s, api_result& r, int id, const Record& cfg,
                std::uint32_t magic) {
    reset_result(r);
    Record stored;
    std::uint32_t stamp = 0;
    if (!read_record(s, id, stored, stamp) || !check_access(s, stored.acl, access_type::write)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    if (!record_is_valid(cfg)) {
        set_error(r, api_error::ErrorInvalidEntity);
        return;
    }
    if constexpr (set_checks_references<Record>) {
        if (!references_readable(s, cfg) || !check_access(s, cfg.acl, access_type::write)) {
            set_error(r, api_error::AccessViolation);
            return;
        }
    }
    if (stamp != magic) {
        set_error(r, api_error::BadMagic);
        return;
    }
    // A record that cannot be stored is refused like a stale stamp: clients know one answer to a
    // write that did not happen.
    if (!s.svc().template store<Record>().set(s.db, id, cfg)) {
        set_error(r, api_error::BadMagic);
    }
}

template <typename Record>
void add_config(const api_session& s, api_result& r, int root, const Record& cfg, int& id) {
    reset_result(r);
    id = 0;
    if (!check_access(s, root_acl(s, root), access_type::write)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    if constexpr (add_checks_references<Record>) {
        if (!references_readable(s, cfg)) {
            set_error(r, api_error::AccessViolation);
            return;
        }
    }
    if (!record_is_valid(cfg)) {
        set_error(r, api_error::ErrorInvalidEntity);
        return;
    }
    id = s.svc().template store<Record>().add(s.db, cfg);
    if (id == 0) {
        set_error(r, api_error::ErrorWritingEntity);
    }
}

template <typename Record>
void remove_config(const api_session& s, api_result& r, int id) {
    reset_result(r);
    Record stored;
    if (!read_record(s, id, stored) || !check_access(s, stored.acl, access_type::write)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    if (in_use(s, stored, id)) {
        set_error(r, api_error::InUse);
        return;
    }
    s.svc().template store<Record>().remove(s.db, id);
}

template <typename Record>
void enum_config(const api_session& s, api_result& r, std::vector<config_info<Record>>& infos) {
    reset_result(r);
    infos.clear();
    auto& store = s.svc().template store<Record>();
    for (int id : store.ids(s.db)) {
        config_info<Record> info;
        if (!store.get(s.db, id, info.configuration, info.magic) ||
            !check_access(s, info.configuration.acl, access_type::read)) {
            continue;
        }
        info.id = id;
        info.read_only = !check_access(s, info.configuration.acl, access_type::write);
        infos.push_back(std::move(info));
    }
}

}  // namespace marloven
