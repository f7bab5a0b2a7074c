// httptransport.h: SOAP over the request's HTTP connection: the request body read as it arrives,
// the reply written with its fixed header lines and, when the client accepts it, deflated; and
// the two SOAP front ends, "/soap" and "/research", on top of it.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "soap/dispatcher.h"
#include "vantorelld/httpstate.h"

namespace marloven {

// Purpose: the transport of one SOAP call on a request's connection. The body is read up to its
// content-length, or, without one, until the client closes its sending side.
// Ownership: borrows the request's connection.
// Failure: reading ends early at the end of the data; send errors are ignored (the client went
// away); a compression failure is fatal.
// Threads: one request thread.
class HTTPTransport final : public soap::server_transport {
  public:
    explicit HTTPTransport(const httpstate& state);

    std::string charset() const override { return charset_; }
    std::string content_type() const override { return content_type_; }
    std::size_t read(char* buffer, std::size_t size) override;
    void write(std::string_view payload) override;
    std::string soap_action() const override { return soap_action_; }
    void set_error() override { error_ = true; }

    // Reads and drops what is left of the body (of a request refused before its end), so that
    // the client sees the whole reply before the connection closes.
    void drain();

  private:
    http_connection& connection_;
    std::string content_type_;
    std::string charset_;
    std::string soap_action_;
    std::int64_t remaining_;  // body bytes still to come; -1 without a content-length
    bool compress_;
    bool error_ = false;
};

// The HTTP reply that carries a SOAP envelope, byte for byte: "HTTP/1.1 500 OK" for a fault and
// "HTTP/1.1 200 OK" otherwise, the content type, date, SOAPServer, Server and Connection lines,
// then the content length and the body, deflated (zlib format) with "Content-Encoding: deflate"
// when `compress` is set.
std::string soap_reply(std::string_view payload, bool fault, bool compress);

// Serves a call of the search service ("/soap") as the request's caller.
void serve_search(httpstate& state);
// Serves a call of the Research-pane service ("/research"); `host`, `port` and `secure` tell how
// the client reached the server.
void serve_research(httpstate& state, const std::string& host, int port, bool secure);

}  // namespace marloven
