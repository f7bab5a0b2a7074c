// Tests of the default plug-in records that start-up creates.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "api/api_fixture.h"
#include "db/sqlite.h"
#include "vantorelld/vantorelld.h"

namespace marloven {
namespace {

class default_plugins_test : public api_fixture {
  protected:
    std::optional<std::string> create() {
        transaction t(db_);
        auto failure = create_default_plugins(db_, storage_->plugins, storage_->docfilters);
        t.commit();
        return failure;
    }
};

// Everybody may read the defaults. (What the filters do, and that start-up makes five plug-ins
// and two filters, go the whole way in the integration tests.)
TEST_F(default_plugins_test, everybody_may_read_the_defaults) {
    ASSERT_EQ(create(), std::nullopt);
    const acl_list everybody = {{"All Users", access_type::read, false}};
    for (int id : storage_->plugins.ids(db_)) {
        Plugin p;
        ASSERT_TRUE(storage_->plugins.get(db_, id, p));
        EXPECT_EQ(p.acl, everybody);
    }
    DocFilter f;
    ASSERT_TRUE(storage_->docfilters.get(db_, 2, f));
    EXPECT_EQ(f, (DocFilter{"URL", "URL Splitter", 2, "", everybody}));
}

// Created once and again when both stores are empty: see the daemon's integration test.
TEST_F(default_plugins_test, a_filter_left_alone_prevents_the_defaults) {
    ASSERT_EQ(create(), std::nullopt);
    for (int id : storage_->plugins.ids(db_)) {
        storage_->plugins.remove(db_, id);
    }
    storage_->docfilters.remove(db_, 1);
    ASSERT_EQ(create(), std::nullopt);
    EXPECT_TRUE(storage_->plugins.ids(db_).empty());
    EXPECT_EQ(storage_->docfilters.ids(db_), std::vector<int>{2});
}

}  // namespace
}  // namespace marloven
