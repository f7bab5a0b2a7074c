// Tests of the client's side of a call: fault replies and replies to another method. Calls of
// generic values that come back as typed: soap_clients/vantorellctl_test.
// SPDX-License-Identifier: MIT
#include "soap/message.h"

#include <gtest/gtest.h>

#include "soap/dispatcher.h"
#include "soap_fixture.h"

namespace marloven::soap {
namespace {

// The typed handlers of the fixture serve the request, so a generic value that strays from its
// type fails here.
std::string serve(const std::string& request_text) {
    text_transport t(request_text);
    echo_dispatcher().handle(t);
    return t.reply;
}

value record(std::vector<std::pair<std::string, value>> fields) {
    value v;
    v.fields = std::move(fields);
    return v;
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
        // A parameter whose text the server cannot read as its type.
        {serve(request_envelope(s, echo, record({{"n", "x"}, {"s", ""}, {"p", record({})}}))),
         fault_code::Client, "Cannot read 'x' of element 'n' as an int"},
        {serve(request_envelope(s, *s.find_method("Ints"), record({}))), fault_code::Client,
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
