// Tests of LOGCFG, thresholds and the log line format.
// SPDX-License-Identifier: MIT
#include "util/log.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/temp_dir.h"
#include "util/config_file.h"

namespace marloven {
namespace {

class log_test : public testing::Test {
  protected:
    void TearDown() override { close_log(); }
    bool configure(const std::string& conf_text, std::string& message) {
        config_file cfg(dir_.write("v.conf", conf_text));
        return open_log(cfg, dir_ / "vantorell.log", message);
    }
    std::string log_text() { return vant_test::read_file(dir_ / "vantorell.log"); }
    vant_test::temp_dir dir_;
};

TEST_F(log_test, named_facilities_get_their_levels_and_malformed_items_are_reported) {
    std::string msg;
    ASSERT_TRUE(configure(
        "LOGCFG=API:DEBUG HTTPSERVER:BORING IPCSOCK:CRITICAL API A:B:C api:DEBUG FFF:LOUD\n", msg));
    EXPECT_EQ(msg,
              " Can't find : in 'API' Can't find : in 'A:B:C'"
              " Unknown log facility api in config file, using LOG instead"
              " Unknown log level LOUD in config file, using INFO instead");
    EXPECT_TRUE(log_enabled(log_facility::API, log_level::debug));
    EXPECT_FALSE(log_enabled(log_facility::API, log_level::boring));
    EXPECT_TRUE(log_enabled(log_facility::HTTPSERVER, log_level::boring));
    EXPECT_FALSE(log_enabled(log_facility::IPCSOCK, log_level::error));
    EXPECT_TRUE(log_enabled(log_facility::IPCSOCK, log_level::critical));
    EXPECT_TRUE(log_enabled(log_facility::LOG, log_level::debug));
    EXPECT_TRUE(log_enabled(log_facility::FFF, log_level::info));
    EXPECT_FALSE(log_enabled(log_facility::FFF, log_level::debug));
    EXPECT_FALSE(log_enabled(log_facility::WORKER, log_level::info)) << "others stay at WARNING";
}

TEST_F(log_test, empty_logcfg_keeps_warning_and_missing_logcfg_fails) {
    std::string msg;
    EXPECT_TRUE(configure("LOGCFG=\n", msg));
    EXPECT_EQ(msg, "");
    EXPECT_FALSE(log_enabled(log_facility::API, log_level::info));
    close_log();
    msg.clear();
    EXPECT_FALSE(configure("DATADIR=/x\n", msg));
    EXPECT_EQ(msg, " LOGCFG undefined in config file");
}

TEST_F(log_test, line_has_time_padded_level_and_source_path) {
    std::string msg;
    ASSERT_TRUE(configure("LOGCFG=API:DEBUG\n", msg));
    VANT_LOG(API, info) << "Hello " << 42;
    VANT_LOG(API, error) << "Bad";
    VANT_LOG(API, boring) << "suppressed";
    VANT_LOG_AS("hdr\\marloven/cfgstorage", API, debug) << "fixed";
    std::string text = log_text();
    std::regex line(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d INFO  \[tests\\util\\log_test:\d+\] Hello 42\n)"
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ERROR \[tests\\util\\log_test:\d+\] Bad\n)"
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d DEBUG \[hdr\\marloven/cfgstorage:\d+\] fixed\n)");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(log_test, unopenable_log_reports_the_reason) {
    config_file cfg(dir_.write("v.conf", "LOGCFG=\n"));
    std::string msg;
    EXPECT_FALSE(open_log(cfg, dir_ / "no/such/dir/x.log", msg));
    EXPECT_EQ(msg.rfind("Cannot open " + (dir_ / "no/such/dir/x.log") + ": ", 0), 0u) << msg;
}

// The build maps source paths to the tree (the line test above); other builds give absolute ones.
TEST(source_path, strips_an_absolute_prefix_up_to_the_tree) {
    EXPECT_EQ(source_path("/home/x/tree/src/docstorage/docstorage.cc"),
              "src\\docstorage\\docstorage");
}

TEST(fatal_assertion_death, reports_path_line_and_message) {
    EXPECT_DEATH(fatal_assertion("r == Z_OK", "src\\docstorage\\docstorage", 77),
                 "src\\\\docstorage\\\\docstorage\\(77\\): assertion \\[r == Z_OK\\] failed\\.");
}

}  // namespace
}  // namespace marloven
