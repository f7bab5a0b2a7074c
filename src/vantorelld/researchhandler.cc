// researchhandler.cc: the Research-pane provider: registration, query packets and responses.
// SPDX-License-Identifier: MIT
#include "vantorelld/researchhandler.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>

#include "api/crawl.h"
#include "api/operations.h"
#include "soap/contract.h"
#include "util/http_text.h"
#include "util/xml_parser.h"

namespace marloven {

namespace {

constexpr std::string_view query_ns = "urn:Microsoft.Search.Query";
// The four groups that follow the collection number in a service identifier.
constexpr std::string_view service_tail = "-4D61-726C-6F76-656E52657365}";
constexpr std::string_view copyright = "Copyright (c) marloven. All rights reserved.";

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// A positive decimal number, or nothing.
std::optional<std::int32_t> positive(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    std::int32_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || n < 1) {
        return std::nullopt;
    }
    return n;
}

// Reads the queries of a packet: elements of the query namespace; a "Query" element opens an
// entry when its domain is one of this server's services, and hides its content otherwise.
class query_packet_reader final : public xml_handler {
  public:
    std::vector<research_query> queries;

    void start_element(std::string_view ns, std::string_view name,
                       const xml_attributes& attributes) override {
        ++depth_;
        text_.clear();
        const bool ours = ignored_at_ == 0 && ns == query_ns;
        names_.emplace_back(ours ? name : std::string_view());
        if (!ours || name != "Query") {
            return;
        }
        std::optional<int> collection;
        if (auto domain = attributes.find("", "domain")) {
            collection = research_collection(*domain);
        }
        if (collection) {
            queries.push_back(research_query{*collection, 0, 4, {}});
            in_query_ = true;
        } else {
            ignored_at_ = depth_;
        }
    }

    void end_element() override {
        const std::string name = std::move(names_.back());
        names_.pop_back();
        if (ignored_at_ == depth_) {
            ignored_at_ = 0;
        }
        --depth_;
        if (!in_query_) {
            return;
        }
        research_query& q = queries.back();
        if (name == "Query") {
            in_query_ = false;
        } else if (name == "QueryText") {
            q.text = text_;
        } else if (name == "StartAt") {
            if (auto start = positive(text_)) {
                q.first = *start - 1;
            }
        } else if (name == "Count") {
            if (auto count = positive(text_)) {
                q.last = static_cast<std::int32_t>(std::min<std::int64_t>(
                    std::int64_t{q.first} + *count - 1, std::numeric_limits<std::int32_t>::max()));
            }
        }
    }

    void text(std::string_view data) override { text_.append(data); }

  private:
    int depth_ = 0;
    int ignored_at_ = 0;  // the depth of the ignored Query element; 0 for none
    bool in_query_ = false;
    std::string text_;                // character data since the last start tag
    std::vector<std::string> names_;  // open elements: local names of ours, else empty
};

}  // namespace

const std::string_view research_provider_id = "{8C5E1A3B-2F47-4D19-9B6E-0A7C3D5F1E24}";

std::string research_service_id(int collection) {
    char head[16];
    std::snprintf(head, sizeof head, "{%8.8X", static_cast<unsigned>(collection));
    return head + std::string(service_tail);
}

std::optional<int> research_collection(std::string_view service_id) {
    if (!service_id.starts_with('{')) {
        return std::nullopt;
    }
    std::size_t dash = service_id.find('-');
    if (dash == std::string_view::npos || dash < 2 || dash > 9 ||
        !iequals(service_id.substr(dash), service_tail)) {
        return std::nullopt;
    }
    unsigned number = 0;
    std::string_view hex = service_id.substr(1, dash - 1);
    auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), number, 16);
    if (ec != std::errc() || end != hex.data() + hex.size() ||
        number > static_cast<unsigned>(std::numeric_limits<int>::max())) {
        return std::nullopt;
    }
    return static_cast<int>(number);
}

