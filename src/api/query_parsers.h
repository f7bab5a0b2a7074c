// query_parsers.h: the three query languages (RPN, ALG, NET) turned into postfix query atoms,
// and the RPN text under which a query is logged.
// SPDX-License-Identifier: MIT
//
// RPN: blank-separated tokens "WORD:w", "NOT:n", "AND:n", "OR:n", "NEAR:n", "META:key:value";
//      a token without a label is "key:value" (a META atom).
// ALG: words joined by & (AND) and | (OR) with equal precedence from the left, ! (NOT),
//      parentheses and "quoted phrases"; blank-separated words are joined by &.
// NET: the search-box form: words, "quoted phrases" and -negated terms, all joined by AND;
//      words of one term (e-mail, a.b) must stand near each other.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "idxstorage/idxstorage.h"
#include "records/records.h"

namespace marloven {

// True when `atoms` is empty or one postfix expression that the index can run: every operator
// finds its operands, operand counts are decimal numbers of at least 1 (NOT's is 1), NEAR
// combines single words only (within a window, when its meta gives one, that holds them), and
// words and metas are not empty.
bool well_formed_query(const std::vector<query_atom>& atoms);

// Each parser empties `atoms` first and returns false on malformed text (the atoms are then
// unspecified); what RPN and ALG accept is well formed. An empty text gives no atoms and
// succeeds.
bool parse_rpn(std::string_view text, std::vector<query_atom>& atoms);
bool parse_alg(std::string_view text, std::vector<query_atom>& atoms);
// Never fails; words are cut by the Unicode character classes (letters and numbers make words,
// separators end terms) and are written as valid UTF-8.
void parse_net(std::string_view text, std::vector<query_atom>& atoms);

// Parses `text` with one of the three parsers; false for any other parser value.
bool parse_query(query_parser parser, std::string_view text, std::vector<query_atom>& atoms);

// The atoms as RPN text, blank-separated: "WORD:alpha WORD:beta AND:2", "META:title:gamma".
std::string query_log_text(const std::vector<query_atom>& atoms);

}  // namespace marloven
