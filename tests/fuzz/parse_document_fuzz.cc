// Fuzz target: arbitrary bytes as a fetched response (a raw head, then a body) through the
// worker's parse-to-FFF path, the head's status and redirect handling, and HTTP dates.
// Input: "<head>\r\n\r\n<body>"; without that separator the whole input is an HTML body.
// SPDX-License-Identifier: MIT
#include "fuzz_check.h"
#include "parse/document_parser.h"
#include "parse/response_head.h"
#include "worker-program/request_handler.h"
#include "worker/FFF/FFF-serialize.h"

using namespace marloven;

FUZZ_TEXT_TARGET(input) {
    std::string_view head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";
    std::string_view body = input;
    if (size_t sep = input.find("\r\n\r\n"); sep != std::string_view::npos) {
        head = input.substr(0, sep + 4);
        body = input.substr(sep + 4);
    }
    const std::string_view url = "http://fuzz.test/dir/page.html?q=1";
    response_head parsed = parse_response_head(head);
    for (const auto& field : parsed.fields) {
        (void)parse_http_date(field.second);
    }
    crawl_result result;
    (void)check_http_status(url, parsed, result);
    parsed_document doc =
        parse_document({url, head, body, "text/html", "<!--x-->", "<!--/x-->", 3});
    // Whatever the page, the worker's output must be a whole, readable document.
    FUZZ_CHECK(doc.fff.empty() || FFF::FromBinary(doc.fff).state == read_state::Complete);
    for (const auto& link : doc.outlinks) {
        FUZZ_CHECK(link.url.rfind("http", 0) == 0);
    }
}
