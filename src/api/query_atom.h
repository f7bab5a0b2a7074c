// query_atom.h: query atoms in postfix order, as the query parsers produce them and the index
// client sends them. (Moves to the index client's header once that is built.)
// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace marloven {

enum class query_atom_type : int {
    ATOM_WORD = 0,
    ATOM_NOT = 1,
    ATOM_AND = 2,
    ATOM_OR = 3,
    ATOM_NEAR = 4,
    ATOM_META = 5,
};

struct query_atom {
    query_atom_type type = query_atom_type::ATOM_WORD;
    std::string param;
    std::string meta;
};

}  // namespace marloven
