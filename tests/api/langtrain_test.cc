// Tests of the embedded language training text: it survives the build byte for byte.
// SPDX-License-Identifier: MIT
#include "api/langtrain.h"

#include <gtest/gtest.h>

#include <string>

#include "records/records.h"
#include "support/temp_dir.h"

namespace marloven {
namespace {

TEST(langtrain, embedded_text_is_the_data_file_byte_for_byte) {
    std::string file = vant_test::read_file(VANT_SOURCE_DIR "/src/api/data/langtrain.txt");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(language_training_text(), file);
    // Valid UTF-8 throughout: a record can carry it as its description. Its sections are
    // checked by the language plug-in's tests, which train on it.
    std::string xml;
    EXPECT_TRUE(to_xml(Plugin{"p", file, "m", "", {}}, xml));
}

}  // namespace
}  // namespace marloven
