// httptransport.cc: the SOAP transport over HTTP and the "/soap" and "/research" front ends.
// SPDX-License-Identifier: MIT
#include "vantorelld/httptransport.h"

#include <zlib.h>

#include <algorithm>

#include "util/log.h"
#include "vantorelld/researchhandler.h"
#include "vantorelld/searchhandler.h"

namespace marloven {

namespace {

// A client's text in a log line: control characters could forge lines.
std::string loggable(std::string_view text) {
    std::string out(text.substr(0, 300));
    std::replace_if(
        out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    return out;
}

void serve(httpstate& state, const soap::dispatcher& dispatcher) {
    HTTPTransport transport(state);
    soap::call_outcome outcome = dispatcher.handle(transport);
    transport.drain();
    if (outcome.failed) {
        VANT_LOG(HTTPSERVER, info)
            << "SOAP fault" << (outcome.method.empty() ? "" : " in " + loggable(outcome.method))
            << (state.user.empty() ? "" : " for " + loggable(state.user)) << ": "
            << loggable(outcome.fault_text);
    }
}

}  // namespace

HTTPTransport::HTTPTransport(const httpstate& state)
    : connection_(state.connection),
      content_type_(state.content_type),
      charset_(state.charset),
      soap_action_(state.soapaction),
      remaining_(state.content_length ? static_cast<std::int64_t>(std::min<std::uint64_t>(
                                            state.content_length_value(), std::uint64_t{1} << 62))
                                      : -1),
      compress_(state.accepts_deflate) {}

std::size_t HTTPTransport::read(char* buffer, std::size_t size) {
    if (remaining_ >= 1) {
        std::size_t n = connection_.read(buffer, static_cast<std::size_t>(std::min<std::int64_t>(
                                                     static_cast<std::int64_t>(size), remaining_)));
        remaining_ -= static_cast<std::int64_t>(n);
        return n;
    }
    if (remaining_ == -1) {
        return connection_.read(buffer, size);
    }
    return 0;
}

void HTTPTransport::drain() {
    // Without a content-length the body ends when the client closes its side; a client that
    // keeps sending is read no further than the largest body a request may have.
    connection_.discard(remaining_ >= 0 ? static_cast<std::uint64_t>(remaining_) : max_body_size);
    remaining_ = 0;
}

void HTTPTransport::write(std::string_view payload) {
    connection_.send(soap_reply(payload, error_, compress_));
}

std::string soap_reply(std::string_view payload, bool fault, bool compress) {
    std::string reply = fault ? "HTTP/1.1 500 OK\r\n" : "HTTP/1.1 200 OK\r\n";
    reply += "Content-Type: text/xml; charset=utf-8\r\n";
    reply += date_line();
    reply += "SOAPServer: marloven/2.0.2\r\n";
    reply += "Server: marloven/2.0.2\r\n";
    reply += "Connection: close\r\n";
    if (compress) {
        uLongf size = compressBound(static_cast<uLong>(payload.size()));
        std::string compressed(size, '\0');
        int ret = ::compress(reinterpret_cast<Bytef*>(compressed.data()), &size,
                             reinterpret_cast<const Bytef*>(payload.data()),
                             static_cast<uLong>(payload.size()));
        VANT_CHECK(ret == Z_OK, "ret == Z_OK");
        compressed.resize(size);
        reply += "Content-Length: " + std::to_string(size) + "\r\n";
        reply += "Content-Encoding: deflate\r\n\r\n";
        reply += compressed;
    } else {
        reply += "Content-Length: " + std::to_string(payload.size()) + "\r\n\r\n";
        reply += payload;
    }
    return reply;
}

void serve_search(httpstate& state) {
    api_session session = state.context.session();
    MarlovenSearchHandler handler(session);
    serve(state, handler.dispatcher());
}

void serve_research(httpstate& state, const std::string& host, int port, bool secure) {
    api_session session = state.context.session();
    MarlovenResearchHandler handler(session, host, port, secure);
    serve(state, handler.dispatcher());
}

}  // namespace marloven
