// soap_fixture.h: requests for the SOAP module's tests: envelopes around call content, a test
// service with a dispatcher of echoing handlers, and a transport that serves a request text and
// keeps the reply.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "soap/dispatcher.h"
#include "soap/envelope.h"
#include "soap/fault.h"

namespace marloven::soap {

// An envelope whose Body holds the call `method` of namespace `ns` with `content`, followed by
// `body_rest` (multi-reference values). The prefix "ns" stands for `ns` throughout.
inline std::string request(std::string_view method, std::string_view content,
                           std::string_view body_rest = {}, std::string_view ns = "urn:t") {
    const std::string n(ns), m(method);
    return "<?xml version=\"1.0\"?>"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:ns=\"" +
           n + "\"><SOAP-ENV:Body><m:" + m + " xmlns:m=\"" + n + "\">" + std::string(content) +
           "</m:" + m + ">" + std::string(body_rest) + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

// A record of the test service.
struct pair_value {
    int a = 0;
    std::string b;
    bool operator==(const pair_value&) const = default;
};
inline void read_fields(element_reader& r, pair_value& v) {
    r.field("A", v.a);
    r.field("B", v.b);
}
inline void write_fields(element_writer& w, const pair_value& v) {
    w.field("A", v.a);
    if (!v.b.empty()) {
        w.field("B", v.b);
    }
}

// The service the module's tests call: arrays of ints and strings, and a method with a scalar
// of each kind, an alias and a record.
inline const service& test_service() {
    static const service s("Test", "urn:t", [](service& d) {
        d.record("Pair", {{"A", "int"}, {"B", "string", true}});
        d.add_method("Ints", {{"v", "int[]"}}, {{"v", "int[]"}});
        d.add_method("Strings", {{"v", "string[]"}}, {{"v", "string[]"}});
        d.add_method(
            "Echo",
            {{"n", "int", false, "number"}, {"s", "string"}, {"b", "boolean"}, {"p", "Pair"}},
            {{"n", "int"}, {"s", "string"}, {"raw", "base64Binary"}, {"p", "Pair"}});
    });
    return s;
}

// Parses a whole message; a refused one throws the fault the dispatcher would answer with.
inline envelope parse(std::string_view text, xml_limits limits = {}) {
    envelope_reader reader(nullptr, limits);
    if (!reader.feed(text, true)) {
        throw fault(fault_code::Client, reader.error());
    }
    return reader.take();
}

// Serves `text` in pieces of at most `piece` bytes and keeps the reply.
class text_transport final : public server_transport {
  public:
    explicit text_transport(std::string text, std::size_t piece = 1u << 20)
        : text_(std::move(text)), piece_(piece) {}

    std::string charset() const override { return "utf-8"; }
    std::string content_type() const override { return "text/xml"; }
    std::size_t read(char* buffer, std::size_t size) override {
        std::size_t n = std::min({size, piece_, text_.size() - at_});
        std::memcpy(buffer, text_.data() + at_, n);
        at_ += n;
        ++reads;
        return n;
    }
    void write(std::string_view payload) override { reply += payload; }
    std::string soap_action() const override { return {}; }
    void set_error() override { error = true; }

    std::string reply;
    bool error = false;
    int reads = 0;

  private:
    std::string text_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

// Serves Echo (its parameters back, as typed values; a negative n is the fault BadMagic) and
// Ints (its array back); Strings has no handler.
inline dispatcher echo_dispatcher() {
    dispatcher d(test_service());
    d.add("Echo", [](call& c) {
        int n = 0;
        std::string s;
        pair_value p;
        c.param("n", n);
        c.param("s", s);
        c.param("p", p);
        if (n < 0) {
            throw fault(fault_code::Server, "BadMagic");
        }
        c.result("n", n);
        c.result("s", s);
        c.result("raw", s);
        c.result("p", p);
    });
    d.add("Ints", [](call& c) {
        std::vector<int> v;
        c.param("v", v);
        c.result("v", v);
    });
    return d;
}

}  // namespace marloven::soap
