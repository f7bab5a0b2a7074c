// searchhandler.h: the SOAP methods behind "/soap": the whole administration and search API of
// the daemon (the 71 methods of the search service, soap/contract.h), each a thin adapter over
// one API operation.
// SPDX-License-Identifier: MIT
#pragma once

#include "api/api-common.h"
#include "soap/dispatcher.h"

namespace marloven {

// Purpose: serves one call of the search service: reads the method's parameters ("arcid", else
// "idxid"; "docid", else "ID"; "mimetype", else "type"), runs the API operation of the same name
// as the caller inside one transaction, which is committed whether the operation succeeded or
// not, and writes the results in their order; a failed operation becomes a fault whose text is
// the error's symbolic name ("AccessViolation", "BadMagic", ...). "Query" and "QueryIndex"
// share one method, and so do "GetDocument" and "GetCachedPage".
// Ownership: borrows the caller's session (connection and storage) for the call.
// Failure: faults (tier 3), through the dispatcher; database errors are fatal.
// Threads: one request thread; built for one call.
class MarlovenSearchHandler {
  public:
    explicit MarlovenSearchHandler(const api_session& session);
    MarlovenSearchHandler(const MarlovenSearchHandler&) = delete;
    MarlovenSearchHandler& operator=(const MarlovenSearchHandler&) = delete;

    // The method table: every method of the search service.
    const soap::dispatcher& dispatcher() const { return dispatcher_; }

  private:
    const api_session& session_;
    soap::dispatcher dispatcher_;
};

}  // namespace marloven
