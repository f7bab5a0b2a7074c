// dispatcher.h: serving one SOAP call: the transport that carries the request and the reply, the
// call a method handler reads its parameters from and writes its results to, and the dispatcher
// that holds the one method table of a service.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "soap/codec.h"
#include "soap/envelope.h"
#include "soap/service.h"
#include "util/xml_parser.h"

namespace marloven::soap {

// Purpose: where a call's request comes from and its reply goes (an HTTP connection, or a text
// in tests).
// Threads: one call on one thread.
class server_transport {
  public:
    virtual ~server_transport() = default;
    // The character set of the request (from its content type).
    virtual std::string charset() const = 0;
    virtual std::string content_type() const = 0;
    // Reads up to `size` bytes of the request; 0 at its end.
    virtual std::size_t read(char* buffer, std::size_t size) = 0;
    // Sends the reply envelope (once per call).
    virtual void write(std::string_view payload) = 0;
    virtual std::string soap_action() const = 0;
    // The reply about to be written is a fault.
    virtual void set_error() = 0;
};

// Purpose: one call as its method handler sees it: the parameters by name and the results in
// the described order.
// Ownership: borrows the method description, the decoder, the call element and the encoder.
// Failure: reading throws Client faults (soap/codec.h); writing against the description is a
// broken invariant.
// Threads: one thread.
class call {
  public:
    call(const method& m, decoder& d, const node& element, encoder& e)
        : method_(m), params_(d, element, m.params), results_(e, m.results, m.name) {}

    const std::string& method_name() const { return method_.name; }

    // A parameter; the call fails with a Client fault when it is absent.
    template <typename T>
    void param(std::string_view name, T& out) {
        params_.param(name, out);
    }
    // Whether a parameter is present (under its name or its alias).
    bool has(std::string_view name) { return params_.has(name); }
    template <typename T>
    void result(std::string_view name, const T& v) {
        results_.field(name, v);
    }
    void finish() { results_.finish(); }

  private:
    const method& method_;
    element_reader params_;
    element_writer results_;
};

// What became of one call, for the caller's log.
struct call_outcome {
    std::string method;      // empty when the call never reached a method
    bool failed = false;     // answered with a fault
    std::string fault_text;  // the faultstring
    xml_stats parse;         // what reading the request used
};

// The fault envelope with `code` and the faultstring `text`.
std::string fault_envelope(fault_code code, std::string_view text);

// Purpose: the method table of one service: reads a request, checks that it calls a method of
// the service's namespace that has a handler, runs the handler, and writes its results as the
// response envelope, or a fault envelope when anything threw a fault.
// Ownership: borrows the service description; owns the handlers.
// Failure: faults become fault replies; a handler for a method the service does not describe is
// a broken invariant.
// Threads: built once per call (or shared read-only).
class dispatcher {
  public:
    using handler = std::function<void(call&)>;

    explicit dispatcher(const service& s) : service_(s) {}

    void add(std::string_view method_name, handler h);
    // The methods that have a handler, in no particular order.
    std::vector<std::string> method_names() const;
    // Whether every method of the service has a handler.
    bool complete() const;

    call_outcome handle(server_transport& transport, const xml_limits& limits = {},
                        const decode_limits& decoding = {}) const;

  private:
    std::string run(const envelope& request, call_outcome& outcome,
                    const decode_limits& decoding) const;

    const service& service_;
    std::unordered_map<std::string, handler> handlers_;
};

}  // namespace marloven::soap
