// operations.cc: the administration operations on configuration records, access lists, users
// and groups. The per-kind operations are one template each, specialised by the reference rules
// of the kind.
// SPDX-License-Identifier: MIT
#include "api/operations.h"

#include <algorithm>

#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "idxstorage/idxstorage.h"
#include "logstorage/logstorage.h"
#include "util/config_file.h"
#include "util/uri.h"

namespace marloven {

namespace {

constexpr const char* server_version = "2.0.2.1010";
constexpr const char* min_client_version = "2.0.0";

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

// The records a new or changed record names must be readable by the caller. Administrators
// pass; a missing record is refused like a forbidden one.
bool references_readable(const api_session& s, const SourceConfiguration& cfg) {
    if (s.admin) {
        return true;
    }
    return std::all_of(cfg.docfilters.begin(), cfg.docfilters.end(), [&](int filter) {
        return record_grants<DocFilter>(s, filter, access_type::read);
    });
}

bool references_readable(const api_session& s, const ArchiveConfiguration& cfg) {
    if (s.admin) {
        return true;
    }
    return record_grants<SourceConfiguration>(s, cfg.source_id, access_type::read) &&
           (cfg.auth_id == 0 ||
            record_grants<AuthConfiguration>(s, cfg.auth_id, access_type::read));
}

bool references_readable(const api_session& s, const CollectionConfiguration& cfg) {
    if (s.admin) {
        return true;
    }
    return std::all_of(cfg.archives.begin(), cfg.archives.end(), [&](int archive) {
        return record_grants<ArchiveConfiguration>(s, archive, access_type::read);
    });
}

bool references_readable(const api_session&, const WatchConfiguration&) {
    return true;
}
bool references_readable(const api_session&, const AuthConfiguration&) {
    return true;
}

// Kinds whose Set also checks the records named and the new access list.
template <typename Record>
constexpr bool set_checks_references =
    std::is_same_v<Record, SourceConfiguration> || std::is_same_v<Record, ArchiveConfiguration> ||
    std::is_same_v<Record, CollectionConfiguration>;

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

bool in_use(const api_session& s, const SourceConfiguration&, int id) {
    return referenced<ArchiveConfiguration>(
        s, [id](const ArchiveConfiguration& a) { return a.source_id == id; });
}
bool in_use(const api_session& s, const AuthConfiguration&, int id) {
    return referenced<ArchiveConfiguration>(
        s, [id](const ArchiveConfiguration& a) { return a.auth_id == id; });
}
bool in_use(const api_session& s, const ArchiveConfiguration&, int id) {
    return referenced<CollectionConfiguration>(s, [id](const CollectionConfiguration& c) {
        return std::find(c.archives.begin(), c.archives.end(), id) != c.archives.end();
    });
}
bool in_use(const api_session& s, const CollectionConfiguration&, int id) {
    return referenced<WatchConfiguration>(
        s, [id](const WatchConfiguration& w) { return w.collection == id; });
}
bool in_use(const api_session&, const WatchConfiguration&, int) {
    return false;
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
    if constexpr (set_checks_references<Record>) {
        if (!references_readable(s, cfg) || !check_access(s, cfg.acl, access_type::write)) {
            set_error(r, api_error::AccessViolation);
            return;
        }
    }
    // A record that cannot be stored is refused like a stale stamp: clients know one answer to a
    // write that did not happen.
    if (stamp != magic || !s.svc().template store<Record>().set(s.db, id, cfg)) {
        set_error(r, api_error::BadMagic);
    }
}

template <typename Record>
void add_config(const api_session& s, api_result& r, int root, const Record& cfg, int& id) {
    reset_result(r);
    id = 0;
    if (!check_access(s, root_acl(s, root), access_type::write) ||
        (std::is_same_v<Record, SourceConfiguration> && !references_readable(s, cfg))) {
        set_error(r, api_error::AccessViolation);
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

bool browsing_readable(const api_session& s) {
    return check_access(s, root_acl(s, root_acl_browsing), access_type::read);
}

// The login record (empty when never stored) and its storing.
LoginConfiguration read_login(const api_session& s) {
    LoginConfiguration login;
    if (!s.svc().logins->get(s.db, login_record_id, login)) {
        login = LoginConfiguration{};
    }
    return login;
}

void store_login(const api_session& s, api_result& r, const LoginConfiguration& login) {
    if (!s.svc().logins->set(s.db, login_record_id, login)) {
        set_error(r, api_error::ErrorWritingEntity);
    }
}

bool name_taken(const LoginConfiguration& login, const std::string& name) {
    return login.users.count(name) != 0 ||
           std::find(login.groups.begin(), login.groups.end(), name) != login.groups.end();
}

// Administrators, and the user whose name it is.
bool self_or_admin(const api_session& s, const std::string& name) {
    return s.admin || s.user == name;
}

// A change of the login record by a caller who is `allowed` to make it: `change` edits the
// record and says whether anything changed; only then is the record stored.
template <typename Change>
void change_login(const api_session& s, api_result& r, bool allowed, Change change) {
    reset_result(r);
    if (!allowed) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    LoginConfiguration login = read_login(s);
    if (change(login)) {
        store_login(s, r, login);
    }
}

}  // namespace

void GetSourceConfiguration(const api_session& s, api_result& r, int id, SourceConfiguration& cfg,
                            std::uint32_t& magic) {
    get_config(s, r, id, cfg, magic);
}
void GetArchiveConfiguration(const api_session& s, api_result& r, int id, ArchiveConfiguration& cfg,
                             std::uint32_t& magic) {
    get_config(s, r, id, cfg, magic);
}
void GetCollectionConfiguration(const api_session& s, api_result& r, int id,
                                CollectionConfiguration& cfg, std::uint32_t& magic) {
    get_config(s, r, id, cfg, magic);
}
void GetWatchConfiguration(const api_session& s, api_result& r, int id, WatchConfiguration& cfg,
                           std::uint32_t& magic) {
    get_config(s, r, id, cfg, magic);
}
void GetAuthConfiguration(const api_session& s, api_result& r, int id, AuthConfiguration& cfg,
                          std::uint32_t& magic) {
    get_config(s, r, id, cfg, magic);
}

void SetSourceConfiguration(const api_session& s, api_result& r, int id,
                            const SourceConfiguration& cfg, std::uint32_t magic) {
    set_config(s, r, id, cfg, magic);
}
void SetArchiveConfiguration(const api_session& s, api_result& r, int id,
                             const ArchiveConfiguration& cfg, std::uint32_t magic) {
    set_config(s, r, id, cfg, magic);
}
void SetCollectionConfiguration(const api_session& s, api_result& r, int id,
                                const CollectionConfiguration& cfg, std::uint32_t magic) {
    set_config(s, r, id, cfg, magic);
}
void SetWatchConfiguration(const api_session& s, api_result& r, int id,
                           const WatchConfiguration& cfg, std::uint32_t magic) {
    set_config(s, r, id, cfg, magic);
}
void SetAuthConfiguration(const api_session& s, api_result& r, int id, const AuthConfiguration& cfg,
                          std::uint32_t magic) {
    set_config(s, r, id, cfg, magic);
}

void AddSource(const api_session& s, api_result& r, const SourceConfiguration& cfg, int& id) {
    add_config(s, r, root_acl_crawling, cfg, id);
}
void AddArchive(const api_session& s, api_result& r, const ArchiveConfiguration& cfg, int& id) {
    add_config(s, r, root_acl_crawling, cfg, id);
}
void AddAuth(const api_session& s, api_result& r, const AuthConfiguration& cfg, int& id) {
    add_config(s, r, root_acl_crawling, cfg, id);
}
void AddCollection(const api_session& s, api_result& r, const CollectionConfiguration& cfg,
                   int& id) {
    add_config(s, r, root_acl_browsing, cfg, id);
}
void AddWatch(const api_session& s, api_result& r, const WatchConfiguration& cfg, int& id) {
    add_config(s, r, root_acl_browsing, cfg, id);
}

void RemoveSource(const api_session& s, api_result& r, int id) {
    remove_config<SourceConfiguration>(s, r, id);
}
void RemoveArchive(const api_session& s, api_result& r, int id) {
    remove_config<ArchiveConfiguration>(s, r, id);
    if (r.failed()) {
        return;
    }
    // A deleted archive leaves nothing behind: its queue, stored documents, logs and index
    // entries go with it (a later archive never inherits them, since ids are not reused).
    const auto arcid = static_cast<std::uint32_t>(id);
    if (s.svc().queue != nullptr) {
        s.svc().queue->clear(s.db, arcid);
    }
    if (s.svc().documents != nullptr) {
        s.svc().documents->clearArchive(s.db, arcid);
    }
    if (s.svc().logs != nullptr) {
        s.svc().logs->clearArchive(s.db, arcid);
    }
    if (s.svc().index != nullptr) {
        s.svc().index->removeArchive(arcid);
    }
}
void RemoveAuth(const api_session& s, api_result& r, int id) {
    remove_config<AuthConfiguration>(s, r, id);
}
void RemoveCollection(const api_session& s, api_result& r, int id) {
    remove_config<CollectionConfiguration>(s, r, id);
}
void RemoveWatch(const api_session& s, api_result& r, int id) {
    remove_config<WatchConfiguration>(s, r, id);
}

void EnumSourceConfigurations(const api_session& s, api_result& r,
                              std::vector<config_info<SourceConfiguration>>& infos) {
    enum_config(s, r, infos);
}
void EnumArchiveConfigurations(const api_session& s, api_result& r,
                               std::vector<config_info<ArchiveConfiguration>>& infos) {
    enum_config(s, r, infos);
}
void EnumCollectionConfigurations(const api_session& s, api_result& r,
                                  std::vector<config_info<CollectionConfiguration>>& infos) {
    enum_config(s, r, infos);
}
void EnumWatchConfigurations(const api_session& s, api_result& r,
                             std::vector<config_info<WatchConfiguration>>& infos) {
    enum_config(s, r, infos);
}

void GetRootACL(const api_session& s, api_result& r, int id, acl_list& acl, std::uint32_t& magic) {
    reset_result(r);
    if (!s.admin) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    RootACL record;
    std::uint32_t stamp = 0;
    if (!s.svc().root_acls->get(s.db, id, record, stamp)) {
        record = RootACL{};
        stamp = 0;
    }
    acl = std::move(record.entries);
    magic = stamp;
}

void SetRootACL(const api_session& s, api_result& r, int id, const acl_list& acl,
                std::uint32_t magic) {
    reset_result(r);
    if (!s.admin) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    RootACL stored;
    std::uint32_t stamp = 0;
    if (!s.svc().root_acls->get(s.db, id, stored, stamp)) {
        stamp = 0;
    }
    RootACL record;
    record.entries = acl;
    if (stamp != magic || !s.svc().root_acls->set(s.db, id, record)) {
        set_error(r, api_error::BadMagic);
    }
}

void AddUser(const api_session& s, api_result& r, const std::string& name,
             const std::string& password, bool admin, const std::vector<std::string>& groups) {
    change_login(s, r, s.admin, [&](LoginConfiguration& login) {
        if (name_taken(login, name)) {
            return false;
        }
        login.users[name] = {name, md5_hex(password), admin,
                             std::set<std::string>(groups.begin(), groups.end())};
        return true;
    });
}

void RemoveUser(const api_session& s, api_result& r, const std::string& name) {
    change_login(s, r, s.admin,
                 [&](LoginConfiguration& login) { return login.users.erase(name) != 0; });
}

void GetUserData(const api_session& s, api_result& r, const std::string& name, bool& admin,
                 std::vector<std::string>& groups) {
    reset_result(r);
    if (!self_or_admin(s, name)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    LoginConfiguration login = read_login(s);
    auto it = login.users.find(name);
    admin = false;
    groups.clear();
    if (it != login.users.end()) {
        admin = it->second.admin;
        groups.assign(it->second.groups.begin(), it->second.groups.end());
    }
}

void SetUserData(const api_session& s, api_result& r, const std::string& name, bool admin,
                 const std::vector<std::string>& groups) {
    change_login(s, r, s.admin, [&](LoginConfiguration& login) {
        auto it = login.users.find(name);
        if (it == login.users.end()) {
            return false;
        }
        it->second.admin = admin;
        it->second.groups = std::set<std::string>(groups.begin(), groups.end());
        return true;
    });
}

void SetUserPassword(const api_session& s, api_result& r, const std::string& name,
                     const std::string& password) {
    change_login(s, r, self_or_admin(s, name), [&](LoginConfiguration& login) {
        auto it = login.users.find(name);
        if (it == login.users.end()) {
            return false;
        }
        it->second.password_hash = md5_hex(password);
        return true;
    });
}

void AddGroup(const api_session& s, api_result& r, const std::string& name) {
    change_login(s, r, s.admin, [&](LoginConfiguration& login) {
        if (name_taken(login, name)) {
            return false;
        }
        login.groups.push_back(name);
        return true;
    });
}

void RemoveGroup(const api_session& s, api_result& r, const std::string& name) {
    change_login(s, r, s.admin, [&](LoginConfiguration& login) {
        auto it = std::find(login.groups.begin(), login.groups.end(), name);
        if (it == login.groups.end()) {
            return false;
        }
        login.groups.erase(it);
        return true;
    });
}

void EnumUsersAndGroups(const api_session& s, api_result& r, std::vector<std::string>& users,
                        std::vector<std::string>& builtin_users, std::vector<std::string>& groups,
                        std::vector<std::string>& builtin_groups) {
    reset_result(r);
    if (!browsing_readable(s)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    LoginConfiguration login = read_login(s);
    users.clear();
    for (const auto& entry : login.users) {
        users.push_back(entry.first);
    }
    builtin_users.clear();
    // The administrator's name is read afresh, as authentication reads it.
    std::string administrator;
    if (config_file().get(keys::HTTP_USER.name, administrator) && !administrator.empty()) {
        builtin_users.push_back(administrator);
    }
    builtin_users.emplace_back(anonymous_user);
    groups = login.groups;
    builtin_groups = {all_users_group};
}

void GetVersion(const api_session& s, api_result& r, std::string& version) {
    reset_result(r);
    if (!browsing_readable(s)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    version = server_version;
}

void GetMinClientVersion(const api_session& s, api_result& r, std::string& version) {
    reset_result(r);
    if (!browsing_readable(s)) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    version = min_client_version;
}

void GetCapabilities(const api_session& s, api_result& r, bool& historicize, bool& admin,
                     bool& browsing_write, bool& crawling_write) {
    reset_result(r);
    historicize = true;
    admin = s.admin;
    browsing_write = check_access(s, root_acl(s, root_acl_browsing), access_type::write);
    crawling_write = check_access(s, root_acl(s, root_acl_crawling), access_type::write);
}

void NormalizeURL(const api_session&, api_result& r, const std::string& url,
                  std::string& normalized) {
    reset_result(r);
    normalized = normalise_url(url);
}

}  // namespace marloven
