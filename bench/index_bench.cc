// index_bench: indexes one corpus of HTML pages twice in one run, through the index storage
// client and idxserv, and directly into Xapian with a TermGenerator (the baseline a user would
// write), then runs the same queries on both and prints documents per second, index sizes,
// query latency percentiles and the ratios.
//
//   vant_index_bench [HTML_DIR] [QUERIES_FILE] [ROUNDS]
// defaults: /usr/share/doc/postgresql-doc-15/html (Debian's postgresql-doc-15), queries.txt of
// the shared corpus (CORPUS_DIR, or shared/corpus beside the checkout), 20.
// Both paths get the same words: a small tag stripper turns each page into a title, headings and
// text blocks before any clock starts.
// SPDX-License-Identifier: MIT
#include <sys/resource.h>
#include <unistd.h>
#include <xapian.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "idxserv/index_engine.h"
#include "idxstorage/extractors.h"
#include "idxstorage/idxstorage.h"
#include "idxstorage/index_protocol.h"
#include "util/config_file.h"
#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/FFF.h"

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

namespace {

struct block {
    std::uint32_t slice;
    std::vector<std::string> words;
};

struct page {
    std::string guid;
    std::string url;
    std::string title;
    std::vector<block> blocks;
    std::string fff;  // the client's input
    // What the client sends for it: the title and full-text fields its words extractor builds.
    std::string sent_title;
    std::string sent_text;
};

// Tag stripper: words are runs of ASCII letters and digits (so pg_class gives two words, and a
// word next to a non-ASCII character such as a no-break space is the same word on both paths:
// the client keeps only words made of word characters, while Xapian's term generator splits
// there); block tags end a block;
// <title> and <h1>..<h6> give the title and header slices; script and style are dropped.
class html_words {
  public:
    explicit html_words(const std::string& html) {
        std::size_t i = 0;
        while (i < html.size()) {
            char c = html[i];
            if (c == '<') {
                i = tag(html, i);
            } else if (c == '&') {
                std::size_t semi = html.find(';', i);
                if (semi != std::string::npos && semi - i < 10) {
                    end_word();  // an entity separates words
                    i = semi + 1;
                } else {
                    ++i;
                }
            } else {
                if (skip_ == 0) {
                    if (std::isalnum(static_cast<unsigned char>(c))) {
                        word_ += c;
                    } else {
                        end_word();
                    }
                }
                ++i;
            }
        }
        end_block();
    }
    std::string title;
    std::vector<block> blocks;

  private:
    std::size_t tag(const std::string& html, std::size_t i) {
        if (html.compare(i, 4, "<!--") == 0) {
            std::size_t e = html.find("-->", i);
            return e == std::string::npos ? html.size() : e + 3;
        }
        std::size_t e = html.find('>', i);
        if (e == std::string::npos) {
            return html.size();
        }
        std::size_t n = i + 1;
        bool closing = n < e && html[n] == '/';
        if (closing) {
            ++n;
        }
        std::string name;
        while (n < e && std::isalnum(static_cast<unsigned char>(html[n]))) {
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(html[n++])));
        }
        end_word();
        if (name == "script" || name == "style") {
            skip_ += closing ? -1 : 1;
            skip_ = std::max(skip_, 0);
        } else if (name == "title" ||
                   (name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6')) {
            end_block();
            slice_ = closing ? FFF::slice::centralNorm
                             : (name == "title" ? FFF::slice::title : FFF::slice::centralHeader);
        } else if (name == "p" || name == "div" || name == "li" || name == "td" || name == "th" ||
                   name == "tr" || name == "pre" || name == "dt" || name == "dd" ||
                   name == "table" || name == "br" || name == "body") {
            end_block();
        }
        return e + 1;
    }
    void end_word() {
        if (!word_.empty()) {
            current_.push_back(std::move(word_));
            word_.clear();
        }
    }
    void end_block() {
        end_word();
        if (current_.empty()) {
            return;
        }
        if (slice_ == FFF::slice::title && title.empty()) {
            for (const auto& w : current_) {
                title += (title.empty() ? "" : " ") + w;
            }
        }
        blocks.push_back({slice_, std::move(current_)});
        current_.clear();
    }

