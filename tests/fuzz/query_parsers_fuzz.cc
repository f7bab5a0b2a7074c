// Fuzz target: the RPN, ALG and NET query parsers and the query log text.
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/query_parsers.h"
#include "fuzz_check.h"
#include "util/charsets.h"

using namespace marloven;

namespace {

// Postfix balance: every operator finds its operands and one expression remains.
long long balance(const std::vector<query_atom>& atoms) {
    long long total = 0;
    for (const query_atom& a : atoms) {
        switch (a.type) {
            case query_atom_type::ATOM_WORD:
            case query_atom_type::ATOM_META:
                ++total;
                break;
            case query_atom_type::ATOM_AND:
            case query_atom_type::ATOM_OR:
            case query_atom_type::ATOM_NEAR:
                total += 1 - std::stoll(a.param);
                break;
            case query_atom_type::ATOM_NOT:
                break;
        }
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<query_atom> atoms;

    // RPN: what parses is logged as a text that parses back to the same log text.
    if (parse_rpn(text, atoms)) {
        for (const query_atom& a : atoms) {
            FUZZ_CHECK(!a.param.empty());
        }
        std::vector<query_atom> again;
        const std::string log = query_log_text(atoms);
        FUZZ_CHECK(parse_rpn(log, again));
        FUZZ_CHECK(query_log_text(again) == log);
    }

    // ALG: a successful parse is empty or exactly one postfix expression.
    if (parse_alg(text, atoms)) {
        FUZZ_CHECK(atoms.empty() || balance(atoms) == 1);
        for (const query_atom& a : atoms) {
            FUZZ_CHECK(!a.param.empty());
        }
    }

    // NET: always one expression of valid UTF-8 words (or nothing).
    parse_net(text, atoms);
    FUZZ_CHECK(atoms.empty() || balance(atoms) == 1);
    for (const query_atom& a : atoms) {
        FUZZ_CHECK(!a.param.empty());
        std::string folded;  // folding succeeds only on valid UTF-8
        FUZZ_CHECK(a.type != query_atom_type::ATOM_WORD || fold_utf8(a.param, folded));
    }
    return 0;
}
