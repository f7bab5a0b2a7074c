// compressed.cc: zlib compression of stored values, and the checked inflation that reads them.
// SPDX-License-Identifier: MIT
#include "db/compressed.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace marloven {

int compress_blob(std::string_view bytes, std::string& out) {
    out.clear();
    if (bytes.empty()) {
        return Z_OK;
    }
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    out.resize(size);
    int r =
        compress(reinterpret_cast<Bytef*>(out.data()), &size,
                 reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()));
    out.resize(r == Z_OK ? size : 0);
    return r;
}

namespace {

// zlib's stream state, ended on every path.
class inflater {
  public:
    inflater() : rc_(inflateInit(&z_)) {}
    ~inflater() {
        if (rc_ == Z_OK) {
            inflateEnd(&z_);
        }
    }
    inflater(const inflater&) = delete;
    inflater& operator=(const inflater&) = delete;
    bool ready() const { return rc_ == Z_OK; }
    z_stream& stream() { return z_; }

  private:
    z_stream z_{};
    int rc_;
};

// The first buffer: a stored length is only believed as far as the data bears it out.
constexpr std::size_t first_chunk = std::size_t{64} * 1024;

std::string zlib_reason(int r, const z_stream& z) {
    return std::string("not zlib data (") + (z.msg != nullptr ? z.msg : zError(r)) + ")";
}

}  // namespace

std::optional<std::string> inflate_blob(std::string_view blob, std::int64_t length,
                                        std::string& out) {
    out.clear();
    if (blob.empty()) {
        return std::nullopt;
    }
    if (length < 0 || length > max_blob_length) {
        return "stored length " + std::to_string(length) + " is out of range";
    }
    if (blob.size() > UINT_MAX) {
        return std::string("blob too large");
    }
    const auto want = static_cast<std::size_t>(length);
    inflater inf;
    if (!inf.ready()) {
        return std::string("out of memory");
    }
    z_stream& z = inf.stream();
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(blob.data()));
    z.avail_in = static_cast<uInt>(blob.size());
    std::string buf(std::min(want, first_chunk), '\0');
    std::size_t produced = 0;
    unsigned char spare = 0;  // room for one byte beyond the stored length, to detect more data
    while (true) {
        bool beyond = produced == buf.size();
        if (beyond && buf.size() < want) {
            buf.resize(std::min(want, buf.size() * 2));
            beyond = false;
        }
        if (beyond) {
            z.next_out = &spare;
            z.avail_out = 1;
        } else {
            z.next_out = reinterpret_cast<Bytef*>(buf.data() + produced);
            z.avail_out = static_cast<uInt>(buf.size() - produced);
        }
        const uInt before = z.avail_out;
        const int r = inflate(&z, Z_NO_FLUSH);
        if (beyond && z.avail_out != before) {
            return "inflates to more than the stored length " + std::to_string(length);
        }
        produced += before - z.avail_out;
        if (r == Z_STREAM_END) {
            break;
        }
        // There is always room for output, so a buffer error means the input ran out.
        if (r == Z_BUF_ERROR) {
            return "data ends early, after " + std::to_string(produced) + " of " +
                   std::to_string(length) + " bytes";
        }
        if (r != Z_OK) {
            return zlib_reason(r, z);
        }
    }
    if (produced != want) {
        return "inflates to " + std::to_string(produced) + " bytes, not the stored length " +
               std::to_string(length);
    }
    buf.resize(produced);
    out = std::move(buf);
    return std::nullopt;
}

}  // namespace marloven