    std::string word_;
    std::vector<std::string> current_;
    std::uint32_t slice_ = FFF::slice::centralNorm;
    int skip_ = 0;
};

std::string make_fff(const page& p) {
    FFF::DocumentData root;
    auto& contents = root.add<FFF::Contents>();
    for (const block& b : p.blocks) {
        auto& low = contents.add<FFF::P>().add<FFF::S>().add<FFF::Low>();
        low.dictid = b.slice;
        for (const auto& w : b.words) {
            low.words.push_back(w);
        }
    }
    return FFF::ToBinary(root);
}

std::uintmax_t directory_size(const fs::path& dir) {
    std::uintmax_t total = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) {
            total += e.file_size();
        }
    }
    return total;
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct percentiles {
    double p50, p99, mean;
};

template <typename T>
double num(T v) {
    return static_cast<double>(v);
}

double thread_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return num(ts.tv_sec) * 1e6 + num(ts.tv_nsec) / 1e3;
}

double process_cpu_s() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return num(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           num(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User and system time of a running child, from /proc (clock-tick resolution).
double child_cpu_s(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(f);
        }
    }
    return ticks / num(sysconf(_SC_CLK_TCK));
}

// Wall-clock samples and CPU time of one kind of query.
class series {
  public:
    template <typename F>
    double measure(F&& f) {
        auto start = clock_type::now();
        double cpu = thread_cpu_us();
        f();
        cpu_us_ += thread_cpu_us() - cpu;
        wall_us_.push_back(seconds_since(start) * 1e6);
        return wall_us_.back();
    }
    void add_cpu_us(double us) { cpu_us_ += us; }
    double cpu_mean() const { return cpu_us_ / num(wall_us_.size()); }
    percentiles wall() const {
        std::vector<double> us = wall_us_;
        std::sort(us.begin(), us.end());
        double sum = 0;
        for (double v : us) {
            sum += v;
        }
        auto at = [&](double q) {
            return us[std::min(us.size() - 1, static_cast<std::size_t>(q * num(us.size())))];
        };
        return {at(0.50), at(0.99), sum / num(us.size())};
    }

  private:
    std::vector<double> wall_us_;
    double cpu_us_ = 0;
};

struct bench_query {
    std::string text;
    std::vector<std::string> words;
    enum { single, conjunction, phrase } kind;
};

std::vector<bench_query> read_queries(const std::string& path) {
    std::vector<bench_query> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        bench_query q{line, {}, bench_query::single};
        std::string s = line;
        if (s.front() == '"') {
            q.kind = bench_query::phrase;
            s = s.substr(1, s.size() - 2);
        } else if (s.find(" AND ") != std::string::npos) {
            q.kind = bench_query::conjunction;
        }
        std::istringstream words(s);
        std::string w;
        while (words >> w) {
            if (w != "AND") {
                q.words.push_back(w);
            }
        }
        out.push_back(q);
    }
    return out;
}

marloven::query_options client_query(const bench_query& q) {
    marloven::query_options o;
    using T = marloven::query_atom_type;
    for (const auto& w : q.words) {
        o.atoms.push_back({T::ATOM_WORD, w, ""});
    }
    std::string n = std::to_string(q.words.size());
    if (q.kind == bench_query::conjunction) {
        o.atoms.push_back({T::ATOM_AND, n, ""});
    } else if (q.kind == bench_query::phrase) {
        o.atoms.push_back({T::ATOM_NEAR, n, "PHRASE"});
    }
    o.first = 0;
    o.last = 9;
    return o;
}

