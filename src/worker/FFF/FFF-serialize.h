// FFF-serialize.h: an FFF document as one byte string (the form that workers send, document
// storage keeps and the index client reads), and the link record of the worker protocol.
//
// Blob: the version number 100, then the root node: its kind number and its body. Numbers use
// the 7-bit group coding of util/math-coding.h; byte strings are a length and the bytes.
// Bodies, by kind:
//   6 documentdata  children; score; link count; per link: url, score
//   0 documentdata_basic (read only)  children; link count; per link: url
//   5 contents      children; metas (one byte string, worker/FFF/metas.h)
//   1 contents_basic (read only)  children
//   2 p, 3 s        children
//   4 low           dictid (16-bit); urlid only for dictid 7 and 12; word count; words
// Children: their count, then each child's kind number and body.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "worker/FFF/FFF.h"

namespace FFF {

// The binary form of the tree under `root`.
std::string ToBinary(const tXMLTree& root);

struct binary_result {
    std::unique_ptr<tXMLTree> root;        // nothing when the blob gave no tree
    read_state state = read_state::Empty;  // Empty whenever there is no root
};

// Reads a blob made by ToBinary (or cut short, or damaged). Gives no root for a blob without the
// version number 100, an unknown kind number, a node cut before its kind number, or nesting
// deeper than tree_reader::default_max_depth. Otherwise gives the root and how much of it was
// read: a cut-short blob gives the part before the cut with state Incomplete or Empty. Bytes
// after the root are ignored. Never stops the program; work and memory stay proportional to
// the size of the blob.
binary_result FromBinary(std::string_view blob);

// The string and number framing of a byte stream; the worker protocol implements it over its
// channel, with its own failure reporting (typically by throwing).
class link_stream {
  public:
    virtual ~link_stream() = default;
    virtual void write_string(std::string_view s) = 0;
    virtual void write_number(std::uint32_t n) = 0;
    virtual std::string read_string() = 0;
    virtual std::uint32_t read_number() = 0;
};

// A link record on a stream: the url, then the score.
void write_link(link_stream& out, const link& l);
// Reads one link record and logs it at level BORING.
link read_link(link_stream& in);

}  // namespace FFF
