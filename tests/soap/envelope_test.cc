// Tests of the envelope reader against hostile and broken messages: each is refused with its
// reason, before it costs more than a bounded amount of parsing and memory.
// SPDX-License-Identifier: MIT
#include "soap/envelope.h"

#include <gtest/gtest.h>

#include "soap_fixture.h"

namespace marloven::soap {
namespace {

std::string repeated(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

// Ten levels of entities, each ten of the one below: a billion "lol"s when expanded.
std::string billion_laughs() {
    std::string dtd = "<!DOCTYPE lolz [<!ENTITY lol0 \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        dtd += "<!ENTITY lol" + std::to_string(i) + " \"" +
               repeated("&lol" + std::to_string(i - 1) + ";", 10) + "\">";
    }
    dtd += "]>";
    return "<?xml version=\"1.0\"?>" + dtd + request("GetVersion", "&lol9;");
}

struct hostile_case {
    std::string name;
    std::string text;
    std::string error;
    std::size_t most_elements;  // elements the parser may have handled before refusing
    xml_limits limits = {};
};

class hostile_xml_test : public testing::TestWithParam<hostile_case> {};

TEST_P(hostile_xml_test, is_refused_early_with_bounded_memory) {
    const hostile_case& c = GetParam();
    envelope_reader reader(nullptr, c.limits);
    // Fed in pieces, as the transport does.
    bool ok = true;
    for (std::size_t at = 0; ok && at < c.text.size(); at += 65536) {
        ok = reader.feed(std::string_view(c.text).substr(at, 65536), false);
    }
    ok = ok && reader.feed({}, true);
    EXPECT_FALSE(ok) << c.name;
    EXPECT_EQ(reader.error(), c.error) << c.name;
    EXPECT_LE(reader.stats().elements, c.most_elements) << c.name;
    EXPECT_LE(reader.stats().deepest, c.limits.max_depth) << c.name;
    // No entity was expanded, and expat never held much.
    EXPECT_LE(reader.stats().text, c.text.size()) << c.name;
    EXPECT_LT(reader.stats().parser_memory_peak, std::size_t{4} << 20) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    cases, hostile_xml_test,
    testing::Values(hostile_case{"billion laughs", billion_laughs(),
                                 "Document type declarations are not allowed", 0},
                    hostile_case{"deep nesting", repeated("<a>", 200000) + repeated("</a>", 200000),
                                 "Elements nested deeper than 64 levels", 64},
                    hostile_case{"many elements", "<a>" + repeated("<b/>", 150000) + "</a>",
                                 "More than 100000 elements", 100000},
                    hostile_case{"long message",
                                 "<a>" + std::string(3u << 20, 'x') + "</a>",
                                 "Message larger than 1048576 bytes",
                                 1,
                                 {.max_input = 1u << 20}},
                    // One attribute value that expat must hold whole.
                    hostile_case{"huge attribute",
                                 "<a b=\"" + std::string(6u << 20, 'x') + "\"/>",
                                 "The message needs more parser memory than allowed",
                                 0,
                                 {.max_parser_memory = 1u << 20}}));

struct structure_case {
    std::string text;
    fault_code code;
    std::string_view text_of_fault;
};

class envelope_structure_test : public testing::TestWithParam<structure_case> {};

TEST_P(envelope_structure_test, faults_a_message_that_is_no_call) {
    try {
        parse(GetParam().text);
        ADD_FAILURE() << GetParam().text;
    } catch (const fault& f) {
        EXPECT_EQ(f.code(), GetParam().code);
        EXPECT_EQ(f.what(), GetParam().text_of_fault);
    }
}

const std::string env = "xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"";

INSTANTIATE_TEST_SUITE_P(
    cases, envelope_structure_test,
    testing::Values(
        structure_case{"<Envelope><Body><X/></Body></Envelope>", fault_code::VersionMismatch,
                       "The message is not a SOAP 1.1 envelope"},
        structure_case{"<e:Envelope " + env + "><Body><X/></Body></e:Envelope>", fault_code::Client,
                       "The envelope has no call in its Body"},
        structure_case{"<e:Envelope " + env +
                           "><e:Header><T e:mustUnderstand=\"1\"/></e:Header><e:Body><X/></e:Body>"
                           "</e:Envelope>",
                       fault_code::MustUnderstand, "The header entry 'T' is not understood"},
        structure_case{"<e:Envelope " + env +
                           "><e:Body><X><a id=\"1\"/><b id=\"1\"/></X></e:Body></e:Envelope>",
                       fault_code::Client, "Two elements of the message have the id '1'"}));

}  // namespace
}  // namespace marloven::soap
