// message.h: the frame of the envelopes this module writes, and the client's side of a call: the
// request envelope of a method with its parameters, and the results or fault of its response.
// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

#include "soap/service.h"
#include "soap/value.h"

namespace marloven::soap {

// The prefix that written envelopes declare for the service namespace.
inline constexpr std::string_view service_prefix = "ns";

// An envelope up to and with the start tag of its Body, declaring the prefixes SOAP-ENV,
// SOAP-ENC, xsi, xsd and, when `service_ns` is not empty, `service_prefix` for it.
std::string envelope_start(std::string_view service_ns);
inline constexpr std::string_view envelope_end = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

// The request envelope of a call of `m`: `params` is a record of its parameters by name (each
// written with its described type; parameters it lacks are left out).
std::string request_envelope(const service& s, const method& m, const value& params);

// The results of the response to a call of `m`, as a record of the results it holds by name.
// Throws a fault with the reply's faultcode and faultstring for a fault reply, and a Client fault
// for a message that cannot be read or answers another method.
value read_response(const service& s, const method& m, std::string_view body);

}  // namespace marloven::soap
