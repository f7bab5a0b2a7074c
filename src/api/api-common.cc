// api-common.cc: access checks, digests and the call transaction of the API.
// SPDX-License-Identifier: MIT
#include "api/api-common.h"

#include <algorithm>

#include "db/sqlite.h"
#include "util/log.h"

namespace marloven {

namespace {
// The printed source path of this file's fatal messages.
constexpr const char* api_common_path = "src\\api\\api-common";
}  // namespace

bool check_access(const std::string& user, const std::vector<std::string>& groups,
                  const acl_list& acl, access_type wanted) {
    auto is_principal = [&](const std::string& name) {
        return name == user || name == all_users_group ||
               std::find(groups.begin(), groups.end(), name) != groups.end();
    };
    bool granted = false;
    for (const acl_entry& e : acl) {
        if (e.access != wanted || !is_principal(e.name)) {
            continue;
        }
        if (e.deny) {
            return false;
        }
        granted = true;
    }
    return granted;
}

bool check_access(const api_session& session, const acl_list& acl, access_type wanted) {
    return session.admin || check_access(session.user, session.groups, acl, wanted);
}

acl_list root_acl(const api_session& session, int id) {
    RootACL record;
    if (!session.svc().root_acls->get(session.db, id, record)) {
        return {};
    }
    return record.entries;
}

api_transaction::api_transaction(sqlite3* db) : db_(db) {
    int rc = begin_transaction(db_);
    if (rc != SQLITE_OK) {
        sql_site::fixed(api_common_path, __LINE__).fail(db_, rc);
    }
}

api_transaction::~api_transaction() {
    int rc = commit_transaction(db_);
    if (rc != SQLITE_OK) {
        sql_site::fixed(api_common_path, __LINE__).fail(db_, rc);
    }
}

void outside_transaction(sqlite3* db, const std::function<void()>& work) {
    if (sqlite3_get_autocommit(db) != 0) {
        work();
        return;
    }
    int rc = commit_transaction(db);
    if (rc != SQLITE_OK) {
        sql_site::fixed(api_common_path, __LINE__).fail(db, rc);
    }
    work();
    rc = begin_transaction(db);
    if (rc != SQLITE_OK) {
        sql_site::fixed(api_common_path, __LINE__).fail(db, rc);
    }
}

}  // namespace marloven
