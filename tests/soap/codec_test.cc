// Tests of reading SOAP-encoded values: the SOAP-ENC array rules with the texts clients know,
// references, scalars, enumeration names, and the limits on what references can multiply.
// SPDX-License-Identifier: MIT
#include "soap/codec.h"

#include <gtest/gtest.h>

#include <tuple>

#include "soap/contract.h"
#include "soap_fixture.h"

namespace marloven::soap {
namespace {

// Reads the parameter `name` of the call in `text` as `T`; a fault gives its text instead.
template <typename T>
std::string read_param(const std::string& text, const char* name, T& out,
                       decode_limits limits = {}) {
    try {
        envelope e = parse(text);
        const method& m = *test_service().find_method(e.call->name);
        decoder d(e, limits);
        element_reader r(d, *e.call, m.params);
        r.param(name, out);
        return {};
    } catch (const fault& f) {
        return f.what();
    }
}

std::string joined(const std::vector<int>& v) {
    std::string out;
    for (int i : v) {
        out += (out.empty() ? "" : ",") + std::to_string(i);
    }
    return out;
}

struct array_case {
    std::string_view array;    // the element "v"
    std::string_view outcome;  // the items read, joined with commas, or the fault text
    std::string_view body_rest = {};
};

class array_rules_test : public testing::TestWithParam<array_case> {};

TEST_P(array_rules_test, reads_items_or_fails_with_the_known_text) {
    const array_case& c = GetParam();
    std::vector<int> items = {42};
    std::string fault_text = read_param(request("Ints", c.array, c.body_rest), "v", items);
    EXPECT_EQ(fault_text.empty() ? joined(items) : fault_text, c.outcome) << c.array;
}

INSTANTIATE_TEST_SUITE_P(
    cases, array_rules_test,
    testing::Values(
        // "[]": the size is the number of items (as without an arrayType).
        array_case{R"(<v SOAP-ENC:arrayType="xsd:int[]"><item>1</item><item>2</item></v>)", "1,2"},
        array_case{
            R"(<v SOAP-ENC:arrayType="xsd:int[2]"><item>1</item><item>2</item><item>3</item></v>)",
            "Error de-serializing array.  Too many values in array.  Array specified 2, "
            "found 3."},
        // Positions without an item read as the default.
        array_case{
            R"(<v SOAP-ENC:arrayType="xsd:int[4]"><item>1</item><item SOAP-ENC:position="[3]">9</item></v>)",
            "1,0,0,9"},
        array_case{
            R"(<v SOAP-ENC:arrayType="xsd:int[2]"><item SOAP-ENC:position="[5]">1</item></v>)",
            "Error decoding array, position out of range. Current size: [2], requested "
            "position: [5]"},
        array_case{
            R"(<v SOAP-ENC:arrayType="xsd:int[3]"><item SOAP-ENC:position="[2]">1</item><item SOAP-ENC:position="[0]">2</item></v>)",
            "Error decoding array, position attribute cannot point to a previous element. "
            "Current position: [3], next position: [0]"},
        array_case{R"(<v SOAP-ENC:arrayType="xsd:int[2,3]"/>)",
                   "Invalid value for array encoding tag 'arrayType': xsd:int[2,3]"},
        array_case{R"(<v xsi:nil="true"/>)", ""},
        // Python's suds leaves an empty list out of the message: an absent array is empty.
        array_case{"", ""},
        array_case{R"(<v xsi:nil="true"><item>1</item></v>)",
                   "Got xsi:nil attribute on array but parameter has values.."},
        // A declared size that would take memory the message never paid for.
        array_case{R"(<v SOAP-ENC:arrayType="xsd:int[4000000000]"/>)",
                   "Error de-serializing array.  Array specified 4000000000, more than the limit "
                   "of 100000."},
        // Multi-reference values: the array itself and single items.
        array_case{
            R"(<v href="#a"/>)", "7",
            R"(<r id="a" SOAP-ENC:arrayType="xsd:int[1]"><item href="#b"/></r><r id="b">7</r>)"},
        array_case{R"(<v href="#nowhere"/>)", "No element of the message has the id 'nowhere'"},
        array_case{R"(<v href="#a"/>)", "Reference chain too long at id 'a'",
                   R"(<r id="a" href="#a"/>)"},
        array_case{"<v><item>2147483648</item></v>",
                   "Cannot read '2147483648' of element 'item' as an int"}));

TEST(scalars, read_under_aliases_as_typed_and_left_out_record_elements_keep_their_value) {
    const std::string text = request(
        "Echo",
        R"(<number>5</number><s xsi:type="SOAP-ENC:base64">YSZi</s><b> 1 </b><p><A>3</A></p>)");
    int n = 0;
    std::string s;
    bool b = false;
    pair_value p{9, "kept"};
    EXPECT_EQ(read_param(text, "n", n) + read_param(text, "s", s) + read_param(text, "b", b) +
                  read_param(text, "p", p),
              "");
    // A string typed as Base64 is decoded.
    EXPECT_EQ(std::tie(n, s, b, p), std::make_tuple(5, "a&b", true, pair_value{3, "kept"}));
    EXPECT_EQ(read_param(request("Echo", "<b>yes</b>"), "b", b),
              "Cannot read 'yes' of element 'b' as a boolean");
}

// Older clients' spellings of an enumeration value are read; replies use the first spelling.
TEST(enumerations, read_every_spelling_and_write_the_first) {
    const service& s = search_service();
    const type& sort = *s.find_method("Query")->params[0].of->find("Sort")->of;
    EXPECT_EQ(sort.value_of("SCORE"), 0) << "SCORE is read as SORT_STANDARD";
    EXPECT_EQ(*sort.name_of(0), "SORT_STANDARD");
}

TEST(references, a_value_referred_to_many_times_is_counted_each_time) {
    // One string of 20 KB named by 100 items would make 2 MB from a message of 22 KB.
    std::string items;
    for (int i = 0; i < 100; ++i) {
        items += R"(<item href="#s"/>)";
    }
    std::string text = request("Strings", "<v>" + items + "</v>",
                               "<r id=\"s\">" + std::string(20000, 'x') + "</r>");
    std::vector<std::string> out;
    EXPECT_EQ(read_param(text, "v", out, {.max_text = 1u << 20}),
              "The message's values take more than 1048576 bytes");
    EXPECT_EQ(read_param(text, "v", out, {.max_visits = 50}),
              "The message's values refer to more than 50 elements");
    EXPECT_EQ(read_param(text, "v", out), "");
    EXPECT_EQ(out.size(), 100u);
    EXPECT_EQ(out[99].size(), 20000u);
}

}  // namespace
}  // namespace marloven::soap
