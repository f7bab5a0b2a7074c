// api_fixture.h: a database with the daemon's storage set and the services record of the API
// over it, and callers of every kind (administrator, plain users with groups).
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "api/api-common.h"
#include "db/sqlite.h"
#include "storage/storage_set.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

namespace marloven {

class api_fixture : public testing::Test {
  protected:
    api_fixture() {
        transaction t(db_);
        storage_ = std::make_unique<storage_set>(db_, config_, 0, "test");
        t.commit();
        static_cast<storage_refs&>(services_) = storage_refs(*storage_);
        services_.platform_guid = "0123456789abcdef0123456789abcdef";
        services_.data_dir = dir_.str();
        services_.clock = [this] { return now_; };
    }

    // Calls an operation with a fresh result; gives the error's name, "" on success.
    template <typename... Params>
    static std::string call(void (*op)(const api_session&, api_result&, Params...),
                            const api_session& s, std::type_identity_t<Params>... args) {
        api_result r;
        op(s, r, std::forward<Params>(args)...);
        return r.failed() == r.name.empty() ? "(inconsistent result " + r.name + ")" : r.name;
    }

    api_session admin() const { return session("root", {}, true); }
    api_session user(const std::string& name, std::vector<std::string> groups = {}) const {
        return session(name, std::move(groups), false);
    }
    api_session session(const std::string& name, std::vector<std::string> groups,
                        bool is_admin) const {
        api_session s;
        s.db = db_;
        s.user = name;
        s.groups = std::move(groups);
        s.admin = is_admin;
        s.services = &services_;
        return s;
    }

    static acl_entry grant(const std::string& name, access_type access, bool deny = false) {
        return acl_entry{name, access, deny};
    }
    void set_root_acl(int id, acl_list entries) {
        ASSERT_TRUE(storage_->root_acls.set(db_, id, RootACL{std::move(entries)}));
    }

    vant_test::temp_dir dir_;
    config_file config_{dir_.write("v.conf", "LOGCFG=\nSyncLevel=0\n")};
    sqlite_connection db_ = open_database(config_, (dir_ / "vantorell.db").c_str());
    // The storage the operations use; the index client in it is never started.
    std::unique_ptr<storage_set> storage_;
    api_services services_;
    std::time_t now_ = 1700000000;
    api_result r_;  // for operations called directly
};

}  // namespace marloven
