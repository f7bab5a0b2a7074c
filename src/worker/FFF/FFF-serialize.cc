// FFF-serialize.cc: whole documents to and from their binary form; link records on a stream.
// SPDX-License-Identifier: MIT
#include "worker/FFF/FFF-serialize.h"

#include "util/log.h"

namespace FFF {

std::string ToBinary(const tXMLTree& root) {
    std::string out;
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
