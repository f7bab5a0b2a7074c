// Benchmark: the cost per document of applying document filters in the worker, in the worker's
// own process (tree read, transform, tree written) and as the worker does it, in a forked child
// with the result sent back through a pipe. The difference is the price of isolating plug-ins.
// Pages: VANT_BENCH_HTML_DIR, else the PostgreSQL manual of the shared corpus (found through
// ../shared/corpus/nginx.conf beside the checkout). The filter is the static plug-in (one meta),
// loaded from the build's deploy/plugins.
// SPDX-License-Identifier: MIT
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "parse/document_parser.h"
#include "plugin-system/fff-plugins-loader.h"
#include "support/corpus.h"
#include "worker-program/document_filters.h"
#include "worker/FFF/FFF-serialize.h"

namespace {

using namespace marloven;

struct page {
    std::string url;
    parsed_document parsed;
};

const std::vector<page>& pages() {
    static const std::vector<page> loaded = [] {
        const char* env = std::getenv("VANT_BENCH_HTML_DIR");
        std::string dir = env != nullptr ? env : vant_test::corpus_site("/pg/").value_or("");
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() == ".html") {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        files.resize(std::min<std::size_t>(files.size(), 200));
        std::vector<page> out;
        for (const auto& f : files) {
            std::string url = "http://docs.test/" + f.filename().string();
            out.push_back({url, parse_document({url, "", vant_test::read_file(f.string()),
                                                "text/html", "", "", 0})});
        }
        return out;
    }();
    return loaded;
}

filter_settings static_filter() {
    filter_settings f;
    f.docfilter_ids = {1};
    f.plugins = {{1, 1, 1, "Static", "", "staticplugin", "source=bench"}};
    f.docfilters = {{1, 1, 1, "Static", "", 1, ""}};
    return f;
}

void BM_filters_in_process(benchmark::State& state) {
    fff_plugins_loader loader(std::string(VANT_DEPLOY_DIR "/plugins"));
    loader.load();
    loader.configure_plugin({1, 1, "Static", "staticplugin", "source=bench"});
    loader.configure_docfilter({1, 1, "Static", 1, ""});
    std::size_t i = 0;
    for (auto _ : state) {
        const page& p = pages()[i++ % pages().size()];
        auto tree = FFF::FromBinary(p.parsed.fff);
        auto& doc = dynamic_cast<FFF::DocumentData&>(*tree.root);
        loader.apply({1}, doc, {p.url, "text/html", "utf-8"});
        benchmark::DoNotOptimize(FFF::ToBinary(doc));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_filters_in_process)->Unit(benchmark::kMicrosecond);

// CPU seconds used by the ended children of this process.
double children_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// "child_cpu_us": the CPU time of the children per document, which the CPU column (this process
// only) leaves out; on a busy machine compare CPU times, not wall times.
void BM_filters_forked(benchmark::State& state) {
    document_filters filters({std::string(VANT_DEPLOY_DIR "/plugins"), 20}, {});
    const filter_settings settings = static_filter();
    std::size_t i = 0;
    const double children_before = children_cpu_seconds();
    for (auto _ : state) {
        const page& p = pages()[i++ % pages().size()];
        filtered_document out = filters.apply(settings, p.parsed.fff, {p.url, "text/html", ""});
        if (!out.ok) {
            state.SkipWithError(out.failure.c_str());
            break;
        }
    }
    state.counters["child_cpu_us"] = benchmark::Counter(
        (children_cpu_seconds() - children_before) * 1e6 / static_cast<double>(state.iterations()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_filters_forked)->Unit(benchmark::kMicrosecond);

}  // namespace
