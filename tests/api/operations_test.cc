// Tests of the access check and of the refusal rules of the configuration, user and access-list
// operations that the SOAP client stacks' access matrix and record round trips do not reach: root
// access lists, references, lock-outs, unwritable records.
// SPDX-License-Identifier: MIT
#include "api/operations.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <tuple>

#include "api/api-common.h"
#include "api_fixture.h"

namespace marloven {
namespace {

// An access list written as "name:r" and "name:w" entries joined by ","; a "!" before the name
// makes a denial.
acl_list acl_of(std::string_view text) {
    acl_list acl;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.find(',', at), text.size());
        std::string_view entry = text.substr(at, end - at);
        const bool deny = entry.starts_with('!');
        entry.remove_prefix(deny ? 1 : 0);
        acl.push_back({std::string(entry.substr(0, entry.size() - 2)),
                       entry.ends_with(":w") ? access_type::write : access_type::read, deny});
        at = end + 1;
    }
    return acl;
}

struct access_case {
    const char* what;
    const char* acl;
    access_type wanted;
    bool granted;
};

class check_access_test : public testing::TestWithParam<access_case> {};

TEST_P(check_access_test, decides_by_principals_and_wanted_access) {
    const access_case& c = GetParam();
    EXPECT_EQ(check_access("ann", {"staff", "editors"}, acl_of(c.acl), c.wanted), c.granted)
        << c.what;
}

using at = access_type;
INSTANTIATE_TEST_SUITE_P(
    cases, check_access_test,
    testing::Values(
        access_case{"the user by name", "ann:r", at::read, true},
        access_case{"a group of the user", "editors:w", at::write, true},
        access_case{"All Users stands for everybody", "All Users:r", at::read, true},
        access_case{"write does not grant read", "ann:w", at::read, false},
        access_case{"other principals do not count", "bob:r", at::read, false},
        access_case{"a denial wins over an earlier grant", "ann:r,!staff:r", at::read, false},
        access_case{"a denial wins over a later grant", "!All Users:r,ann:r", at::read, false},
        access_case{"a denial of the other access is ignored", "!ann:w,ann:r", at::read, true},
        access_case{"a denial of another principal is ignored", "!bob:r,staff:r", at::read, true}));

class operations_test : public api_fixture {
  protected:
    int add_source(acl_list acl) {
        SourceConfiguration s;
        s.name = "src";
        s.seeds = {"http://example.org/"};
        s.acl = std::move(acl);
        return storage_->sources.add(db_, s);
    }
    std::uint32_t magic_of(const api_session& s, int source) {
        SourceConfiguration cfg;
        std::uint32_t magic = 0;
        EXPECT_EQ(call(GetSourceConfiguration, s, source, cfg, magic), "");
        return magic;
    }
};

// Every kind's set shares one stamp check, and each kind has its own "in use" rule.
TEST_F(operations_test, stale_stamps_and_records_in_use_are_refused) {
    const acl_list rw = {grant("ann", at::read), grant("ann", at::write)};
    int source = add_source(rw);
    api_session ann = user("ann");
    const std::uint32_t magic = magic_of(ann, source);
    SourceConfiguration changed;
    changed.acl = rw;
    ASSERT_EQ(call(SetSourceConfiguration, ann, source, changed, magic), "");
    EXPECT_EQ(call(SetSourceConfiguration, ann, source, changed, magic), "BadMagic");

    ArchiveConfiguration archive;
    archive.source_id = source;
    archive.auth_id = storage_->auths.add(db_, AuthConfiguration{});
    int archive_id = storage_->archives.add(db_, archive);
    int collection_id =
        storage_->collections.add(db_, CollectionConfiguration{"", "", {archive_id}, {}});
    storage_->watches.add(db_,
                          WatchConfiguration{"", "", "", query_parser::alg, 0, collection_id, {}});
    EXPECT_EQ(call(RemoveSource, admin(), source), "InUse");
    EXPECT_EQ(call(RemoveAuth, admin(), archive.auth_id), "InUse");
    EXPECT_EQ(call(RemoveArchive, admin(), archive_id), "InUse");
    EXPECT_EQ(call(RemoveCollection, admin(), collection_id), "InUse");
}

// A change that would lock the caller out; issue 15: a record that cannot be written gave
// ErrorWritingEntity.
TEST_F(operations_test, set_refuses_a_lock_out_and_an_unwritable_record) {
    const acl_list rw = {grant("ann", at::read), grant("ann", at::write)};
    int id = add_source(rw);
    api_session ann = user("ann");
    SourceConfiguration locked_out;
    locked_out.acl = {grant("ann", at::read)};
    SourceConfiguration unwritable;
    unwritable.name = "control\x01";
    unwritable.acl = rw;
    EXPECT_EQ(call(SetSourceConfiguration, ann, id, locked_out, magic_of(ann, id)),
              "AccessViolation");
    EXPECT_EQ(call(SetSourceConfiguration, ann, id, unwritable, magic_of(ann, id)), "BadMagic");
    EXPECT_EQ(call(SetSourceConfiguration, admin(), id, locked_out, magic_of(ann, id)), "")
        << "administrators pass every check";
}