std::vector<research_query> parse_query_packet(std::string_view xml) {
    query_packet_reader reader;
    guarded_xml_parser parser(reader, nullptr);
    if (!parser.feed(xml, true)) {
        return {};
    }
    return std::move(reader.queries);
}

MarlovenResearchHandler::MarlovenResearchHandler(const api_session& session, std::string host,
                                                 int port, bool secure)
    : session_(session),
      host_(std::move(host)),
      port_(port),
      secure_(secure),
      dispatcher_(soap::research_service()) {
    dispatcher_.add("Registration", [this](soap::call& c) {
        std::string registration;  // read, not interpreted
        c.param("registrationXml", registration);
        c.result("return", provider_update());
    });
    dispatcher_.add("Query", [this](soap::call& c) {
        std::string packet;
        c.param("queryXml", packet);
        c.result("return", response_packet(packet));
    });
}

std::string MarlovenResearchHandler::provider_update() const {
    const std::string port = port_ == 80 ? std::string() : ":" + std::to_string(port_);
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
        "<ProviderUpdate xmlns=\"urn:Microsoft.Search.Registration.Response\">"
        "<Status>SUCCESS</Status><Providers><Provider>"
        "<Message>marloven vantorell research library</Message><Id>";
    out += research_provider_id;
    out += "</Id><Name>marloven vantorell</Name><QueryPath>http";
    out += secure_ ? "s" : "";
    out += "://" + host_ + port + "/research</QueryPath>";
    out += "<RegistrationPath>http://" + host_ + port + "/research</RegistrationPath>";
    out += "<AboutPath/><Type>SOAP</Type><Services>";
    std::vector<config_info<CollectionConfiguration>> collections;
    api_result r;
    {
        api_transaction t(session_.db);
        EnumCollectionConfigurations(session_, r, collections);
    }
    if (!r.failed()) {
        for (const auto& c : collections) {
            out += "<Service><Id>" + research_service_id(c.id) +
                   "</Id><Name>marloven vantorell: " + escape_xml(c.configuration.name) +
                   "</Name><Description>marloven vantorell collection</Description><Copyright>" +
                   escape_xml(copyright) +
                   "</Copyright><Display>On</Display><Category>RESEARCH_GENERAL</Category>"
                   "</Service>";
        }
    }
    out += "</Services></Provider></Providers></ProviderUpdate>";
    return out;
}

std::string MarlovenResearchHandler::response_packet(std::string_view query_xml) const {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
        "<ResponsePacket revision=\"1\" xmlns=\"urn:Microsoft.Search.Response\">";
    for (const research_query& entry : parse_query_packet(query_xml)) {
        query_request q;
        q.collection = entry.collection;
        q.first = entry.first;
        q.last = entry.last;
        q.min_time = 0;
        q.max_time = 2000000000;
        q.min_score = 0;
        q.parser = query_parser::net;
        q.text = entry.text;
        api_result r;
        std::vector<query_hit> hits;
        std::int32_t count = -1;
        {
            api_transaction t(session_.db);
            Query(session_, r, q, hits, count);
        }
        if (r.failed() || count < 0) {
            continue;
        }
        out += "<Response domain=\"" + research_service_id(entry.collection) +
               "\"><Range><StartAt>" + std::to_string(std::int64_t{entry.first} + 1) +
               "</StartAt><Count>" + std::to_string(std::int64_t{entry.last} - entry.first + 1) +
               "</Count><TotalAvailable>" + std::to_string(count) +
               "</TotalAvailable><Results>"
               "<Content xmlns=\"urn:Microsoft.Search.Response.Content\">";
        for (const query_hit& h : hits) {
            out += "<Heading collapsible=\"true\"><Text>" + escape_xml(h.title) +
                   "</Text><Hyperlink url=\"" + escape_xml(h.url) + "\"><Text>" +
                   escape_xml(h.url) + "</Text></Hyperlink></Heading><HorizontalRule/>";
        }
        out += "</Content></Results></Range><Status>SUCCESS</Status></Response>";
    }
    out += "</ResponsePacket>";
    return out;
}

}  // namespace marloven
