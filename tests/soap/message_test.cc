// Tests of the client's side of a call: a reply to another method. Calls of
// generic values that come back as typed: soap_clients/vantorellctl_test.
// SPDX-License-Identifier: MIT
#include "soap/message.h"

#include <gtest/gtest.h>

#include <tuple>

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

// A server's fault reply throws too: soap_clients/vantorellctl_test.
TEST(message, a_reply_to_another_method_throws) {
    const service& s = test_service();
    try {
        read_response(s, *s.find_method("Echo"),
                      serve(request_envelope(s, *s.find_method("Ints"), value{})));
        ADD_FAILURE() << "no fault";
    } catch (const fault& f) {
        EXPECT_EQ(std::tuple(f.code(), std::string(f.what())),
                  std::tuple(fault_code::Client, "The reply answers 'IntsResponse', not Echo"));
    }
}

}  // namespace
}  // namespace marloven::soap
