// message.cc: envelope frames, requests and the reading of responses.
// SPDX-License-Identifier: MIT
#include "soap/message.h"

#include <algorithm>

#include "soap/codec.h"
#include "soap/envelope.h"
#include "util/xml_text.h"

namespace marloven::soap {

namespace {

fault_code code_of(std::string_view faultcode) {
    std::string_view local = faultcode.substr(faultcode.find(':') + 1);
    if (local == "Client") {
        return fault_code::Client;
    }
    if (local == "MustUnderstand") {
        return fault_code::MustUnderstand;
    }
    if (local == "VersionMismatch") {
        return fault_code::VersionMismatch;
    }
    return fault_code::Server;
}

}  // namespace

std::string envelope_start(std::string_view service_ns) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
        "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"";
    if (!service_ns.empty()) {
        out += " xmlns:";
        out += service_prefix;
        out += "=\"";
        append_xml_text(out, service_ns);
        out += '"';
    }
    out +=
        " SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
        "<SOAP-ENV:Body>";
    return out;
}

std::string request_envelope(const service& s, const method& m, const value& params) {
    std::string out = envelope_start(s.ns());
    const std::string tag = std::string(service_prefix) + ":" + m.name;
    out += '<' + tag + '>';
    encoder e(out, service_prefix);
    for (const auto& field : params.fields) {
        const std::string& name = field.first;
        VANT_CHECK(std::any_of(m.params.begin(), m.params.end(),
                               [&](const element& p) { return p.name == name; }),
                   "Parameter " + name + " not described in " + m.name);
    }
    for (const element& p : m.params) {
        if (const value* v = params.find(p.name)) {
            e.value(p.name, *p.of, *v);
        }
    }
    out += "</" + tag + '>';
    out += envelope_end;
    return out;
}

value read_response(const service& s, const method& m, std::string_view body) {
    envelope_reader reader(nullptr);
    if (!reader.feed(body, true)) {
        throw fault(fault_code::Client, "The reply is not XML: " + reader.error());
    }
    envelope e = reader.take();
    const node& answer = *e.call;
    if (answer.ns == envelope_ns && answer.name == "Fault") {
        const node* code = answer.child("faultcode");
        const node* text = answer.child("faultstring");
        throw fault(code_of(code != nullptr ? code->text : ""),
                    text != nullptr ? text->text : "Fault without a faultstring");
    }
    if (answer.ns != s.ns() || answer.name != m.name + "Response") {
        throw fault(fault_code::Client, "The reply answers '" + answer.name + "', not " + m.name);
    }
    decoder d(e);
    element_reader r(d, answer, m.results);
    value results;
    r.all(results);
    return results;
}

}  // namespace marloven::soap
