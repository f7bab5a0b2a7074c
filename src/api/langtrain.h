// langtrain.h: the built-in training text of the language recognizer plug-in, the configuration
// of the default "SLR" plug-in record that start-up creates.
// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

namespace marloven {

// UTF-8 with CRLF line ends. '#' lines are comments; each language is a section of the line
// "###BEGIN###", a line "<number> <ISO 639-1 code>", sample text lines, and "###END###".
// Sections: 1 en, 2 it, 3 fr, 4 de, 5 es, 6 pt, 7 da, 8 nl, 9 is, 10 no, 11 sv.
std::string_view language_training_text();

}  // namespace marloven
