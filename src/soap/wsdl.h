// wsdl.h: the WSDL 1.1 document of a service (RPC style, SOAP encoding): its enumerations,
// records and SOAP-encoded arrays, one request and one response message per method, the port
// type, the binding and the service with its address.
// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

#include "soap/service.h"

namespace marloven::soap {

// The placeholder the installed document holds in place of its SOAP address; the server puts
// the address by which the client reached it there, with the double quotes around it.
inline constexpr std::string_view wsdl_address_placeholder = "@@@@@@@@@@";

// The WSDL document of `s`, whose port's address is `address` (written as it is).
std::string wsdl(const service& s, std::string_view address);

}  // namespace marloven::soap