TEST_F(operations_test, set_refuses_references_the_caller_may_not_read) {
    int open_id =
        storage_->docfilters.add(db_, DocFilter{"", "", 0, "", {grant("All Users", at::read)}});
    int closed_id = storage_->docfilters.add(db_, DocFilter{});
    const acl_list rw = {grant("ann", at::read), grant("ann", at::write)};
    int source = add_source(rw);
    api_session ann = user("ann");
    SourceConfiguration cfg;
    cfg.acl = rw;
    cfg.docfilters = {open_id, closed_id};
    EXPECT_EQ(call(SetSourceConfiguration, ann, source, cfg, magic_of(ann, source)),
              "AccessViolation")
        << "a filter without read access";
    cfg.docfilters = {open_id};
    EXPECT_EQ(call(SetSourceConfiguration, ann, source, cfg, magic_of(ann, source)), "");

    // An archive may only name a source and credentials that the caller can read.
    int hidden_source = add_source({});
    ArchiveConfiguration a;
    a.acl = rw;
    a.source_id = source;
    int archive = storage_->archives.add(db_, a);
    a.source_id = hidden_source;
    std::uint32_t magic = 0;
    ArchiveConfiguration current;
    GetArchiveConfiguration(ann, r_, archive, current, magic);
    EXPECT_EQ(call(SetArchiveConfiguration, ann, archive, a, magic), "AccessViolation");
    a.source_id = source;
    a.auth_id = 42;
    EXPECT_EQ(call(SetArchiveConfiguration, ann, archive, a, magic), "AccessViolation")
        << "credentials that do not exist";
    a.auth_id = 0;
    EXPECT_EQ(call(SetArchiveConfiguration, ann, archive, a, magic), "");
}

TEST_F(operations_test, creation_follows_the_root_access_lists) {
    set_root_acl(root_acl_browsing, {grant("browsers", at::write)});
    set_root_acl(root_acl_crawling, {grant("crawlers", at::write)});
    api_session browser = user("bea", {"browsers"});
    api_session crawler = user("carl", {"crawlers"});
    int id = -1;
    EXPECT_EQ(call(AddSource, browser, SourceConfiguration{}, id), "AccessViolation");
    EXPECT_EQ(id, 0);
    EXPECT_EQ(call(AddSource, crawler, SourceConfiguration{}, id), "");
    EXPECT_EQ(id, 1);
    EXPECT_EQ(call(AddArchive, crawler, ArchiveConfiguration{}, id), "");
    EXPECT_EQ(call(AddAuth, crawler, AuthConfiguration{}, id), "");
    EXPECT_EQ(call(AddCollection, crawler, CollectionConfiguration{}, id), "AccessViolation");
    EXPECT_EQ(call(AddWatch, crawler, WatchConfiguration{}, id), "AccessViolation");
    EXPECT_EQ(call(AddCollection, browser, CollectionConfiguration{}, id), "");
    EXPECT_EQ(call(AddWatch, browser, WatchConfiguration{}, id), "");

    // A new source's document filters must be readable by its creator.
    SourceConfiguration with_filter;
    with_filter.docfilters = {storage_->docfilters.add(db_, DocFilter{})};
    EXPECT_EQ(call(AddSource, crawler, with_filter, id), "AccessViolation");
    EXPECT_EQ(storage_->sources.ids(db_).size(), 1u);
}

TEST_F(operations_test, enumeration_lists_readable_records_with_their_read_only_flag) {
    int readable = add_source({grant("staff", at::read)});
    add_source({grant("ann", at::write)});
    int writable = add_source({grant("ann", at::read), grant("ann", at::write)});
    std::vector<config_info<SourceConfiguration>> infos;
    EnumSourceConfigurations(user("ann", {"staff"}), r_, infos);
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(std::tie(infos[0].id, infos[0].read_only, infos[1].id, infos[1].read_only),
              std::make_tuple(readable, true, writable, false));
}

TEST_F(operations_test, users_and_groups) {
    AddGroup(admin(), r_, "staff");
    EXPECT_EQ(call(AddUser, admin(), "bob", "secret", false, {"staff", "x"}), "");
    EXPECT_EQ(call(AddUser, admin(), "staff", "pw", true, {}), "") << "a taken name is no error";
    EXPECT_EQ(call(SetUserData, user("bob"), "bob", true, {}), "AccessViolation")
        << "nobody makes himself an administrator";

    std::vector<std::string> users, builtin_users, all_groups, builtin_groups;
    ::setenv("MARLOVEN_CONFIG_FILE", dir_.write("admin.conf", "HTTP_USER=boss\n").c_str(), 1);
    EnumUsersAndGroups(admin(), r_, users, builtin_users, all_groups, builtin_groups);
    ::unsetenv("MARLOVEN_CONFIG_FILE");
    using names = std::vector<std::string>;
    EXPECT_EQ(std::tie(users, builtin_users, all_groups, builtin_groups),
              std::make_tuple(names{"bob"}, names{"boss", "Anonymous"}, names{"staff"},
                              names{"All Users"}));

    RemoveGroup(admin(), r_, "staff");
    RemoveUser(admin(), r_, "bob");
    EXPECT_EQ(call(RemoveUser, admin(), "nobody"), "");
    LoginConfiguration login;
    ASSERT_TRUE(storage_->logins.get(db_, login_record_id, login));
    EXPECT_TRUE(login.users.empty());
    EXPECT_TRUE(login.groups.empty());
}

TEST_F(operations_test, capabilities_follow_the_root_access_lists) {
    set_root_acl(root_acl_crawling, {grant("ann", at::write)});
    bool historicize = false, is_admin = true, browsing = true, crawling = false;
    GetCapabilities(user("ann"), r_, historicize, is_admin, browsing, crawling);
    EXPECT_EQ(std::tie(historicize, is_admin, browsing, crawling),
              std::make_tuple(true, false, false, true));
}

}  // namespace
}  // namespace marloven
