// api_fixture.h: a database with the ten configuration stores and the services record of the
// API over it, and callers of every kind (administrator, plain users with groups).
// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "api/api-common.h"
#include "db/sqlite.h"
#include "support/temp_dir.h"
#include "util/config_file.h"

namespace marloven {

class api_fixture : public testing::Test {
  protected:
    api_fixture() {
        config_file cfg(dir_.write("v.conf", "LOGCFG=\nSyncLevel=0\n"));
        db_ = open_database(cfg, (dir_ / "vantorell.db").c_str());
        transaction t(db_);
        sources_ = lend(services_.sources);
        archives_ = lend(services_.archives);
        collections_ = lend(services_.collections);
        watches_ = lend(services_.watches);
        auths_ = lend(services_.auths);
        plugins_ = lend(services_.plugins);
        docfilters_ = lend(services_.docfilters);
        pipes_ = lend(services_.renderer_pipes);
        root_acls_ = lend(services_.root_acls);
        logins_ = lend(services_.logins);
        t.commit();
        services_.platform_guid = "0123456789abcdef0123456789abcdef";
        services_.data_dir = dir_.str();
        services_.clock = [this] { return now_; };
    }

    // Creates a store over the database and lends it to the services.
    template <typename T>
    std::unique_ptr<T> lend(T*& slot) {
        auto store = std::make_unique<T>(db_);
        slot = store.get();
        return store;
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
        RootACL r;
        r.entries = std::move(entries);
        ASSERT_TRUE(root_acls_->set(db_, id, r));
    }

    vant_test::temp_dir dir_;
    sqlite_connection db_;
    std::unique_ptr<cfgstorage<SourceConfiguration>> sources_;
    std::unique_ptr<cfgstorage<ArchiveConfiguration>> archives_;
    std::unique_ptr<cfgstorage<CollectionConfiguration>> collections_;
    std::unique_ptr<cfgstorage<WatchConfiguration>> watches_;
    std::unique_ptr<cfgstorage<AuthConfiguration>> auths_;
    std::unique_ptr<cfgstorage<Plugin>> plugins_;
    std::unique_ptr<cfgstorage<DocFilter>> docfilters_;
    std::unique_ptr<cfgstorage<RendererPluginPipe>> pipes_;
    std::unique_ptr<cfgstorage<RootACL>> root_acls_;
    std::unique_ptr<cfgstorage<LoginConfiguration>> logins_;
    api_services services_;
    std::time_t now_ = 1700000000;
};

}  // namespace marloven
