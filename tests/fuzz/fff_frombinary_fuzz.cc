// Fuzz target: the FFF binary reader on arbitrary blobs, then writing and rendering what it gave.
// SPDX-License-Identifier: MIT
#include "fuzz_check.h"
#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/renderers.h"

FUZZ_TEXT_TARGET(blob) {
    auto got = FFF::FromBinary(blob);
    if (!got.root) {
        return;
    }
    // Whatever was read must write out as a blob that reads back whole and writes the same.
    const std::string again = FFF::ToBinary(*got.root);
    auto reread = FFF::FromBinary(again);
    FUZZ_CHECK(reread.root && reread.state == FFF::read_state::Complete &&
               FFF::ToBinary(*reread.root) == again);
    // Both renderings walk whatever came out, link ids out of range included.
    FFF::render_xml("id", "url", 0, *got.root);
    FFF::render_html("id", "url", 0, *got.root);
}
