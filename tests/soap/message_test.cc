// Tests of the client's side of a call: fault replies and replies to another method. Calls of
// generic values that come back as typed: soap_clients/vantorellctl_test.
// SPDX-License-Identifier: MIT
#include "soap/message.h"

#include <gtest/gtest.h>

#include "soap/dispatcher.h"
#include "soap_fixture.h"

namespace marloven::soap {
namespace {

// The fixture's dispatcher serves the request.
std::string serve(const std::string& request_text) {
    text_transport t(request_text);
    echo_dispatcher().handle(t);
    return t.reply;
}

TEST(message, a_fault_or_a_reply_to_another_method_throws) {
    const service& s = test_service();
    const method& echo = *s.find_method("Echo");
    struct fault_case {
        std::string reply;
        fault_code code;
        std::string text;
    };
    const fault_case cases[] = {
        // A server's fault reply throws too: soap_clients/vantorellctl_test.
        {serve(request_envelope(s, *s.find_method("Ints"), value{})), fault_code::Client,
         "The reply answers 'IntsResponse', not Echo"},
        {"<html>502</html>", fault_code::VersionMismatch, "The message is not a SOAP 1.1 envelope"},
    };
    for (const fault_case& c : cases) {
        try {
            read_response(s, echo, c.reply);
            ADD_FAILURE() << "no fault for " << c.reply;
        } catch (const fault& f) {
            EXPECT_EQ(f.what(), c.text);
            EXPECT_EQ(f.code(), c.code) << c.text;
        }
    }
}

}  // namespace
}  // namespace marloven::soap
