// Fuzz target: configuration record texts (imported files, stored records). Reading any input
// must not crash, and whatever reads must write, read back equal, and write the same bytes; a
// source must also read back equal from the form that worker requests carry.
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "records/records.h"

namespace {

using namespace marloven;

template <typename Record>
void round_trip(std::string_view input) {
    Record first;
    if (!from_xml(input, first)) {
        return;
    }
    std::string written;
    FUZZ_CHECK(to_xml(first, written));
    Record second;
    FUZZ_CHECK(from_xml(written, second) && second == first);
    std::string again;
    FUZZ_CHECK(to_xml(second, again) && again == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    round_trip<SourceConfiguration>(input);
    round_trip<ArchiveConfiguration>(input);
    round_trip<CollectionConfiguration>(input);
    round_trip<WatchConfiguration>(input);
    round_trip<AuthConfiguration>(input);
    round_trip<Plugin>(input);
    round_trip<DocFilter>(input);
    round_trip<RendererPluginPipe>(input);
    round_trip<RootACL>(input);
    round_trip<LoginConfiguration>(input);
    // The form a worker request carries reads back as the source (log-in settings only for
    // cookie sources).
    SourceConfiguration source;
    if (from_xml(input, source)) {
        if (source.auth != auth_type::cookie) {
            source.cookie = {};
        }
        std::string sent;
        SourceConfiguration read;
        FUZZ_CHECK(write_source_xml(source, sent) && from_xml(sent, read) && read == source);
    }
    ArchiveConfiguration archive;
    if (from_index_xml(input, source, archive)) {
        std::string xml;
        FUZZ_CHECK(to_xml(source, xml) && to_xml(archive, xml));
    }
    return 0;
}
