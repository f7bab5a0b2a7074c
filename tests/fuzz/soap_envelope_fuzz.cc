// Fuzz target: SOAP request envelopes (the bodies of "/soap" and "/research"). Reading any input,
// fed in pieces as the transport does, must not crash and must stay within the parser's limits;
// whatever reads as a call of the search service has every parameter decoded by its described
// type, and every value decoded is written back into a response.
// SPDX-License-Identifier: MIT
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "soap/codec.h"
#include "soap/contract.h"
#include "soap/envelope.h"

namespace {

using namespace marloven::soap;

enum class any_enum : int {};

// Decodes `n` as a `Value` of type `t` and writes it back out.
template <typename Value>
void echo(decoder& d, encoder& out, const node& n, const type& t) {
    Value v{};
    d.read(n, t, v);
    out.value("v", t, v);
}

// Decodes `n` as `t` and writes what was read back out, recursively.
void walk(decoder& d, encoder& out, const node& n, const type& t, int depth) {
    FUZZ_CHECK(depth <= 16);  // the types of the service nest far less deeply
    switch (t.kind) {
        case kind::string:
        case kind::base64:
            echo<std::string>(d, out, n, t);
            break;
        case kind::integer:
            echo<int>(d, out, n, t);
            break;
        case kind::boolean:
            echo<bool>(d, out, n, t);
            break;
        case kind::enumeration:
            echo<any_enum>(d, out, n, t);
            break;
        case kind::array:
            for (const node* item : d.array_items(d.deref(n))) {
                if (item != nullptr) {
                    walk(d, out, *item, *t.item, depth + 1);
                }
            }
            break;
        case kind::structure: {
            const node& record = d.deref(n);
            for (const element& e : t.elements) {
                if (const node* child = record.child(e.name)) {
                    walk(d, out, *child, *e.of, depth + 1);
                }
            }
            break;
        }
    }
}

}  // namespace

FUZZ_TEXT_TARGET(input) {
    const marloven::xml_limits limits{.max_depth = 32,
                                      .max_elements = 2000,
                                      .max_input = 1u << 20,
                                      .max_parser_memory = 8u << 20};
    envelope_reader reader(nullptr, limits);
    bool ok = true;
    for (std::size_t at = 0; ok && at < input.size(); at += 61) {
        ok = reader.feed(input.substr(at, 61), false);
    }
    ok = ok && reader.feed({}, true);
    const marloven::xml_stats& stats = reader.stats();
    FUZZ_CHECK(stats.elements <= limits.max_elements && stats.deepest <= limits.max_depth &&
               stats.parser_memory_peak <= limits.max_parser_memory);
    if (!ok) {
        return;
    }
    try {
        envelope e = reader.take();
        const method* m = search_service().find_method(e.call->name);
        if (m == nullptr) {
            return;
        }
        decoder d(e, {.max_visits = 20000, .max_text = 1u << 20, .max_array = 1000});
        std::string written;
        encoder out(written, "ns");
        for (const element& p : m->params) {
            if (const node* n = e.call->child(p.name)) {
                walk(d, out, *n, *p.of, 0);
            }
        }
        FUZZ_CHECK(d.visits() <= 20000 && d.text_bytes() <= (1u << 20));
    } catch (const fault&) {
    }
}
