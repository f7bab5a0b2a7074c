// Tests of the embedded language training text: its sections and line ends survive the build.
// SPDX-License-Identifier: MIT
#include "api/langtrain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/records.h"
#include "support/temp_dir.h"

namespace marloven {
namespace {

TEST(langtrain, embedded_text_is_the_data_file_byte_for_byte) {
    std::string file = vant_test::read_file(VANT_SOURCE_DIR "/src/api/data/langtrain.txt");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(language_training_text(), file);
    EXPECT_EQ(language_training_text().size(), 55348u);
}

TEST(langtrain, eleven_sections_in_order_with_crlf_lines) {
    std::string_view text = language_training_text();
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string_view::npos) << "last line without CRLF";
        std::string line(text.substr(pos, end - pos));
        ASSERT_EQ(line.find('\n'), std::string::npos) << "bare LF in: " << line;
        ASSERT_EQ(line.find('\r'), std::string::npos) << "bare CR in: " << line;
        lines.push_back(line);
        pos = end + 2;
    }
    const char* codes[] = {"en", "it", "fr", "de", "es", "pt", "da", "nl", "is", "no", "sv"};
    int section = 0;
    bool inside = false;
    size_t text_lines = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "###BEGIN###") {
            ASSERT_FALSE(inside) << i;
            ASSERT_LT(section, 11);
            ASSERT_LT(i + 1, lines.size());
            EXPECT_EQ(lines[i + 1], std::to_string(section + 1) + " " + codes[section]);
            inside = true;
            text_lines = 0;
            ++i;
        } else if (lines[i] == "###END###") {
            ASSERT_TRUE(inside) << i;
            EXPECT_GT(text_lines, 40u) << codes[section];
            inside = false;
            ++section;
        } else if (inside) {
            ++text_lines;
        } else {
            EXPECT_EQ(lines[i].substr(0, 1), "#") << "text outside a section: " << lines[i];
        }
    }
    EXPECT_EQ(section, 11);
    EXPECT_FALSE(inside);
    // Valid UTF-8 throughout: a record can carry it as its description.
    std::string xml;
    EXPECT_TRUE(to_xml(Plugin{"p", std::string(text), "m", "", {}}, xml));
}

}  // namespace
}  // namespace marloven
