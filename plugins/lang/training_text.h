// training_text.h: the training text of the language recogniser: its sections, one per
// language, read from the plug-in record's configuration (or from the built-in text).
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace marloven::slr {

// One language of a training text.
struct training_section {
    std::string code;  // the language code the plug-in reports, as the section names it ("en")
    std::string text;  // the sample lines, joined by line feeds
    int line = 0;      // the line of the section's "###BEGIN###", for messages
};

// A training text's sections in the order they stand, or the reason it is unusable.
struct training_result {
    std::vector<training_section> sections;
    std::string error;  // empty when the text is usable
};

// The largest training text accepted: training time grows with it, and training runs under the
// worker's time limit.
constexpr std::size_t max_training_bytes = std::size_t{8} * 1024 * 1024;

// Reads a training text. Lines end with LF or CR LF. Each language is a section:
//
//     ###BEGIN###
//     <number> <code>          the number orders the sections and is not used otherwise; the
//                              code is 2 to 8 lower-case letters, digits and '-', starting with
//                              a letter ("en", "pt-br")
//     sample text lines...
//     ###END###
//
// Lines whose first character is '#' are comments, inside sections and out; blank lines are
// ignored. The text must be UTF-8. A section without its header line, a code given twice, text
// outside a section, a section left open at the end, or a text with no section is an error that
// names the line.
training_result read_training_text(std::string_view text);

// The training text built into the plug-in: eleven languages (en, it, fr, de, es, pt, da, nl,
// is, no, sv), the same text the server gives the default SLR plug-in record.
std::string_view builtin_training_text();

}  // namespace marloven::slr
