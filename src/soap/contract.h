// contract.h: the two SOAP services of the daemon as their clients see them: the search service
// on "/soap" (the whole administration and search API: its enumerations, records, arrays and 71
// methods, described once for the handler and the WSDL) and the Research-pane service on
// "/research".
// SPDX-License-Identifier: MIT
//
// Changing a method or type here changes the wire and the WSDL together; the handler's tests
// fail until its methods and encoders follow.
#pragma once

#include <string_view>

#include "soap/service.h"

namespace marloven::soap {

// The namespace of every method and type of the search service (only its path is fixed).
inline constexpr std::string_view search_ns = "http://marloven.invalid/search/";
// The namespace of the Research-pane service.
inline constexpr std::string_view research_ns = "urn:Microsoft.Search";

const service& search_service();
const service& research_service();

}  // namespace marloven::soap
