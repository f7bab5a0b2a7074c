// operations.cc: the administration operations on configuration records, access lists, users
// and groups. The per-kind operations are one template each, specialised by the reference rules
// of the kind.
// SPDX-License-Identifier: MIT
#include "api/operations.h"

#include <algorithm>

#include "api/operations_internal.h"
#include "docstorage/docstorage.h"
#include "fetchqueue/fetchqueue.h"
#include "logstorage/logstorage.h"
#include "storage/index_handoff.h"
#include "util/config_file.h"
#include "util/md5.h"
#include "util/uri.h"

namespace marloven {

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

namespace {

constexpr const char* server_version = "2.0.2.1010";
constexpr const char* min_client_version = "2.0.0";

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
    if (s.svc().index_changes != nullptr) {
        // The index hears of it after the commit, outside the transaction lock.
        index_handoff::batch changes(*s.svc().index_changes);
        changes.remove_archive(s.db, arcid);
        outside_transaction(s.db, [&] { changes.send(); });
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
    acl = read_fixed<RootACL>(s, id, magic).entries;
}

void SetRootACL(const api_session& s, api_result& r, int id, const acl_list& acl,
                std::uint32_t magic) {
    reset_result(r);
    if (!s.admin) {
        set_error(r, api_error::AccessViolation);
        return;
    }
    RootACL record;
    record.entries = acl;
    store_fixed(s, r, id, record, magic);
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
