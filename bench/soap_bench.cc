// soap_bench.cc: SOAP against REST on one running daemon: the same queries through the SOAP
// method Query and through REST search (GET /index/1?q=...) from CONNECTIONS client threads for
// SECONDS each, with throughput and latency (p50, p99); then the rate of configuration round
// trips (AddSource, GetSourceConfiguration, SetSourceConfiguration with the stamp read) from one
// client. Every request is a new connection (the daemon closes it after the reply).
// Driven by bench/soap_load.sh, which builds the index; figures go into the notes of a change.
//
// Usage: vant_soap_bench URL QUERIES_FILE [SECONDS [CONNECTIONS]]
//
// SPDX-License-Identifier: MIT
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "soap/contract.h"
#include "soap/message.h"
#include "soapclient/search_client.h"

namespace {

using namespace marloven;
using clock_type = std::chrono::steady_clock;

struct figures {
    double per_second = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    std::size_t calls = 0;
    std::size_t failures = 0;
};

// One client's call: true when it succeeded. `n` counts the client's calls.
using call_fn = std::function<bool(std::size_t n)>;

// Runs `threads` clients, each made by `make` (given its index), for `seconds`.
figures measure(int threads, int seconds, const std::function<call_fn(int)>& make) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(threads));
    std::vector<std::size_t> failures(static_cast<std::size_t>(threads));
    std::vector<call_fn> calls;
    for (int t = 0; t < threads; ++t) {
        calls.push_back(make(t));
    }
    std::atomic<bool> stop{false};
    const auto began = clock_type::now();
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < calls.size(); ++t) {
        pool.emplace_back([&, t] {
            for (std::size_t n = 0; !stop.load(std::memory_order_relaxed); ++n) {
                const auto start = clock_type::now();
                const bool ok = calls[t](n);
                const auto end = clock_type::now();
                latencies[t].push_back(
                    std::chrono::duration<double, std::milli>(end - start).count());
                failures[t] += ok ? 0 : 1;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (std::thread& t : pool) {
        t.join();
    }
    const double elapsed = std::chrono::duration<double>(clock_type::now() - began).count();
    std::vector<double> all;
    figures f;
    for (std::size_t t = 0; t < latencies.size(); ++t) {
        all.insert(all.end(), latencies[t].begin(), latencies[t].end());
        f.failures += failures[t];
    }
    std::sort(all.begin(), all.end());
    f.calls = all.size();
    f.per_second = static_cast<double>(all.size()) / elapsed;
    if (!all.empty()) {
        f.p50_ms = all[all.size() / 2];
        f.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return f;
}

void print(const std::string& label, const figures& f) {
    std::printf("%-36s %9.1f /s   p50 %7.2f ms   p99 %7.2f ms   (%zu calls, %zu failed)\n",
                label.c_str(), f.per_second, f.p50_ms, f.p99_ms, f.calls, f.failures);
    std::fflush(stdout);
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// Purpose: a REST search client: GET /index/1?q=QUERY.
// Ownership: owns one libcurl handle. Failure: a failed search is an empty result.
// Threads: one thread at a time.
class rest_client {
  public:
    explicit rest_client(std::string url) : url_(std::move(url)), easy_(curl_easy_init()) {}
    ~rest_client() { curl_easy_cleanup(easy_); }
    rest_client(const rest_client&) = delete;
    rest_client& operator=(const rest_client&) = delete;

    // The body of a search that answered 200, or nothing.
    std::optional<std::string> search(const std::string& query) {
        char* escaped = curl_easy_escape(easy_, query.c_str(), static_cast<int>(query.size()));
        const std::string target = url_ + "/index/1?q=" + escaped;
        curl_free(escaped);
        body_.clear();
        curl_easy_reset(easy_);
        curl_easy_setopt(easy_, CURLOPT_URL, target.c_str());
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &body_);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_TIMEOUT, 60L);
        long status = 0;
        if (curl_easy_perform(easy_) != CURLE_OK ||
            curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status != 200) {
            return std::nullopt;
        }
        return body_;
    }

  private:
    std::string url_;
    CURL* easy_;
    std::string body_;
};

// A client of the daemon at `url`, without credentials.
client_options at(const std::string& url) {
    client_options o;
    o.url = url;
    return o;
}

soap::value query_params(const std::string& text) {
    soap::value q;
    q.at("Archives") = soap::value::list({soap::value("1")});
    q.at("FirstDoc") = "0";
    q.at("LastDoc") = "9";
    q.at("Info") = "INFO_TITLE";
    q.at("Parser") = "NETPARSER";
    q.at("QueryString") = text;
    soap::value params;
    params.at("query") = std::move(q);
    return params;
}

// Both interfaces must find the same number of hits for every query, so that they do the same
// work; returns false (after saying which) when they do not.
bool same_hits(const std::string& url, const std::vector<std::string>& queries) {
    rest_client rest(url);
    search_client soap_client(at(url));
    const std::regex maxresults("<maxresults>([0-9-]+)</maxresults>");
    for (const std::string& q : queries) {
        std::optional<std::string> body = rest.search(q);
        std::smatch m;
        if (!body || !std::regex_search(*body, m, maxresults)) {
            std::cerr << "REST search failed for " << q << "\n";
            return false;
        }
        const std::string soap_hits =
            soap_client.call("Query", query_params(q)).text_of("maxresults");
        if (soap_hits != m[1].str()) {
            std::cerr << "Query " << q << ": " << m[1].str() << " hits by REST, " << soap_hits
                      << " by SOAP\n";
            return false;
        }
    }
    return true;
}

int run(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "Usage: vant_soap_bench URL QUERIES_FILE [SECONDS [CONNECTIONS]]\n";
        return 2;
    }
    const std::string url = argv[1];
    std::vector<std::string> queries;
    std::ifstream file(argv[2]);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty()) {
            queries.push_back(line);
        }
    }
    const int seconds = argc > 3 ? std::stoi(argv[3]) : 10;
    const int connections = argc > 4 ? std::stoi(argv[4]) : 4;
    if (queries.empty() || seconds < 1 || connections < 1) {
        std::cerr << "No queries in " << argv[2] << ", or no seconds or connections\n";
        return 2;
    }
    if (!same_hits(url, queries)) {
        return 1;
    }
    std::printf("%zu queries, %d s per run, %d connections\n", queries.size(), seconds,
                connections);
    // Each client starts at its own place in the list.
    auto nth = [&](int client, std::size_t n) -> const std::string& {
        return queries[(static_cast<std::size_t>(client) * 7 + n) % queries.size()];
    };
    const figures rest = measure(connections, seconds, [&](int client) -> call_fn {
        auto c = std::make_shared<rest_client>(url);
        return [c, client, &nth](std::size_t n) { return c->search(nth(client, n)).has_value(); };
    });
    print("REST search", rest);
    // Each request envelope is written once, so the SOAP clients do no more per call than the
    // REST clients: send a request, take the reply, check its status.
    const soap::service& service = soap::search_service();
    std::vector<std::string> envelopes;
    for (const std::string& q : queries) {
        envelopes.push_back(
            soap::request_envelope(service, *service.find_method("Query"), query_params(q)));
    }
    auto soap_run = [&](bool deflate) {
        return measure(connections, seconds, [&](int client) -> call_fn {
            client_options o = at(url);
            o.accept_deflate = deflate;
            auto c = std::make_shared<search_client>(o);
            return [c, client, &envelopes](std::size_t n) {
                try {
                    const std::size_t i =
                        (static_cast<std::size_t>(client) * 7 + n) % envelopes.size();
                    return c->post("Query", envelopes[i]) == 200;
                } catch (const call_error&) {
                    return false;
                }
            };
        });
    };
    const figures soap = soap_run(false);
    print("SOAP Query", soap);
    std::printf("SOAP/REST throughput: %.0f%%\n", 100.0 * soap.per_second / rest.per_second);
    // What compressing the replies costs (REST replies are never compressed).
    print("SOAP Query, deflated replies", soap_run(true));

    const figures rounds = measure(1, seconds, [&](int) -> call_fn {
        auto c = std::make_shared<search_client>(at(url));
        return [c](std::size_t n) {
            try {
                soap::value cfg;
                cfg.at("Name") = "bench " + std::to_string(n);
                cfg.at("Seeds") = soap::value::list({soap::value("http://bench.invalid/")});
                soap::value add;
                add.at("cfg") = cfg;
                const std::string id = c->call("AddSource", add).at("info").text_of("Source");
                soap::value get;
                get.at("id") = id;
                soap::value got = c->call("GetSourceConfiguration", get);
                soap::value set = get;
                got.at("cfg").at("Description") = "changed";
                set.at("cfg") = got.at("cfg");
                set.at("magic") = got.at("magic");
                c->call("SetSourceConfiguration", set);
                return true;
            } catch (const call_error&) {
                return false;
            }
        };
    });
    print("AddSource+Get+SetSourceConfiguration", rounds);
    return soap.failures + rest.failures + rounds.failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "vant_soap_bench: " << e.what() << "\n";
        return 1;
    }
}
