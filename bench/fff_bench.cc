// Benchmark: the FFF binary form of a page holding 100 KB of text, written and read.
// Throughput is counted in bytes of the page's text.
// SPDX-License-Identifier: MIT
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>

#include "worker/FFF/FFF-serialize.h"

namespace {

struct page {
    std::unique_ptr<FFF::DocumentData> doc;
    std::size_t text_bytes = 0;
};

// Paragraphs of four sentences of three runs of about eight tokens: words of 1 to 10 letters,
// a punctuation token now and then, link runs pointing into 200 links, a few metas.
page make_page(std::size_t text_target) {
    std::mt19937 rng(42);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    page pg;
    pg.doc = std::make_unique<FFF::DocumentData>();
    for (int i = 0; i < 200; ++i) {
        pg.doc->addLink("http://example.com/section/" + std::to_string(i) + "/page.html",
                        static_cast<std::uint32_t>(pick(0, 1000000)));
    }
    auto& contents = pg.doc->add<FFF::Contents>();
    for (int i = 0; i < 20; ++i) {
        contents.metas().push_back({static_cast<std::uint32_t>(i % 3), 10,
                                    "key" + std::to_string(i), "value of meta " + std::to_string(i),
                                    static_cast<std::uint32_t>(i),
                                    static_cast<std::uint32_t>(i + 5)});
    }
    while (pg.text_bytes < text_target) {
        auto& p = contents.add<FFF::P>();
        for (int s = 0; s < 4 && pg.text_bytes < text_target; ++s) {
            auto& sentence = p.add<FFF::S>();
            for (int r = 0; r < 3; ++r) {
                auto& low = sentence.add<FFF::Low>();
                low.dictid = static_cast<std::uint32_t>(pick(0, 9) == 0 ? 12 : 10);
                low.urlid = static_cast<std::uint32_t>(pick(0, 199));
                const int tokens = pick(4, 12);
                for (int t = 0; t < tokens; ++t) {
                    std::string w = pick(0, 7) == 0
                                        ? std::string(1, ",.;:!?"[pick(0, 5)])
                                        : std::string(pick(1, 10), char('a' + pick(0, 25)));
                    pg.text_bytes += w.size();
                    low.words.push_back(w);
                }
            }
        }
    }
    return pg;
}

const page& hundred_kb_page() {
    static const page pg = make_page(100 * 1024);
    return pg;
}

void BM_fff_encode(benchmark::State& state) {
    const auto& pg = hundred_kb_page();
    std::size_t blob_size = 0;
    for (auto _ : state) {
        std::string blob = FFF::ToBinary(*pg.doc);
        blob_size = blob.size();
        benchmark::DoNotOptimize(blob);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pg.text_bytes));
    state.counters["blob_bytes"] = static_cast<double>(blob_size);
}
BENCHMARK(BM_fff_encode);

void BM_fff_decode(benchmark::State& state) {
    const auto& pg = hundred_kb_page();
    const std::string blob = FFF::ToBinary(*pg.doc);
    for (auto _ : state) {
        auto got = FFF::FromBinary(blob);
        if (!got.root || got.state != FFF::read_state::Complete) {
            state.SkipWithError("page did not read back whole");
            break;
        }
        benchmark::DoNotOptimize(got.root);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pg.text_bytes));
    state.counters["blob_bytes"] = static_cast<double>(blob.size());
}
BENCHMARK(BM_fff_decode);

}  // namespace
