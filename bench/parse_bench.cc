// Benchmark: pages parsed per second into FFF (charset, HTML parse, tokens, links, binary form)
// over real documentation pages read at run time from VANT_BENCH_HTML_DIR (default: the
// PostgreSQL manual of the postgresql-doc-15 package, installed by the corpus setup).
// SPDX-License-Identifier: MIT
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "parse/document_parser.h"

namespace {

struct page {
    std::string url;
    std::string content;
};

const std::vector<page>& pages() {
    static const std::vector<page> loaded = [] {
        const char* env = std::getenv("VANT_BENCH_HTML_DIR");
        std::filesystem::path dir = env != nullptr ? env : "/usr/share/doc/postgresql-doc-15/html";
        std::vector<page> out;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() != ".html") {
                continue;
            }
            std::ifstream in(entry.path(), std::ios::binary);
            out.push_back({"http://docs.test/" + entry.path().filename().string(),
                           std::string(std::istreambuf_iterator<char>(in), {})});
        }
        std::sort(out.begin(), out.end(),
                  [](const page& a, const page& b) { return a.url < b.url; });
        return out;
    }();
    return loaded;
}

const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";

void parse_pages(benchmark::State& state) {
    const auto& all = pages();
    if (all.empty()) {
        state.SkipWithError("No HTML pages: run the corpus setup or set VANT_BENCH_HTML_DIR");
        return;
    }
    size_t i = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const page& p = all[i++ % all.size()];
        auto doc = marloven::parse_document({p.url, head, p.content, "", "", "", 1});
        benchmark::DoNotOptimize(doc.fff.data());
        bytes += static_cast<std::int64_t>(p.content.size());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(bytes);
    state.counters["pages"] = static_cast<double>(all.size());
}
BENCHMARK(parse_pages)->Unit(benchmark::kMicrosecond);

// Without a declared charset, so detection runs too.
void parse_pages_detecting_charset(benchmark::State& state) {
    const auto& all = pages();
    if (all.empty()) {
        state.SkipWithError("No HTML pages");
        return;
    }
    size_t i = 0;
    for (auto _ : state) {
        const page& p = all[i++ % all.size()];
        auto doc = marloven::parse_document({p.url, "", p.content, "text/html", "", "", 1});
        benchmark::DoNotOptimize(doc.fff.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(parse_pages_detecting_charset)->Unit(benchmark::kMicrosecond);

}  // namespace
