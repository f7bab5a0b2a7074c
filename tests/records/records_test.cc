// Tests of the configuration records' XML texts: round trips, Base64 text, values that cannot be
// understood, and text that is not XML.
// SPDX-License-Identifier: MIT
#include "records/records.h"

#include <gtest/gtest.h>

#include <tuple>

namespace marloven {
namespace {

// Texts that need escaping, character references, or more than one byte per character.
const std::string awkward = "a&b <c> \"d\" it's \xc3\xa6\xc3\xb8 \xe2\x82\xac";
const std::string whitespace = "tab\there\nline\r\nend";

acl_list sample_acl() {
    return {{"All Users", access_type::read, false}, {awkward, access_type::write, true}};
}

SourceConfiguration sample_source() {
    SourceConfiguration s;
    s.name = "Intranet";
    s.description = awkward;
    s.seeds = {"http://intranet.example/", "http://intranet.example/a?b=1&c=2"};
    s.include_filters = {"http://intranet.example/*"};
    s.exclude_filters = {"*.pdf", "*/private/*"};
    s.depth = 4;
    s.robots_check = false;
    s.side_metadata_available = true;
    s.auth = auth_type::cookie;
    s.cookie.url = "http://intranet.example/login";
    s.cookie.action = cookie_action::post;
    s.cookie.freshness = 3600;
    s.cookie.params = {{"user", "bob", cookie_param_type::username},
                       {"pw", "s\"ecret", cookie_param_type::password},
                       {"lang", "en", cookie_param_type::other}};
    s.cookie.pre_urls = {"http://intranet.example/start"};
    s.docfilters = {1, 3};
    s.text_exclusion_begin = "<!-- noindex -->";
    s.text_exclusion_end = whitespace;
    s.acl = sample_acl();
    return s;
}

Plugin sample_plugin() {
    std::string bytes;
    for (int i = 0; i < 300; ++i) {
        bytes += static_cast<char>(i * 7);  // every byte value, NULs included
    }
    return {"SLR", "Stochastic\nLanguage Recognizer", "langplugin", bytes, sample_acl()};
}

// Written, read, written again: the same record and the same bytes.
template <typename Record>
void expect_round_trip(const Record& original) {
    std::string first;
    ASSERT_TRUE(to_xml(original, first));
    Record read;
    ASSERT_TRUE(from_xml(first, read)) << first;
    EXPECT_EQ(read, original) << first;
    std::string second;
    ASSERT_TRUE(to_xml(read, second));
    EXPECT_EQ(second, first);
}

TEST(records, every_kind_reads_back_unchanged_and_writes_the_same_bytes) {
    expect_round_trip(sample_source());
    expect_round_trip(ArchiveConfiguration{awkward, true, "admin@example.org", 7, 2,
                                           schedule_frequency::weekly, 3, 7200, 5000, -1,
                                           cache_policy::context, sample_acl()});
    expect_round_trip(CollectionConfiguration{"Everything", whitespace, {1, 2, 30}, sample_acl()});
    expect_round_trip(WatchConfiguration{"Prices", "", "price AND \"oil\"", query_parser::net,
                                         86400, 4, sample_acl()});
    expect_round_trip(
        AuthConfiguration{"bob", "p<a>ss", {{"domain", "CORP"}, {"realm", awkward}}, sample_acl()});
    expect_round_trip(sample_plugin());
    expect_round_trip(DocFilter{"URL", awkward, 3, std::string("\0\x01\xff", 3), {}});
    expect_round_trip(RendererPluginPipe{{5, 2, 9}});
    expect_round_trip(RootACL{sample_acl()});
    LoginConfiguration login;
    login.users["bob"] = {"bob", "0cc175b9c0f1b6a831c399e269772661", false, {"staff"}};
    login.users["alice"] = {"alice", "92eb5ffee6ae2fec3ad71c777531578f", true, {"a", "staff"}};
    login.groups = {"staff", "a", awkward};
    expect_round_trip(login);
    // Empty records: every list empty, every text empty.
    expect_round_trip(SourceConfiguration{});
    expect_round_trip(LoginConfiguration{});
}

// The crawl thread sends write_source_xml's text; the worker program reads it with from_xml.
TEST(records, worker_reads_the_source_that_a_request_carries) {
    SourceConfiguration basic = sample_source();
    basic.auth = auth_type::basic;
    basic.cookie = {};  // not sent without cookie log-in
    for (const SourceConfiguration& sent : {sample_source(), basic}) {
        std::string xml;
        ASSERT_TRUE(write_source_xml(sent, xml));
        SourceConfiguration read;
        ASSERT_TRUE(from_xml(xml, read)) << xml;
        EXPECT_EQ(read, sent) << xml;
    }
}

TEST(records, plugin_configuration_accepts_line_ends_and_rejects_other_characters) {
    Plugin p;
    ASSERT_TRUE(
        from_xml("<plugin name=\"p\"><dll name=\"m\">YWJj\r\nZGVm\nZw==</dll></plugin>", p));
    EXPECT_EQ(std::tie(p.configuration, p.module), std::make_tuple("abcdefg", "m"));
    for (const char* bad : {"YWJj ZGVm", "YQ==YQ=="}) {
        ASSERT_TRUE(from_xml(std::string("<plugin><dll>") + bad + "</dll></plugin>", p)) << bad;
        EXPECT_EQ(p.configuration, "") << bad;
    }
    // A record larger than the 16 MiB an upload may carry (its lines add to the Base64) reads back.
    p.configuration.assign(13u << 20, 'x');
    std::string xml;
    Plugin read;
    ASSERT_TRUE(to_xml(p, xml) && from_xml(xml, read));
    EXPECT_EQ(read.configuration.size(), p.configuration.size());
}

TEST(records, missing_elements_keep_the_starting_values) {
    SourceConfiguration s;
    s.robots_check = false;
    s.seeds = {"left over"};
    ASSERT_TRUE(from_xml("<source name=\"n\"/>", s));
    SourceConfiguration expected;
    expected.name = "n";
    EXPECT_EQ(s, expected) << "robots check back on, seeds emptied";
    WatchConfiguration w;
    w.parser = query_parser::none;
    ASSERT_TRUE(from_xml("<watch><query text=\"q\" freshness=\"12abc\"/></watch>", w));
    // The freshness is the leading integer; a missing attribute reads as 0.
    EXPECT_EQ(std::tie(w.parser, w.freshness, w.collection),
              std::make_tuple(query_parser::alg, 12, 0));
}

TEST(records, legacy_names_and_nesting_are_accepted) {
    SourceConfiguration s;
    ASSERT_TRUE(
        from_xml("<source><renderer-plugins-configs><plugin-config id=\"4\"/>"
                 "</renderer-plugins-configs><docfilter id=\"5\"/>"
                 "<x><y><seed url=\"deep\"/></y></x><filter type=\"other\" url=\"z\"/>"
                 "</source>",
                 s));
    EXPECT_EQ(s.docfilters, (std::vector<int>{4, 5}));
    EXPECT_EQ(s.seeds, std::vector<std::string>{"deep"});
    EXPECT_TRUE(s.include_filters.empty());
    EXPECT_TRUE(s.exclude_filters.empty());
    RendererPluginPipe pipe;
    ASSERT_TRUE(
        from_xml("<renderer-pipe><plugins-configs><plugin-config id=\"1\"/>"
                 "</plugins-configs><plugin-configs><docfilter id=\"2\"/></plugin-configs>"
                 "</renderer-pipe>",
                 pipe));
    EXPECT_EQ(pipe.docfilters, (std::vector<int>{1, 2}));
    LoginConfiguration l;
    ASSERT_TRUE(
        from_xml("<login><member group=\"orphan\"/><user name=\"u\" pass=\"h\" "
                 "admin=\"true\"><member group=\"g\"/></user><member group=\"h\"/>"
                 "</login>",
                 l));
    EXPECT_EQ(l.users, (decltype(l.users){{"u", {"u", "h", true, {"g", "h"}}}}));
}

TEST(records, legacy_index_gives_a_source_and_an_archive) {
    SourceConfiguration s;
    ArchiveConfiguration a;
    ASSERT_TRUE(
        from_index_xml("<?xml version=\"1.0\"?><index name=\"Old\" historicize=\"true\">"
                       "<contact type=\"admin\" email=\"a@b\"/><seed url=\"http://s/\"/>"
                       "<filter type=\"include\" url=\"i\"/><filter type=\"exclude\" url=\"e\"/>"
                       "<scheduling frequency=\"daily\" attribute=\"2\" accesstime=\"3\"/>"
                       "<limit pages=\"100\" depth=\"5\"/><garbage limit=\"9\"/></index>",
                       s, a));
    ArchiveConfiguration archive{"Old", true, "a@b", 0, 0,  schedule_frequency::daily,
                                 2,     3,    100,   9, {}, {}};
    EXPECT_EQ(a, archive);
    SourceConfiguration expected;
    expected.seeds = {"http://s/"};
    expected.include_filters = {"i"};
    expected.exclude_filters = {"e"};
    expected.depth = 5;
    EXPECT_EQ(s, expected);
    EXPECT_FALSE(from_index_xml("<index>", s, a));
}

// Records go through the guarded reader: declarations are refused, code pages are read.
TEST(records, text_that_is_not_well_formed_or_declares_entities_is_rejected) {
    for (const char* bad : {"<source", "<source>&bogus;</source>", "<source name=\"\xff\"/>",
                            "<!DOCTYPE s [<!ENTITY e \"x\">]><source name=\"&e;\"/>"}) {
        SourceConfiguration s;
        EXPECT_FALSE(from_xml(bad, s)) << bad;
    }
    SourceConfiguration s;
    ASSERT_TRUE(
        from_xml("<?xml version=\"1.0\" encoding=\"iso-8859-15\"?><source name=\"\xA4\"/>", s));
    EXPECT_EQ(s.name, "\xE2\x82\xAC");
}

TEST(records, text_that_xml_cannot_carry_is_not_written) {
    SourceConfiguration s;
    std::string xml;
    // A control character, a cut UTF-8 sequence, a surrogate, an overlong form.
    for (const std::string& bad : {std::string("a\x01", 2), std::string("\xc3"),
                                   std::string("\xed\xa0\x80"), std::string("\xc0\xaf")}) {
        s.name = bad;
        EXPECT_FALSE(to_xml(s, xml)) << bad;
    }
    s.name = "\xf0\x9f\x98\x80 \xef\xbf\xbd";
    EXPECT_TRUE(to_xml(s, xml));
}

}  // namespace
}  // namespace marloven
