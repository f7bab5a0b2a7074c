// FFF-serialize.cc: whole documents to and from their binary form; link records on a stream.
// SPDX-License-Identifier: MIT
#include "worker/FFF/FFF-serialize.h"

#include <cstddef>

#include "util/log.h"

namespace FFF {

namespace {

// A close guess of the blob's size, so that ToBinary allocates once: growing a string of
// hundreds of kilobytes step by step costs several times the writing itself. Being a guess, it
// follows the layout only roughly; the string still grows if the guess is short.
std::size_t estimated_size(const tXMLTree& root) {
    struct estimator : tXMLTree::const_visitor {
        std::size_t bytes = 16;
        void visit(const tXMLTree& node, unsigned, bool closing) override {
            if (closing) {
                return;
            }
            bytes += 2;  // kind number and child count, as most are below 128
            if (auto* low = dynamic_cast<const Low*>(&node)) {
                bytes += 2 + low->words.text_size() + low->words.size();
            } else if (auto* doc = dynamic_cast<const DocumentData*>(&node)) {
                for (const auto& l : doc->links()) {
                    bytes += l.url.size() + 5;
                }
            } else if (auto* contents = dynamic_cast<const Contents*>(&node)) {
                for (const auto& m : contents->metas()) {
                    bytes += m.key.size() + m.value.size() + 8;
                }
            }
        }
    } e;
    root.accept(e, 0);
    return e.bytes;
}

}  // namespace

std::string ToBinary(const tXMLTree& root) {
    std::string out;
    out.reserve(estimated_size(root));
    marloven::append_number(out, format_version);
    marloven::append_number(out, root.kind());
    root.write(out);
    return out;
}

binary_result FromBinary(std::string_view blob) {
    binary_result result;
    tree_reader in(blob, kindTable());
    std::uint32_t version = 0;
    if (!in.number(version) || version != kindTable().version()) {
        return result;
    }
    result.root = in.node(result.state);
    if (!result.root) {
        result.state = read_state::Empty;
    }
    return result;
}

void write_link(link_stream& out, const link& l) {
    out.write_string(l.url);
    out.write_number(l.score);
}

link read_link(link_stream& in) {
    link l;
    l.url = in.read_string();
    l.score = in.read_number();
    VANT_LOG_AS("src\\worker\\FFF\\FFF-serialize", FFF, boring)
        << "Received link " << l.url << " (" << l.score << ")";
    return l;
}

}  // namespace FFF
