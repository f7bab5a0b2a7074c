// Tests of the default plug-in records that start-up creates.
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "db/sqlite.h"
#include "support/temp_dir.h"
#include "util/config_file.h"
#include "vantorelld/vantorelld.h"

namespace marloven {
namespace {

class default_plugins_test : public testing::Test {
  protected:
    default_plugins_test() {
        config_file cfg(dir_.write("v.conf", "LOGCFG=\nSyncLevel=0\n"));
        db_ = open_database(cfg, (dir_ / "vantorell.db").c_str());
        transaction t(db_);
        plugins_.emplace(db_);
        docfilters_.emplace(db_);
        t.commit();
    }
    std::optional<std::string> create() {
        transaction t(db_);
        auto failure = create_default_plugins(db_, *plugins_, *docfilters_);
        t.commit();
        return failure;
    }
    vant_test::temp_dir dir_;
    sqlite_connection db_;
    std::optional<cfgstorage<Plugin>> plugins_;
    std::optional<cfgstorage<DocFilter>> docfilters_;
};

// The records clients see: the two filters run the first two plug-ins, everybody may read them.
TEST_F(default_plugins_test, empty_stores_get_five_plugins_and_two_filters) {
    ASSERT_EQ(create(), std::nullopt);
    ASSERT_EQ(plugins_->ids(db_), (std::vector<int>{1, 2, 3, 4, 5}));
    const acl_list everybody = {{"All Users", access_type::read, false}};
    std::string modules;
    for (int id = 1; id <= 5; ++id) {
        Plugin p;
        ASSERT_TRUE(plugins_->get(db_, id, p));
        modules += p.name + ":" + p.module + " ";
        EXPECT_EQ(p.acl, everybody);
    }
    EXPECT_EQ(modules,
              "SLR:langplugin URL:urlplugin Static:staticplugin RegEx:regexplugin "
              "MetaExchange:metaexchangeplugin ");
    ASSERT_EQ(docfilters_->ids(db_), (std::vector<int>{1, 2}));
    DocFilter f;
    ASSERT_TRUE(docfilters_->get(db_, 2, f));
    EXPECT_EQ(f, (DocFilter{"URL", "URL Splitter", 2, "", everybody}));
}

// Created once and again when both stores are empty: see the daemon's integration test.
TEST_F(default_plugins_test, a_filter_left_alone_prevents_the_defaults) {
    ASSERT_EQ(create(), std::nullopt);
    for (int id : plugins_->ids(db_)) {
        plugins_->remove(db_, id);
    }
    docfilters_->remove(db_, 1);
    ASSERT_EQ(create(), std::nullopt);
    EXPECT_TRUE(plugins_->ids(db_).empty());
    EXPECT_EQ(docfilters_->ids(db_), std::vector<int>{2});
}

}  // namespace
}  // namespace marloven
