// index_protocol.h: the conversation between the index storage client and the index server
// (idxserv): command numbers, field flags, per-term flags, slice weights and the server's limits.
// Both ends include this one header; a change here is a change of the wire format.
// Version log: 1 - first version (commands 0-15, term flags 0-6 and 16).
//              2 - a request beyond a limit, a negative length or an unknown command ends the
//                  conversation instead of being skipped.
//              3 - the hit counts of commands 7 and 8 are exact.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace marloven::index_protocol {

// Framing: every number is a 32-bit little-endian integer, every string a 32-bit length and the
// bytes. Every request starts with a command number and, except command 0, is answered with one
// number, -1 for failure. Requests may be pipelined: the server reads them one after another and
// answers each in order with exactly its one reply, a failed one included (a request that breaks a
// limit, below, is answered and ends the conversation).
enum class command : std::int32_t {
    quit = 0,            // commit, then the server ends; no reply
    commit = 1,          // make every change so far visible to queries
    begin_document = 2,  // start collecting fields
    text_field = 3,      // string name, string value, three field flags
    number_field = 4,    // string name, four numbers: the value (unsigned 32-bit), three flags
    end_document = 5,    // add the document collected since command 2
    remove = 6,          // number n, then n terms: flag, string value, string field
    query = 7,           // the query request (below); replies the hit count
    hit_count = 8,       // the number of hits of the last query
    select_hit = 10,     // number: position (0 is the first hit)
    hit_score = 11,      // the selected hit's relevance in millionths (1000000: a full match)
    stored_text = 12,    // string field; replies a status number, then the text as a string
    stored_number = 13,  // string field; replies the number (-1 when the field is not stored)
    optimise = 15,       // compact the index into a fresh copy and swap it in
};

// The three flags of commands 3 and 4, in wire order; a field flag is 0 or 1.
//   stored:     returned by commands 12 and 13 (the first value when a field repeats)
//   searchable: indexed as one exact term (command 6 and restrictions match it), and kept in a
//               value slot so that it can bound a range, a minimum or a sort order
//   tokenized:  split at the byte 0x01 into tokens, the last byte of each naming its slice
//               (slice + 64). A token holding ':' is a meta term "key:value", matched exactly;
//               any other token is a word, indexed at the next word position.
inline constexpr char token_separator = '\x01';
inline constexpr int slice_byte_offset = 64;

// The framing of a number, for both ends.
inline void append_number(std::string& out, std::int32_t v) {
    auto u = static_cast<std::uint32_t>(v);
    const char b[4] = {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                       static_cast<char>(u >> 24)};
    out.append(b, 4);
}
inline std::int32_t decode_number(const unsigned char b[4]) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24);
}

// Per-term flags. In a query the terms form a postfix expression; a term's flag is the type
// number of the query atom it comes from, and restrictions have a flag of their own:
enum class term_flag : std::int32_t {
    word = 0,    // value: the folded word; matches the word in any slice, weighted by slice
    not_ = 1,    // value: operand count, always "1"; the operand is subtracted from what the
                 // surrounding AND keeps (alone, from every document)
    and_ = 2,    // value: operand count n (decimal)
    or_ = 3,     // value: operand count n
    near = 4,    // value: "n" or "n:w": the n word operands within a window of w positions, in
                 // any order; w defaults to n + near_slack
    meta = 5,    // value: "key:value" exactly as the full text carries it (not folded)
    phrase = 6,  // value: n: the n word operands adjacent and in order
    // Not part of the expression: the document's field `field` must equal `value`. Several
    // restrictions on one field are alternatives (OR); restrictions on different fields must all
    // hold (AND). The client sends the archives ("arcid") and the view ("view") this way.
    restrict = 16,
};
inline constexpr int near_slack = 4;

// Command 6 knows one flag: 0, the field `field` equals `value` exactly.
inline constexpr std::int32_t remove_exact = 0;

// Slice weights: the query's pairs (slice, weight) override the defaults below for that slice;
// a pair with slice 0 sets every slice that no other pair names. Weights are hundredths of the
// weight of normal body text (100); 0 keeps the slice searchable but gives it no relevance;
// negative weights count as 0. With pairs, relevance is the sum over the slices where a query
// word occurs of the word's BM25 weight within that slice times the slice's weight. Without
// pairs, each occurrence of a word counts its slice's default weight into the word's frequency
// (weight / 25, at least 1) and relevance is the BM25 weight of that frequency: the same order
// of preference at the cost of one term per word. The defaults are therefore part of the index:
// changing them takes a reindex.
inline constexpr int max_slice = 63;
inline constexpr int default_slice_weight(int slice) {
    switch (slice) {
        case 15:  // title
            return 800;
        case 9:   // marginaHeader
        case 14:  // centralHeader
            return 400;
        case 1:  // author
        case 2:  // keyword
        case 3:  // abstract
            return 300;
        case 11:  // centralEmph
            return 200;
        case 5:  // marginalNorm
        case 6:  // marginalEmph
        case 7:  // marginalLink
        case 8:  // marginalRemoteLink
            return 50;
        case 4:  // invisible
            return 25;
        default:  // central text, links, custom slices
            return 100;
    }
}

// Range and minimum: the range field (empty: none) must lie between the minimum and the maximum,
// a maximum of 0 meaning no upper bound; the score field's value must not be below the minimum
// text (text order; empty: no bound). The sort field (empty: relevance) orders the hits,
// descending when the flag is 1, ties broken by relevance.

// The server's limits. A count or length beyond them (or a negative one, or an unknown command)
// breaks the conversation: the server answers that request once with -1 (command 12: -1 and an
// empty string), reads nothing more and closes the connection, so that the rest of a refused
// request can never be taken for commands. The client checks every request against these limits
// before sending it and never sends one that breaks them.
inline constexpr std::size_t max_name_length = 256;
inline constexpr std::size_t max_value_length = 64u << 20;
inline constexpr std::int32_t max_terms = 4096;
inline constexpr std::int32_t max_weight_pairs = 256;
inline constexpr std::int32_t max_fields_per_document = 4096;

// Environment of the server: the index directory (default "index" in the working directory) and
// the tuning values passed on from the configuration keys MERGEFACTOR, MINMERGEDOCS,
// MAXMERGEDOCS and MAXFIELDLENGTH (see programs/idxserv/main.cc for their meaning).
inline constexpr const char* env_index_dir = "VANT_INDEX_DIR";
inline constexpr const char* env_merge_factor = "LUCENE_MERGEFACTOR";
inline constexpr const char* env_min_merge_docs = "LUCENE_MINMERGEDOCS";
inline constexpr const char* env_max_merge_docs = "LUCENE_MAXMERGEDOCS";
inline constexpr const char* env_max_field_length = "LUCENE_MAXFIELDLENGTH";

}  // namespace marloven::index_protocol