// The same query as the client sends it, for the engine used in-process.
marloven::query_request engine_query(const bench_query& q) {
    namespace proto = marloven::index_protocol;
    marloven::query_request r;
    for (const auto& w : q.words) {
        std::string lower = w;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        r.terms.push_back({static_cast<std::int32_t>(proto::term_flag::word), lower, ""});
    }
    std::string n = std::to_string(q.words.size());
    if (q.kind == bench_query::conjunction) {
        r.terms.push_back({static_cast<std::int32_t>(proto::term_flag::and_), n, ""});
    } else if (q.kind == bench_query::phrase) {
        r.terms.push_back({static_cast<std::int32_t>(proto::term_flag::phrase), n, ""});
    }
    r.score_field = "score";
    return r;
}

// Runs a query on the engine as the server runs the client's search: the query, its count, and
// for each of the first ten hits the selection, its stored fields and its score. `sink` takes
// something of every answer, so that none of the work can be optimised away.
std::int32_t run_engine(marloven::index_engine& engine, const bench_query& q, std::size_t& sink) {
    const std::int32_t n = engine.run_query(engine_query(q));
    for (std::int32_t p = 0; p < std::min(n, 10); ++p) {
        if (!engine.select_hit(p)) {
            continue;
        }
        for (const char* field : {"guid", "url", "title", "mime", "arcid"}) {
            sink += engine.stored_text(field).value_or("").size();
        }
        sink += engine.stored_number("time").value_or(0);
        sink += engine.stored_number("servertime").value_or(0);
        sink += static_cast<std::size_t>(engine.hit_score().value_or(0));
    }
    return n;
}

// Adds one page to the engine with the fields the client sends (idxstorage::addDocument), after
// the removal of an older copy that the client sends first.
void engine_add(marloven::index_engine& engine, const page& p) {
    engine.remove({{0, p.guid, "guid"}});
    engine.begin_document();
    engine.add_text_field("guid", p.guid, true, true, false);
    engine.add_text_field("arcid", "1", true, true, false);
    engine.add_text_field("url", p.url, true, false, false);
    engine.add_text_field("mime", "text/html", true, false, false);
    engine.add_text_field("score", "000f4240", true, true, false);
    engine.add_number_field("time", 1699999200, true, true);
    engine.add_number_field("servertime", 1699999200, true, false);
    engine.add_text_field("view", "0", true, true, false);
    engine.add_text_field("title", p.sent_title, true, false, false);
    engine.add_text_field("", p.sent_text, false, true, true);
    engine.end_document();
}

}  // namespace

