// researchhandler.h: the search provider of the Research pane of Office clients ("/research",
// namespace "urn:Microsoft.Search"): "Registration" offers every collection the caller may read
// as one service; "Query" searches the collections a query packet names.
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/api-common.h"
#include "soap/dispatcher.h"

namespace marloven {

// One query of a query packet: a collection and the results wanted (positions counted from 0).
struct research_query {
    int collection = 0;
    std::int32_t first = 0;
    std::int32_t last = 4;
    std::string text;
};

// The identifier of the provider, and the service identifier of a collection: a GUID in braces
// whose first group is the collection number in eight upper-case hexadecimal digits.
extern const std::string_view research_provider_id;
std::string research_service_id(int collection);
// The collection a service identifier names, or nothing when it is not one of this server's.
std::optional<int> research_collection(std::string_view service_id);

// The queries of a query packet (QueryXMLParser): one per "Query" element whose domain is a
// service identifier of this server, with its "QueryText", "StartAt" (from 1) and "Count". A
// packet that is not well-formed XML gives none.
std::vector<research_query> parse_query_packet(std::string_view xml);

// Purpose: serves one call of the Research-pane service.
// Ownership: borrows the caller's session for the call.
// Failure: a collection that cannot be listed or a query that fails is left out of the answer;
// faults only for calls that are not understood.
// Threads: one request thread; built for one call.
class MarlovenResearchHandler {
  public:
    // `host` and `port` are how the client reached the server; `secure` selects https.
    MarlovenResearchHandler(const api_session& session, std::string host, int port, bool secure);
    MarlovenResearchHandler(const MarlovenResearchHandler&) = delete;
    MarlovenResearchHandler& operator=(const MarlovenResearchHandler&) = delete;

    const soap::dispatcher& dispatcher() const { return dispatcher_; }

    // The provider update ("Registration") and the response packet to a query packet ("Query").
    std::string provider_update() const;
    std::string response_packet(std::string_view query_xml) const;

  private:
    const api_session& session_;
    std::string host_;
    int port_;
    bool secure_;
    soap::dispatcher dispatcher_;
};

}  // namespace marloven
