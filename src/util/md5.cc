// md5.cc: the hexadecimal MD5 digest, through OpenSSL's crypto library.
// SPDX-License-Identifier: MIT
#include "util/md5.h"

#include <openssl/evp.h>

#include "util/log.h"

namespace marloven {

std::string md5_hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    VANT_ASSERT(EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr) == 1);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(std::size_t{2} * size);
    for (unsigned int i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

}  // namespace marloven
