// fff_builder.h: small FFF documents for the index client's tests.
// SPDX-License-Identifier: MIT
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/FFF.h"

namespace vant_test {

// One run: a slice and its tokens, written as one text split at blanks.
struct run {
    std::uint32_t slice;
    std::string tokens;
};
// A paragraph: one sentence per run.
using paragraph = std::vector<run>;

inline std::unique_ptr<FFF::DocumentData> make_document(const std::vector<paragraph>& paragraphs,
                                                        const std::vector<FFF::meta>& metas = {}) {
    auto root = std::make_unique<FFF::DocumentData>();
    auto& contents = root->add<FFF::Contents>();
    contents.metas() = metas;
    for (const paragraph& p : paragraphs) {
        auto& para = contents.add<FFF::P>();
        for (const run& r : p) {
            auto& low = para.add<FFF::S>().add<FFF::Low>();
            low.dictid = r.slice;
            std::istringstream in(r.tokens);
            std::string t;
            while (in >> t) {
                low.words.push_back(t);
            }
        }
    }
    return root;
}

inline std::string make_blob(const std::vector<paragraph>& paragraphs,
                             const std::vector<FFF::meta>& metas = {}) {
    return FFF::ToBinary(*make_document(paragraphs, metas));
}

}  // namespace vant_test
