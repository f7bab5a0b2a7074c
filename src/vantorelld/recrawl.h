// recrawl.h: what a crawl thread keeps of a stored version so that fetching the URL again is
// cheap when the page has not changed: its validators go to the worker, which asks the server
// conditionally and compares the body, and an UNCHANGED answer is completed from the stored copy
// (with the links its last fetch followed) instead of a parse.
// SPDX-License-Identifier: MIT
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "docstorage/docstorage.h"
#include "worker/protocol.h"
#include "worker/validators.h"

namespace marloven {

// The extra value of a stored version that holds the links its fetch queued (the worker's
// links that passed the source's filters), so that an unchanged page need not be parsed again.
inline constexpr std::string_view outlinks_key = "Outlinks";

// What the Outlinks value keeps: the links, and the checksum of the body they came from (values
// written before it was kept have none).
struct stored_links {
    std::vector<outlink> links;
    std::optional<body_checksum> body;
    bool operator==(const stored_links&) const = default;
};

// The newest stored version of a URL with its extra values and followed links. Unless it was
// loaded whole, its body and FFF are not read (left empty): confirming an unchanged page needs
// only its head, its links and its body's checksum.
struct stored_copy {
    document_version doc;
    extra_values extra;
    std::vector<outlink> links;
    body_checksum body;
    bool whole = false;
};

// The newest version of `url` in `arcid` when it can stand in for a fetch: a good document
// (error 0) kept whole, with the links of its fetch. `whole` reads its body and FFF too (they
// are also read when the stored links have no body checksum). Reads inside the caller's
// transaction.
std::optional<stored_copy> load_stored_copy(sqlite3* db, const docstorage& documents,
                                            std::uint32_t arcid, std::string_view url, bool whole);

// The validators a conditional fetch of the stored version sends: its ETag, its Last-Modified
// and the checksum of its body.
stored_validators validators_of(const stored_copy& copy);

// The links and body checksum as the Outlinks value keeps them, and back. A value that is not
// in this form, or holds more than max_outlinks_per_page + 1 links, gives nothing.
std::string encode_outlinks(const std::vector<outlink>& links, const body_checksum& body);
std::optional<stored_links> decode_outlinks(std::string_view text);

// Completes a worker's UNCHANGED reply from the stored copy, as if the worker had fetched and
// parsed the stored body again: checksums, FFF, score, type, headers, body, side metadata and
// links. The status becomes NONE, so that the comparison with the stored version decides. A copy
// not loaded whole leaves body and FFF empty: only a reply that confirms its version may use it.
void complete_from_stored(stored_copy copy, process_reply& reply);

}  // namespace marloven
