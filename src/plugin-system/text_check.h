// text_check.h: the plug-in host's test for plain text, which metadata and tokens handed in by
// plug-ins must pass (and which plug-ins may call as the check_text service).
// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

namespace marloven {

// True when `text` is valid UTF-8 (a byte 0x80 to 0xC1 may not start a character) and holds no
// character of the classes "other" (control, format, surrogate, private use) or "unassigned", tab,
// line feed and carriage return excepted. The empty text passes.
bool is_plain_text(std::string_view text);

}  // namespace marloven
