// fault.h: the SOAP fault: the exception that ends one call with a fault reply.
// SPDX-License-Identifier: MIT
#pragma once

#include <stdexcept>
#include <string>

namespace marloven::soap {

// The fault codes of SOAP 1.1: the request is at fault, the server failed to carry it out, a
// header entry marked mustUnderstand was not understood, or the envelope is not SOAP 1.1.
enum class fault_code { Client, Server, MustUnderstand, VersionMismatch };

// Purpose: thrown by the reader, the decoder and the method handlers; the dispatcher catches it
// at the end of the call and answers with a fault whose faultstring is what().
// Failure: tier 3 (one call).
class fault : public std::runtime_error {
  public:
    fault(fault_code code, const std::string& text) : std::runtime_error(text), code_(code) {}
    fault_code code() const { return code_; }

  private:
    fault_code code_;
};

}  // namespace marloven::soap
