// dispatcher.cc: reading a request, running its method, and the response and fault envelopes.
// SPDX-License-Identifier: MIT
#include "soap/dispatcher.h"

#include <algorithm>
#include <cctype>

#include "soap/message.h"
#include "util/xml_text.h"

namespace marloven::soap {

namespace {

std::string_view code_name(fault_code code) {
    switch (code) {
        case fault_code::Client:
            return "SOAP-ENV:Client";
        case fault_code::Server:
            return "SOAP-ENV:Server";
        case fault_code::MustUnderstand:
            return "SOAP-ENV:MustUnderstand";
        case fault_code::VersionMismatch:
            return "SOAP-ENV:VersionMismatch";
    }
    return "SOAP-ENV:Server";
}

// The encoding expat is to read the request in: the request's charset when expat knows it;
// otherwise (US-ASCII, which is the default when none is given, or an unknown set) the document
// decides, UTF-8 unless it declares another.
const char* parser_encoding(std::string charset) {
    std::transform(charset.begin(), charset.end(), charset.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (charset == "utf-8") {
        return "UTF-8";
    }
    if (charset == "iso-8859-1") {
        return "ISO-8859-1";
    }
    if (charset == "utf-16") {
        return "UTF-16";
    }
    return nullptr;
}

// A client's text echoed in a fault, cut to a readable length.
std::string echoed(std::string_view text) {
    constexpr std::size_t most = 200;
    return text.size() <= most ? std::string(text) : std::string(text.substr(0, most)) + "...";
}

}  // namespace

std::string fault_envelope(fault_code code, std::string_view text) {
    std::string out = envelope_start({});
    out += "<SOAP-ENV:Fault><faultcode>";
    out += code_name(code);
    out += "</faultcode><faultstring>";
    append_xml_text(out, text);
    out += "</faultstring></SOAP-ENV:Fault>";
    out += envelope_end;
    return out;
}

void dispatcher::add(std::string_view method_name, handler h) {
    VANT_CHECK(service_.find_method(method_name) != nullptr,
               "Handler for a method the service does not describe: " + std::string(method_name));
    VANT_CHECK(handlers_.emplace(std::string(method_name), std::move(h)).second,
               "Two handlers for " + std::string(method_name));
}

std::vector<std::string> dispatcher::method_names() const {
    std::vector<std::string> names;
    for (const auto& [name, h] : handlers_) {
        names.push_back(name);
    }
    return names;
}

bool dispatcher::complete() const {
    return std::all_of(service_.methods().begin(), service_.methods().end(),
                       [this](const method& m) { return handlers_.contains(m.name); });
}

std::string dispatcher::run(const envelope& request, call_outcome& outcome,
                            const decode_limits& decoding) const {
    const node& element = *request.call;
    outcome.method = element.name;
    auto h = element.ns == service_.ns() ? handlers_.find(element.name) : handlers_.end();
    if (h == handlers_.end()) {
        throw fault(fault_code::Client, "Unknown method '" + echoed(element.name) +
                                            "' in namespace '" + echoed(element.ns) + "'");
    }
    const method& described = *service_.find_method(element.name);
    std::string results;
    encoder out(results, service_prefix);
    decoder in(request, decoding);
    call c(described, in, element, out);
    h->second(c);
    c.finish();

    std::string payload = envelope_start(service_.ns());
    payload += '<';
    payload += service_prefix;
    payload += ':';
    payload += described.name;
    payload += "Response>";
    payload += results;
    payload += "</";
    payload += service_prefix;
    payload += ':';
    payload += described.name;
    payload += "Response>";
    payload += envelope_end;
    return payload;
}

call_outcome dispatcher::handle(server_transport& transport, const xml_limits& limits,
                                const decode_limits& decoding) const {
    call_outcome outcome;
    std::string payload;
    try {
        envelope_reader reader(parser_encoding(transport.charset()), limits);
        std::string buffer(64u << 10, '\0');
        bool ok = true;
        while (ok) {
            std::size_t n = transport.read(buffer.data(), buffer.size());
            if (n == 0) {
                break;
            }
            ok = reader.feed(std::string_view(buffer.data(), n), false);
        }
        ok = ok && reader.feed({}, true);
        outcome.parse = reader.stats();
        if (!ok) {
            throw fault(fault_code::Client, reader.error());
        }
        envelope request = reader.take();
        payload = run(request, outcome, decoding);
    } catch (const fault& f) {
        outcome.failed = true;
        outcome.fault_text = f.what();
        payload = fault_envelope(f.code(), f.what());
        transport.set_error();
    }
    transport.write(payload);
    return outcome;
}

}  // namespace marloven::soap
