// metas.cc: sorting, de-duplication and the record coding of contents metadata.
// SPDX-License-Identifier: MIT
#include "worker/FFF/metas.h"

#include <algorithm>
#include <cstdint>
#include <tuple>

#include "util/log.h"
#include "util/math-coding.h"
#include "worker/FFF/tXMLTree.h"

namespace FFF {

namespace {

// The fields that decide order and equality; dictid is deliberately not among them.
auto sort_key(const meta& m) {
    return std::tie(m.type, m.key, m.value, m.beg, m.end);
}

std::size_t record_size(const meta& m) {
    using marloven::coded_size;
    std::size_t n = coded_size(m.type) + coded_size(m.dictid) +
                    coded_size(static_cast<std::uint32_t>(m.key.size())) + m.key.size() +
                    coded_size(static_cast<std::uint32_t>(m.value.size())) + m.value.size();
    if (m.type == meta_positional || m.type == meta_ranged) {
        n += coded_size(m.beg);
    }
    if (m.type == meta_ranged) {
        n += coded_size(m.end);
    }
    return n;
}

// Encodes one record into [p, e) and returns the number of bytes written. Never writes past
// `e`: for a record that does not fit it returns SIZE_MAX.
std::size_t encode_record(const meta& m, char* const begin, char* const e) {
    char* p = begin;
    bool fits = true;
    auto number = [&](std::uint32_t v) {
        const std::size_t n = fits && p < e ? marloven::encode_number(v, p, e - p) : 0;
        fits = n > 0;
        p += n;
    };
    auto bytes = [&](const std::string& s) {
        number(static_cast<std::uint32_t>(s.size()));
        fits = fits && s.size() <= static_cast<std::size_t>(e - p);
        if (fits) {
            p = std::copy(s.begin(), s.end(), p);
        }
    };
    number(m.type);
    number(m.dictid);
    bytes(m.key);
    bytes(m.value);
    if (m.type == meta_positional || m.type == meta_ranged) {
        number(m.beg);
    }
    if (m.type == meta_ranged) {
        number(m.end);
    }
    return fits ? static_cast<std::size_t>(p - begin) : SIZE_MAX;
}

}  // namespace

void write_metas(std::string& out, const std::vector<meta>& metas) {
    std::vector<meta> sorted(metas);
    for (auto& m : sorted) {
        VANT_CHECK(m.key.size() <= UINT32_MAX && m.value.size() <= UINT32_MAX,
                   "Meta text too long for the binary form");
        if (m.type != meta_positional && m.type != meta_ranged) {
            m.beg = 0;
        }
        if (m.type != meta_ranged) {
            m.end = 0;
        }
    }
    // Stable, so that of equal records the caller's first one survives with its dictid.
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const meta& a, const meta& b) { return sort_key(a) < sort_key(b); });
    sorted.erase(
        std::unique(sorted.begin(), sorted.end(),
                    [](const meta& a, const meta& b) { return sort_key(a) == sort_key(b); }),
        sorted.end());

    std::size_t total = 0;
    for (const auto& m : sorted) {
        total += record_size(m);
    }
    VANT_CHECK(total <= UINT32_MAX, "Metas too long for the binary form");
    marloven::append_number(out, static_cast<std::uint32_t>(total));
    for (const auto& m : sorted) {
        const std::size_t sl = record_size(m);
        const std::size_t start = out.size();
        out.resize(start + sl);
        char* const p = out.data() + start;
        const std::size_t se = encode_record(m, p, p + sl);
        VANT_CHECK_AS("src\\worker\\FFF\\metas", sl == se, "sl == se");
    }
}

void decode_metas(std::string_view bytes, std::vector<meta>& metas) {
    metas.clear();
    const char* const buf = bytes.data();
    const std::size_t len = bytes.size();
    std::size_t pos = 0;
    auto number = [&](std::uint32_t& v) {
        pos = marloven::decode_number(buf, len, pos, v);
        return pos != 0;
    };
    auto text = [&](std::string& s) {
        std::uint32_t n = 0;
        if (!number(n) || n > len - pos) {
            return false;
        }
        s.assign(buf + pos, n);
        pos += n;
        return true;
    };
    while (pos < len) {
        meta m;
        if (!number(m.type) || !number(m.dictid) || !text(m.key) || !text(m.value)) {
            return;
        }
        if ((m.type == meta_positional || m.type == meta_ranged) && !number(m.beg)) {
            return;
        }
        if (m.type == meta_ranged && !number(m.end)) {
            return;
        }
        metas.push_back(std::move(m));
    }
}

}  // namespace FFF
