// fff_dump.h: a compact text form of an FFF document for parser tests: paragraphs separated by
// " | ", sentences by " / ", runs as <dictid>[tokens] (link runs <dictid>#<urlid>[tokens]).
// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/FFF.h"

namespace vant_test {

inline std::string dump_fff(const FFF::DocumentData& doc) {
    struct dumper : marloven::tXMLTree::const_visitor {
        std::string out;
        bool first_p = true;
        bool first_s = true;
        void visit(const marloven::tXMLTree& node, unsigned, bool closing) override {
            if (closing) {
                return;
            }
            if (dynamic_cast<const FFF::P*>(&node) != nullptr) {
                out += first_p ? "" : " | ";
                first_p = false;
                first_s = true;
            } else if (dynamic_cast<const FFF::S*>(&node) != nullptr) {
                out += first_s ? "" : " / ";
                first_s = false;
            } else if (const auto* low = dynamic_cast<const FFF::Low*>(&node)) {
                if (out.size() > 0 && out.back() == ']') {
                    out += ' ';
                }
                out += std::to_string(low->dictid);
                if (FFF::carries_urlid(low->dictid)) {
                    out += "#" + std::to_string(low->urlid);
                }
                out += "[";
                bool first = true;
                for (std::string_view w : low->words) {
                    out += first ? "" : " ";
                    out += w;
                    first = false;
                }
                out += "]";
            }
        }
    } d;
    doc.accept(d, 0);
    return d.out;
}

// The dump of a serialised FFF document, or "<no document>".
inline std::string dump_fff_blob(const std::string& blob) {
    auto r = FFF::FromBinary(blob);
    auto* doc = dynamic_cast<FFF::DocumentData*>(r.root.get());
    return doc != nullptr ? dump_fff(*doc) : "<no document>";
}

}  // namespace vant_test
