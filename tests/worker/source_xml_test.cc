// The source and auth texts of a PROCESS request.
// SPDX-License-Identifier: MIT
#include "worker/source_xml.h"

#include <gtest/gtest.h>

namespace {

using namespace marloven;

source_description cookie_source() {
    source_description s;
    s.name = "Intranet \"A\" & <B>";
    s.description = "it's";
    s.seeds = {"http://h/", "http://h/b?x=1&y=2"};
    s.include_filters = {"h\\.example"};
    s.exclude_filters = {"\\.pdf$"};
    s.depth = 3;
    s.robots_check = false;
    s.side_metadata = true;
    s.auth = source_auth_type::cookie;
    s.cookie_url = "http://h/login";
    s.action = cookie_action::post;
    s.freshness = 3600;
    s.cookie_params = {{"user", "", cookie_param_type::username},
                       {"pw", "", cookie_param_type::password},
                       {"lang", "en", cookie_param_type::other}};
    s.pre_urls = {"http://h/start"};
    s.docfilter_ids = {4, 2};
    s.marker_begin = "<!--noindex-->";
    s.marker_end = "<!--/noindex-->";
    s.acl = {{"All Users", false, false}, {"bob", true, true}};
    return s;
}

TEST(source_xml_test, every_field_survives_writing_and_reading) {
    for (const source_description& s : {cookie_source(), source_description{}}) {
        std::string xml = write_source_xml(s);
        auto back = read_source_xml(xml);
        ASSERT_TRUE(back.has_value()) << xml;
        EXPECT_EQ(*back, s) << xml;
        EXPECT_EQ(write_source_xml(*back), xml);
    }
}

TEST(source_xml_test, written_form_escapes_attributes_and_keeps_element_order) {
    std::string xml = write_source_xml(cookie_source());
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<source name=\"Intranet "
                        "&quot;A&quot; &amp; &lt;B&gt;\" description=\"it&apos;s\">\n",
                        0),
              0u)
        << xml;
    EXPECT_NE(xml.find("\t<textexclusionmarker edge=\"begin\" value=\"&lt;!--noindex--&gt;\" />\n"),
              std::string::npos);
    const char* order[] = {"<seed",
                           "<filter type=\"include\"",
                           "<filter type=\"exclude\"",
                           "<limit",
                           "<robots",
                           "<sidemetadata",
                           "<auth",
                           "<cookieauth",
                           "<cookieparam",
                           "<cookiepreurl",
                           "<docfilters",
                           "<docfilter ",
                           "<textexclusionmarker",
                           "<acl"};
    size_t at = 0;
    for (const char* e : order) {
        size_t next = xml.find(e, at);
        ASSERT_NE(next, std::string::npos) << e << " missing or out of order in\n" << xml;
        at = next;
    }
}

TEST(source_xml_test, unknown_values_keep_the_starting_values) {
    auto s = read_source_xml(
        "<source><robots check='yes'/><auth type='kerberos'><cookieauth action='put'/></auth>"
        "<cookieparam name='n' type='email'/><sidemetadata available='1'/>"
        "<unknown><seed url='deep'/></unknown></source>");
    ASSERT_TRUE(s.has_value());
    EXPECT_TRUE(s->robots_check);
    EXPECT_EQ(s->auth, source_auth_type::none);
    EXPECT_EQ(s->action, cookie_action::get);
    ASSERT_EQ(s->cookie_params.size(), 1u);
    EXPECT_EQ(s->cookie_params[0].type, cookie_param_type::other);
    EXPECT_FALSE(s->side_metadata);
    EXPECT_EQ(s->seeds, std::vector<std::string>{"deep"}) << "nesting does not matter";
}

TEST(source_xml_test, malformed_texts_are_rejected) {
    EXPECT_FALSE(read_source_xml("<source><seed url='a'></source>").has_value());
    EXPECT_FALSE(read_source_xml("").has_value());
    EXPECT_FALSE(read_auth_xml("<auth username='a' password='b'").has_value());
}

TEST(source_xml_test, auth_record_gives_credentials_and_parameters) {
    auto a = read_auth_xml(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<auth username=\"jo\" password=\"p&amp;w\">\n"
        "\t<param name=\"domain\" value=\"corp\"/>\n\t<acl name=\"x\" access=\"read\" "
        "deny=\"false\"/>\n</auth>\n");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->username, "jo");
    EXPECT_EQ(a->password, "p&w");
    ASSERT_EQ(a->params.size(), 1u);
    EXPECT_EQ(a->params[0], (std::pair<std::string, std::string>{"domain", "corp"}));
}

}  // namespace
