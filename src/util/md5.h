// md5.h: the MD5 digest as 32 lower-case hexadecimal digits, the form in which the daemon keeps
// password hashes, document guids and the installation's platform guid.
// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

namespace marloven {

// The lower-case hexadecimal MD5 digest of `text` ("%02x" per byte).
std::string md5_hex(std::string_view text);

}  // namespace marloven