int main(int argc, char** argv) {
    std::string corpus = argc > 1 ? argv[1] : "/usr/share/doc/postgresql-doc-15/html";
    const char* corpus_dir = std::getenv("CORPUS_DIR");
    std::string queries_file =
        argc > 2 ? argv[2]
                 : std::string(corpus_dir != nullptr ? corpus_dir
                                                     : VANT_SOURCE_DIR "/../shared/corpus") +
                       "/queries.txt";
    int rounds = argc > 3 ? std::atoi(argv[3]) : 20;

    // Corpus, prepared before any clock starts.
    std::vector<page> pages;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(corpus)) {
        if (e.path().extension() == ".html") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::uintmax_t html_bytes = 0;
    std::size_t total_words = 0;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        html_bytes += html.size();
        html_words parsed(html);
        page p;
        char guid[40];
        std::snprintf(guid, sizeof guid, "%016zx%016zx", std::hash<std::string>{}(f.string()),
                      pages.size());
        p.guid = guid;
        p.url = "http://127.0.0.1:18080/pg/" + f.filename().string();
        p.title = parsed.title;
        p.blocks = std::move(parsed.blocks);
        for (const auto& b : p.blocks) {
            total_words += b.words.size();
        }
        p.fff = make_fff(p);
        auto root = FFF::FromBinary(p.fff);
        marloven::words_extractor words;
        root.root->accept(words, 0);
        p.sent_title = words.title();
        p.sent_text = words.text();
        pages.push_back(std::move(p));
    }
    auto queries = read_queries(queries_file);
    if (pages.empty() || queries.empty()) {
        std::cerr << "No pages in " << corpus << " or no queries in " << queries_file << "\n";
        return 1;
    }
    std::printf("corpus: %zu pages, %.1f MB HTML, %zu words; %zu queries x %d rounds\n",
                pages.size(), num(html_bytes) / 1e6, total_words, queries.size(), rounds);

    fs::path work = fs::temp_directory_path() / ("vant-index-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    { std::ofstream(work / "bench.conf") << "DEPLOYDIR=" VANT_DEPLOY_DIR "\n"; }

    // Indexing, path 1: the client and idxserv, as the daemon feeds it. CPU time counts both
    // processes, so that the comparison holds on a busy machine, where wall time also measures
    // the other programs.
    marloven::config_file config((work / "bench.conf").string());
    marloven::idxstorage client(config, (work / "client-index").string());
    if (!client.start()) {
        std::cerr << "idxserv did not start\n";
        return 1;
    }
    int server = client.server_pid();
    auto t0 = clock_type::now();
    double cpu0 = process_cpu_s() + child_cpu_s(server);
    for (const page& p : pages) {
        client.addDocument(p.guid, 1, p.url, "text/html", 1700000000, 1700000000, 1000000, {0},
                           p.fff);
    }
    client.flush();
    double client_index_s = seconds_since(t0);
    double client_index_cpu = process_cpu_s() + child_cpu_s(server) - cpu0;
    auto client_uncompacted = directory_size(work / "client-index");

    // Indexing, path 2: the server's engine in this process, fed the fields the client sends and
    // told to commit as often as the client does: the server's own share, without the client's
    // tree walk and the connection.
    double engine_index_cpu = 0;
    {
        marloven::engine_settings settings;
        settings.directory = (work / "engine-index").string();
        marloven::index_engine engine(settings);
        cpu0 = process_cpu_s();
        int changes = 0;
        for (const page& p : pages) {
            engine_add(engine, p);
            if (++changes == marloven::idxstorage::flush_every) {
                engine.commit();
                changes = 0;
            }
        }
        engine.commit();
        engine_index_cpu = process_cpu_s() - cpu0;
    }

    // Indexing, path 3: Xapian directly.
    std::string baseline_dir = (work / "baseline-index").string();
    double baseline_index_s = 0;
    double baseline_index_cpu = 0;
    {
        Xapian::WritableDatabase db(baseline_dir, Xapian::DB_CREATE_OR_OPEN);
        Xapian::TermGenerator tg;
        t0 = clock_type::now();
        cpu0 = process_cpu_s();
        for (const page& p : pages) {
            Xapian::Document doc;
            tg.set_document(doc);
            for (const block& b : p.blocks) {
                std::string text;
                for (const auto& w : b.words) {
                    text += w;
                    text += ' ';
                }
                tg.index_text(text, b.slice == FFF::slice::title ? 5 : 1);  // titles count more
            }
            doc.set_data(p.url + "\n" + p.title);
            doc.add_boolean_term("Q" + p.guid);
            doc.add_boolean_term("XA1");
            doc.add_value(0, Xapian::sortable_serialise(1700000000));
            db.replace_document("Q" + p.guid, doc);
        }
        db.commit();
        baseline_index_s = seconds_since(t0);
        baseline_index_cpu = process_cpu_s() - cpu0;
    }
    auto baseline_uncompacted = directory_size(baseline_dir);

    Xapian::Database reader(baseline_dir);
    Xapian::QueryParser qp;
    qp.set_database(reader);
    auto parse = [&](const bench_query& q) {
        return qp.parse_query(
            q.text, Xapian::QueryParser::FLAG_DEFAULT | Xapian::QueryParser::FLAG_BOOLEAN);
    };
    auto exact_count = [&](const bench_query& q) {
        Xapian::Enquire enquire(reader);
        enquire.set_query(parse(q));
        return enquire.get_mset(0, 0, reader.get_doccount()).get_matches_estimated();
    };
    // What a user would write: the first ten hits and their stored data.
    auto run_baseline = [&](const bench_query& q) {
        Xapian::Enquire enquire(reader);
        enquire.set_query(parse(q));
        Xapian::MSet mset = enquire.get_mset(0, 10);
        std::size_t bytes = 0;
        for (auto it = mset.begin(); it != mset.end(); ++it) {
            bytes += it.get_document().get_data().size();
        }
        return bytes;
    };

    // Queries through the client, interleaved with the same queries on Xapian directly; every
    // query once to warm up, then `rounds` rounds.
    series client_q, baseline_q, engine_q, baseline_q2;
    std::vector<marloven::query_hit> hits;
    for (const auto& q : queries) {
        client.query(client_query(q), nullptr, hits);
        run_baseline(q);
    }
    double server_cpu0 = child_cpu_s(server);
    std::vector<double> client_total(queries.size()), baseline_total(queries.size());
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < queries.size(); ++i) {
            client_total[i] +=
                client_q.measure([&] { client.query(client_query(queries[i]), nullptr, hits); });
            baseline_total[i] += baseline_q.measure([&] { run_baseline(queries[i]); });
        }
    }
    // The server's share of the CPU time, spread evenly over the client's queries.
    client_q.add_cpu_us((child_cpu_s(server) - server_cpu0) * 1e6);
    std::vector<std::int32_t> client_counts;
    for (const auto& q : queries) {
        client_counts.push_back(client.query(client_query(q), nullptr, hits));
    }
    // Searches as the daemon's request threads make them: `callers` threads at once through the
    // one client, each cycling through the queries for a fixed time.
    constexpr int callers = 16;
    constexpr auto concurrent_time = std::chrono::seconds(3);
    std::atomic<std::uint64_t> concurrent_done{0};
    {
        const auto until = std::chrono::steady_clock::now() + concurrent_time;
        std::vector<std::jthread> threads;
        for (int t = 0; t < callers; ++t) {
            threads.emplace_back([&, t] {
                std::vector<marloven::query_hit> own;
                for (std::size_t i = static_cast<std::size_t>(t);
                     std::chrono::steady_clock::now() < until; ++i) {
                    client.query(client_query(queries[i % queries.size()]), nullptr, own);
                    ++concurrent_done;
                }
            });
        }
    }
    const double concurrent_qps = static_cast<double>(concurrent_done.load()) /
                                  std::chrono::duration<double>(concurrent_time).count();
    client.optimise();
    auto client_compacted = directory_size(work / "client-index");
    client.stop();

    // The server's engine in this process, on the client's index: the query cost without the
    // connection, again interleaved with Xapian directly. Then every match of each query,
    // counted one by one on the client's index: what an exact count must say.
    std::size_t same_as_direct = 0;
    std::size_t exact_on_own_index = 0;
    {
        marloven::engine_settings settings;
        settings.directory = (work / "client-index").string();
        marloven::index_engine engine(settings);
        std::size_t sink = 0;
        for (const auto& q : queries) {
            run_engine(engine, q, sink);
        }
        for (int r = 0; r < rounds; ++r) {
            for (const auto& q : queries) {
                engine_q.measure([&] { run_engine(engine, q, sink); });
                baseline_q2.measure([&] { run_baseline(q); });
            }
        }
        Xapian::Database own((work / "client-index").string());
        for (std::size_t i = 0; i < queries.size(); ++i) {
            Xapian::Enquire enquire(own);
            enquire.set_query(engine.build_query(engine_query(queries[i])));
            // An MSet as large as the index holds every match.
            const Xapian::doccount matches = enquire.get_mset(0, own.get_doccount()).size();
            exact_on_own_index +=
                client_counts[i] >= 0 && static_cast<Xapian::doccount>(client_counts[i]) == matches;
            same_as_direct +=
                client_counts[i] >= 0 &&
                static_cast<Xapian::doccount>(client_counts[i]) == exact_count(queries[i]);
        }
    }
    if (std::getenv("BENCH_VERBOSE") != nullptr) {
        std::printf("%-28s %10s %10s %8s %8s\n", "query", "client us", "direct us", "hits",
                    "exact");
        for (std::size_t i = 0; i < queries.size(); ++i) {
            std::printf("%-28s %10.0f %10.0f %8d %8u\n", queries[i].text.c_str(),
                        client_total[i] / rounds, baseline_total[i] / rounds, client_counts[i],
                        exact_count(queries[i]));
        }
    }
    Xapian::Database(baseline_dir).compact((work / "baseline-compacted").string());
    auto baseline_compacted = directory_size(work / "baseline-compacted");

    auto c = client_q.wall();
    auto b = baseline_q.wall();
    auto e = engine_q.wall();
    auto b2 = baseline_q2.wall();
    double client_dps = num(pages.size()) / client_index_s;
    double baseline_dps = num(pages.size()) / baseline_index_s;
    auto row = [](const char* what, double client_v, double direct_v, double ratio) {
        std::printf("%-34s %14.1f %14.1f %8.2f\n", what, client_v, direct_v, ratio);
    };
    std::printf("\n%-34s %14s %14s %8s\n", "", "client+idxserv", "Xapian direct", "ratio");
    row("indexing, docs/s (wall)", client_dps, baseline_dps, baseline_dps / client_dps);
    row("indexing, CPU s (both processes)", client_index_cpu, baseline_index_cpu,
        client_index_cpu / baseline_index_cpu);
    row("index size, MB", num(client_uncompacted) / 1e6, num(baseline_uncompacted) / 1e6,
        num(client_uncompacted) / num(baseline_uncompacted));
    row("index size after optimise, MB", num(client_compacted) / 1e6, num(baseline_compacted) / 1e6,
        num(client_compacted) / num(baseline_compacted));
    row("query p50, us (wall)", c.p50, b.p50, c.p50 / b.p50);
    row("query p99, us (wall)", c.p99, b.p99, c.p99 / b.p99);
    row("query mean, us (wall)", c.mean, b.mean, c.mean / b.mean);
    row("query CPU, us (both processes)", client_q.cpu_mean(), baseline_q.cpu_mean(),
        client_q.cpu_mean() / baseline_q.cpu_mean());
    std::printf("\n%-34s %14s %14s %8s\n", "", "engine only", "Xapian direct", "ratio");
    row("indexing, CPU s", engine_index_cpu, baseline_index_cpu,
        engine_index_cpu / baseline_index_cpu);
    row("query p50, us (wall)", e.p50, b2.p50, e.p50 / b2.p50);
    row("query p99, us (wall)", e.p99, b2.p99, e.p99 / b2.p99);
    row("query CPU, us", engine_q.cpu_mean(), baseline_q2.cpu_mean(),
        engine_q.cpu_mean() / baseline_q2.cpu_mean());
    std::printf("%-34s %14.0f\n", "queries/s, 16 callers at once", concurrent_qps);
    std::printf(
        "\nratios: client / direct (for docs/s: direct / client); 'engine only' is the\n"
        "server's index code in this process, without the client and the connection\n");
    std::printf("\naims, each against Xapian used directly in this run:\n");
    std::printf("  indexing through idxserv:   %.2f of direct's docs/s (wall), %.2f x its CPU\n",
                client_dps / baseline_dps, client_index_cpu / baseline_index_cpu);
    std::printf("  query overhead (aim <= 1.5): p50 %.2f x direct (p99 %.2f x)\n", c.p50 / b.p50,
                c.p99 / b.p99);
    std::printf(
        "  exact hit counts:            %zu of %zu queries (%zu of %zu equal direct's exact"
        " count)\n",
        exact_on_own_index, queries.size(), same_as_direct, queries.size());

    std::error_code ec;
    fs::remove_all(work, ec);
    return 0;
}
