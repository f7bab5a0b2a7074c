// Tests of the HTTP reply that carries a SOAP envelope: its lines byte for byte, the fault status,
// and the deflated body with its compressed length.
// SPDX-License-Identifier: MIT
#include "vantorelld/httptransport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <regex>

namespace marloven {
namespace {

struct reply_case {
    bool fault;
    bool compress;
};

class soap_reply_test : public testing::TestWithParam<reply_case> {};

TEST_P(soap_reply_test, has_the_fixed_lines_in_order) {
    const std::string payload = "<?xml version=\"1.0\"?><e>" + std::string(3000, 'a') + "</e>";
    const reply_case& c = GetParam();
    std::string reply = soap_reply(payload, c.fault, c.compress);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        reply, m,
        std::regex(std::string("^HTTP/1\\.1 ") + (c.fault ? "500" : "200") +
                   " OK\r\nContent-Type: text/xml; charset=utf-8\r\n"
                   "Date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} GMT\r\n"
                   "SOAPServer: marloven/2\\.0\\.2\r\nServer: marloven/2\\.0\\.2\r\n"
                   "Connection: close\r\nContent-Length: ([0-9]+)\r\n" +
                   (c.compress ? "Content-Encoding: deflate\r\n" : "") + "\r\n")))
        << reply.substr(0, 300);
    std::string body = reply.substr(static_cast<std::size_t>(m.length(0)));
    EXPECT_EQ(std::to_string(body.size()), m[1].str());
    if (!c.compress) {
        EXPECT_EQ(body, payload);
        return;
    }
    // The zlib format (which uncompress checks): a two-byte header, deflated data and the
    // Adler-32 trailer.
    std::string inflated(payload.size(), '\0');
    uLongf size = inflated.size();
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(inflated.data()), &size,
                         reinterpret_cast<const Bytef*>(body.data()), body.size()),
              Z_OK);
    EXPECT_EQ(inflated, payload);
}

INSTANTIATE_TEST_SUITE_P(cases, soap_reply_test,
                         testing::Values(reply_case{false, false}, reply_case{true, true}));

}  // namespace
}  // namespace marloven
