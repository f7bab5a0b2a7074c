// Tests of the three query parsers: the postfix atoms of well-formed texts (written in the RPN
// form of the query log, which also checks that form; the RPN cases read back as their own text)
// and malformed texts.
// SPDX-License-Identifier: MIT
#include "api/query_parsers.h"

#include <gtest/gtest.h>

namespace marloven {
namespace {

struct parse_case {
    std::string_view text;
    std::string_view atoms;  // as RPN log text
};

class parser_test : public testing::TestWithParam<parse_case> {
  protected:
    void expect_atoms(query_parser parser) {
        std::vector<query_atom> atoms = {query_atom{}};  // the parsers empty the list first
        EXPECT_TRUE(parse_query(parser, GetParam().text, atoms)) << GetParam().text;
        EXPECT_EQ(query_log_text(atoms), GetParam().atoms);
    }
};

using rpn_test = parser_test;
TEST_P(rpn_test, gives_the_atoms) {
    expect_atoms(query_parser::rpn);
}
INSTANTIATE_TEST_SUITE_P(
    cases, rpn_test,
    testing::Values(parse_case{"   ", ""},
                    parse_case{"WORD:alpha WORD:beta AND:2", "WORD:alpha WORD:beta AND:2"},
                    parse_case{"  WORD:a   NOT:1 ", "WORD:a NOT:1"},
                    parse_case{"title:gamma", "META:title:gamma"},
                    parse_case{"META:lang:en WORD:a WORD:b NEAR:2 OR:2",
                               "META:lang:en WORD:a WORD:b NEAR:2 OR:2"},
                    // An operator of one operand keeps a word a word, for NEAR.
                    parse_case{"WORD:a AND:1 WORD:b NEAR:2", "WORD:a AND:1 WORD:b NEAR:2"},
                    // The value of a META atom may hold more colons; its key runs to the first.
                    parse_case{"url:http://x/", "META:url:http://x/"},
                    // A key without a label runs to the next colon, even past blanks.
                    parse_case{"two words:x", "META:two words:x"}));

class rpn_malformed_test : public testing::TestWithParam<std::string_view> {};
TEST_P(rpn_malformed_test, fails) {
    std::vector<query_atom> atoms;
    EXPECT_FALSE(parse_rpn(GetParam(), atoms)) << GetParam();
}
INSTANTIATE_TEST_SUITE_P(cases, rpn_malformed_test,
                         testing::Values("WORD:", "nocolon", "WORD:a b", "META:nokey",
                                         "META:k:", ":value"));
// Texts that tokenise but are no expression the index can run (issue 14: they reached the index
// server and failed there as an internal error instead of a bad query).
INSTANTIATE_TEST_SUITE_P(
    structure, rpn_malformed_test,
    testing::Values("AND:2",                                   // operator without operands
                    "NOT:1",                                   // NOT without its operand
                    "WORD:a WORD:b",                           // two expressions left
                    "WORD:a WORD:b AND:+2",                    // count not a plain number
                    "WORD:a WORD:b AND:2:5",                   // nor a count with more after it
                    "WORD:a AND:0",                            // a count of zero
                    "WORD:a WORD:b AND:99999999999999999999",  // beyond any number
                    "WORD:a NOT:2",                            // NOT takes exactly one
                    "title:x WORD:a NEAR:2",                   // NEAR over a meta
                    "WORD:a NOT:1 WORD:b NEAR:2",              // NEAR over a negated word
                    "WORD:a WORD:b AND:2 WORD:c NEAR:2"));     // NEAR over a group

using alg_test = parser_test;
TEST_P(alg_test, gives_the_atoms) {
    expect_atoms(query_parser::alg);
}
INSTANTIATE_TEST_SUITE_P(
    cases, alg_test,
    testing::Values(parse_case{"  ", ""}, parse_case{"a", "WORD:a"},
                    parse_case{"a b", "WORD:a WORD:b AND:2"},
                    parse_case{"a b c", "WORD:a WORD:b AND:2 WORD:c AND:2"},
                    parse_case{"a|b", "WORD:a WORD:b OR:2"},
                    // Equal precedence, grouped from the left.
                    parse_case{"a | b & c", "WORD:a WORD:b OR:2 WORD:c AND:2"},
                    parse_case{"a & (b | c)", "WORD:a WORD:b WORD:c OR:2 AND:2"},
                    parse_case{"a (b|c)", "WORD:a WORD:b WORD:c OR:2 AND:2"},
                    parse_case{"!a", "WORD:a NOT:1"}, parse_case{"!!a", "WORD:a NOT:1 NOT:1"},
                    parse_case{"\"a b c\"", "WORD:a WORD:b WORD:c NEAR:3"},
                    parse_case{"x \"a b\" y", "WORD:x WORD:a WORD:b NEAR:2 AND:2 WORD:y AND:2"},
                    // Inside a phrase every token is a word, operators included.
                    parse_case{"\"a & b\"", "WORD:a WORD:& WORD:b NEAR:3"},
                    parse_case{"((a))", "WORD:a"}));

class alg_malformed_test : public testing::TestWithParam<std::string> {};
TEST_P(alg_malformed_test, fails) {
    std::vector<query_atom> atoms;
    EXPECT_FALSE(parse_alg(GetParam(), atoms)) << GetParam();
}
INSTANTIATE_TEST_SUITE_P(cases, alg_malformed_test,
                         testing::Values("a &", "| a", "a)", "(a", "()", "\"\"", "\"a b", "a !",
                                         "(a) b",
                                         // Deep nesting is refused, not a stack overflow.
                                         std::string(100000, '('), std::string(100000, '!')));

using net_test = parser_test;
TEST_P(net_test, gives_the_atoms) {
    expect_atoms(query_parser::net);
}
INSTANTIATE_TEST_SUITE_P(
    cases, net_test,
    testing::Values(parse_case{" ,;!? ", ""}, parse_case{"alpha", "WORD:alpha"},
                    parse_case{"alpha beta", "WORD:alpha WORD:beta AND:2"},
                    parse_case{"e-mail", "WORD:e WORD:mail NEAR:2"},
                    parse_case{"a.b c", "WORD:a WORD:b NEAR:2 WORD:c AND:2"},
                    parse_case{"-spam ham", "WORD:spam NOT:1 WORD:ham AND:2"},
                    parse_case{"\"new york\" -\"old town\" x",
                               "WORD:new WORD:york NEAR:2 WORD:old WORD:town NEAR:2 NOT:1 WORD:x "
                               "AND:3"},
                    // A phrase never closed ends with the text.
                    parse_case{"\"a b", "WORD:a WORD:b NEAR:2"},
                    // Words after the closing quote belong to the same term until a separator.
                    parse_case{"\"a b\"c d", "WORD:a WORD:b WORD:c NEAR:3 WORD:d AND:2"},
                    // An empty phrase makes no term; a minus sign between terms negates the
                    // next term, even across blanks.
                    parse_case{"\"\" - x", "WORD:x NOT:1"},
                    // Letters and numbers of any script make words; the no-break space
                    // (a separator) ends a term.
                    parse_case{"stra\xC3\x9F"
                               "e 42\xC2\xA0\xCE\xB1\xCE\xB2",
                               "WORD:stra\xC3\x9F"
                               "e WORD:42 WORD:\xCE\xB1\xCE\xB2 AND:3"},
                    // A broken byte is no letter: it parts words and never reaches them.
                    parse_case{"ab\xFF"
                               "cd",
                               "WORD:ab WORD:cd NEAR:2"}));

}  // namespace
}  // namespace marloven
