// Fuzz target: configuration record texts (imported files, stored records). Reading any input
// must not crash, and whatever reads must write, read back equal, and write the same bytes; a
// source must also read back equal from the form that worker requests carry.
// SPDX-License-Identifier: MIT
#include <string>

#include "fuzz_check.h"
#include "records/records.h"

namespace {

using namespace marloven;

template <typename... Records>
void round_trip(std::string_view input) {
    auto one = [input](auto first) {
        if (!from_xml(input, first)) {
            return;
        }
        std::string written, again;
        FUZZ_CHECK(to_xml(first, written));
        decltype(first) second;
        FUZZ_CHECK(from_xml(written, second) && second == first);
        FUZZ_CHECK(to_xml(second, again) && again == written);
    };
    (one(Records{}), ...);
}

}  // namespace

FUZZ_TEXT_TARGET(input) {
    round_trip<SourceConfiguration, ArchiveConfiguration, CollectionConfiguration,
               WatchConfiguration, AuthConfiguration, Plugin, DocFilter, RendererPluginPipe,
               RootACL, LoginConfiguration>(input);
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
    std::string xml;
    FUZZ_CHECK(!from_index_xml(input, source, archive) ||
               (to_xml(source, xml) && to_xml(archive, xml)));
}
