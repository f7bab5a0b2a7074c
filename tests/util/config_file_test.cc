// Tests of the configuration file reader and the key rules.
// SPDX-License-Identifier: MIT
#include "util/config_file.h"

#include <gtest/gtest.h>

#include <map>

#include "support/temp_dir.h"

namespace marloven {
namespace {

class config_file_test : public testing::Test {
  protected:
    config_file load(const std::string& text) {
        return config_file(dir_.write("vantorell.conf", text));
    }
    vant_test::temp_dir dir_;
};

using entries = std::map<std::string, std::string, std::less<>>;

TEST_F(config_file_test, lines_split_at_the_first_equals_and_keep_their_blanks) {
    struct line_case {
        const char* text;
        entries expected;
        const char* complaint;  // on standard error; "": nothing is written there
    };
    for (const line_case& c : {
             // Comment and blank rules follow the first non-blank character.
             line_case{"  # a comment\n\n   \n\t# not a comment\nA=1\n",
                       {{"A", "1"}},
                       "vantorell.conf(4): can't find '='"},
             line_case{"KEY =value\nA=b=c\n  B= lead\nA=2\n",
                       {{"A", "2"}, {"B", " lead"}, {"KEY ", "value"}},
                       ""},
             // Issue 15: a file with CR LF line ends kept the CR at the end of every value.
             line_case{"A=1\r\nEMPTY=\r\n  # comment\r\n\r\nB=x\r\r\nC=last\r",
                       {{"A", "1"}, {"B", "x\r"}, {"C", "last"}, {"EMPTY", ""}},
                       ""},
         }) {
        testing::internal::CaptureStderr();
        auto cfg = load(c.text);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(cfg.loaded());
        EXPECT_EQ(cfg.entries(), c.expected) << c.text;
        EXPECT_NE(err.find(c.complaint), std::string::npos) << err;
        EXPECT_EQ(err.empty(), *c.complaint == '\0') << err;
    }
}

TEST_F(config_file_test, later_lines_and_companion_files_override_in_byte_order) {
    dir_.write("vantorell-b.conf", "K=companion-b\nONLYB=1\n");
    dir_.write("vantorell-a.conf", "K=companion-a\nONLYA=1\n");
    dir_.write("vantorellX.conf", "K=one-longer-is-not-a-companion\n");
    dir_.write("vantorell.conf.bak", "K=backup\n");
    dir_.write("VANTORELLXY.CONF", "CASE=1\n");
    auto cfg = load("K=main\nK=main2\n");
    std::string v;
    EXPECT_TRUE(cfg.get("K", v));
    EXPECT_EQ(v, "companion-b");
    EXPECT_TRUE(cfg.get("ONLYA", v));
    EXPECT_TRUE(cfg.get("CASE", v)) << "companion names compare without case";
    EXPECT_FALSE(cfg.get("ABSENT", v));
    EXPECT_EQ(v, "") << "a key that is not there clears the value";
}

TEST_F(config_file_test, missing_main_file_reports_and_fails_every_lookup) {
    testing::internal::CaptureStderr();
    config_file cfg(dir_ / "absent.conf");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(cfg.loaded());
    EXPECT_EQ(err, "Cannot open configfile " + (dir_ / "absent.conf") + "\n");
    std::string v = "untouched";
    EXPECT_FALSE(cfg.get("DATADIR", v));
    EXPECT_EQ(v, "untouched");
    EXPECT_FALSE(cfg.value(keys::DATADIR));
}

TEST_F(config_file_test, missing_environment_variable_is_reported) {
    ::unsetenv("MARLOVEN_CONFIG_FILE");
    testing::internal::CaptureStderr();
    config_file cfg;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "MARLOVEN_CONFIG_FILE not defined\n");
    EXPECT_FALSE(cfg.loaded());
}

struct rule_case {
    const char* line;
    const config_key* key;
    long long expected;
};

class key_rule_test : public testing::TestWithParam<rule_case> {};

TEST_P(key_rule_test, integer_rules_fall_back_to_defaults) {
    vant_test::temp_dir dir;
    config_file cfg(dir.write("v.conf", std::string(GetParam().line) + "\n"));
    EXPECT_EQ(cfg.integer(*GetParam().key), GetParam().expected) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(cases, key_rule_test,
                         testing::Values(rule_case{"SyncLevel=0", &keys::SyncLevel, 0},
                                         rule_case{"SyncLevel=00", &keys::SyncLevel, 1},
                                         rule_case{"SyncLevel=4", &keys::SyncLevel, 1},
                                         rule_case{"SyncLevel=2x", &keys::SyncLevel, 2},
                                         rule_case{"Throttling=", &keys::Throttling, 20},
                                         rule_case{"WORKERS=0", &keys::WORKERS, 5},
                                         rule_case{"OTHER=1", &keys::CRAWLSTOP, 23},
                                         rule_case{"MINFREEDISK=8589934592", &keys::MINFREEDISK,
                                                   8589934592LL}));

TEST(config_text_rule, empty_http_port_gives_the_default) {
    vant_test::temp_dir dir;
    config_file cfg(dir.write("v.conf", "HTTP_PORT=\nUserAgent=\nHTTP_USER=\n"));
    EXPECT_EQ(cfg.value(keys::HTTP_PORT), "*:2200");
    EXPECT_EQ(cfg.value(keys::UserAgent), "marlovenbot");
    EXPECT_EQ(cfg.value(keys::HTTP_USER), "") << "a present key with an empty value is present";
}

}  // namespace
}  // namespace marloven
