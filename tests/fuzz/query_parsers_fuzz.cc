// Fuzz target: the RPN, ALG and NET query parsers and the query log text.
// SPDX-License-Identifier: MIT
#include <string>
#include <vector>

#include "api/query_parsers.h"
#include "fuzz_check.h"
#include "util/charsets.h"

using namespace marloven;

namespace {

// Whether `atoms` is empty or one postfix expression whose operators all find their operands.
// Every atom has its parameter, and words are valid UTF-8 (folding succeeds only on that).
bool well_formed(const std::vector<query_atom>& atoms) {
    long long total = 0;
    for (const query_atom& a : atoms) {
        FUZZ_CHECK(!a.param.empty());
        if (a.type == query_atom_type::ATOM_WORD || a.type == query_atom_type::ATOM_META) {
            ++total;
        } else if (a.type != query_atom_type::ATOM_NOT) {
            total += 1 - std::stoll(a.param);
        }
    }
    return atoms.empty() || total == 1;
}

}  // namespace

FUZZ_TEXT_TARGET(text) {
    std::vector<query_atom> atoms;
    // RPN: what parses is logged as a text that parses back to the same log text.
    if (parse_rpn(text, atoms)) {
        for (const query_atom& a : atoms) {
            FUZZ_CHECK(!a.param.empty());
        }
        std::vector<query_atom> again;
        const std::string log = query_log_text(atoms);
        FUZZ_CHECK(parse_rpn(log, again) && query_log_text(again) == log);
    }
    // ALG: a successful parse is empty or exactly one expression; NET always is.
    FUZZ_CHECK(!parse_alg(text, atoms) || well_formed(atoms));
    parse_net(text, atoms);
    FUZZ_CHECK(well_formed(atoms));
    for (const query_atom& a : atoms) {
        std::string folded;
        FUZZ_CHECK(a.type != query_atom_type::ATOM_WORD || fold_utf8(a.param, folded));
    }
}
