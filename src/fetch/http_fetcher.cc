// http_fetcher.cc: single HTTP requests through libcurl's easy interface.
// SPDX-License-Identifier: MIT
#include "fetch/http_fetcher.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>

#include "util/config_file.h"
#include "util/log.h"

namespace marloven {

struct curl_handle {
    struct closer {
        void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
    };
    std::unique_ptr<CURL, closer> curl;
    bool cookie_jar = false;  // the cookie engine is on (it stays on for the handle's life)
    curl_handle() : curl(curl_easy_init()) {}
};

namespace {

struct transfer {
    fetch_response* response;
    std::size_t max_size;
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    std::string_view line(data, size * count);
    // A 1xx interim response (100 Continue) is followed by the real one: keep only the last.
    if (line.starts_with("HTTP/")) {
        t->response->headers.clear();
    }
    t->response->headers.append(line);
    return size * count;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<transfer*>(user);
    std::string& body = t->response->body;
    size_t n = size * count;
    size_t room = t->max_size - std::min(t->max_size, body.size());
    if (n > room) {
        body.append(data, room);
        t->response->truncated = true;
        return 0;  // ends the transfer; the cut body is kept
    }
    body.append(data, n);
    return n;
}

transfer_failure classify(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return transfer_failure::none;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return transfer_failure::resolve;
        case CURLE_COULDNT_CONNECT:
            return transfer_failure::connect;
        case CURLE_OPERATION_TIMEDOUT:
            return transfer_failure::timeout;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_USE_SSL_FAILED:
            return transfer_failure::tls;
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT:
            return transfer_failure::bad_url;
        case CURLE_BAD_CONTENT_ENCODING:
            return transfer_failure::decoding;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return transfer_failure::broken;
        default:
            return transfer_failure::other;
    }
}

// Loopback addresses never go through a proxy from the environment; other no_proxy entries
// are kept.
std::string no_proxy_list() {
    std::string list = "localhost,127.0.0.1,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (const char* v = std::getenv(name); v != nullptr && *v != '\0') {
            list += ",";
            list += v;
            break;
        }
    }
    return list;
}

// Every option a request may change is set on each request, so that nothing of one request
// carries over to the next; the handle keeps its open connections (and a session its cookies).
fetch_response perform(curl_handle& h, const fetch_settings& s, const fetch_request& r,
                       bool cookie_jar, const std::vector<std::string>& extra_headers) {
    fetch_response response;
    CURL* c = h.curl.get();
    if (c == nullptr) {
        response.failure = transfer_failure::other;
        response.failure_text = "Could not create a transfer handle";
        return response;
    }
    transfer t{&response, s.max_size};
    char error_buffer[CURL_ERROR_SIZE] = {};
    std::string no_proxy = no_proxy_list();
    curl_easy_setopt(c, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, no_proxy.c_str());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, s.connect_timeout_seconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, s.timeout_seconds);
    curl_easy_setopt(c, CURLOPT_USERAGENT, s.user_agent.c_str());
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // every coding the library can undo
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
    if (cookie_jar && !h.cookie_jar) {
        curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");
        h.cookie_jar = true;
    }
    curl_easy_setopt(c, CURLOPT_COOKIE, r.cookies.empty() ? nullptr : r.cookies.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(c, CURLOPT_USERNAME, r.basic_auth ? r.basic_auth->first.c_str() : nullptr);
    curl_easy_setopt(c, CURLOPT_PASSWORD, r.basic_auth ? r.basic_auth->second.c_str() : nullptr);
    struct slist_freer {
        void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
    };
    std::unique_ptr<curl_slist, slist_freer> header_list;
    for (const std::string& line : extra_headers) {
        curl_slist* grown = curl_slist_append(header_list.get(), line.c_str());
        if (grown == nullptr) {
            break;  // out of memory: the request goes out unconditional
        }
        (void)header_list.release();
        header_list.reset(grown);
    }
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, header_list.get());
    if (r.form_body) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(r.form_body->size()));
        curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, r.form_body->c_str());
    } else {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    }
    CURLcode code = curl_easy_perform(c);
    if (code == CURLE_WRITE_ERROR && response.truncated) {
        code = CURLE_OK;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
    response.failure = classify(code);
    if (response.failure != transfer_failure::none) {
        response.failure_text = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(code);
    }
    VANT_LOG(WORKERFETCHERS, debug)
        << "Fetched " << r.url << ": " << response.status << " " << response.body.size() << " bytes"
        << (response.truncated ? " (cut)" : "") << " " << response.failure_text;
    return response;
}

}  // namespace

fetch_settings fetch_settings::from(const config_file& config) {
    fetch_settings s;
    s.connect_timeout_seconds = static_cast<long>(config.integer(keys::FETCH_CONNECT_TIMEOUT));
    s.timeout_seconds = static_cast<long>(config.integer(keys::FETCH_TIMEOUT));
    s.max_size = static_cast<std::size_t>(config.integer(keys::MAXDOCSIZE));
    if (auto ua = config.value(keys::UserAgent)) {
        s.user_agent = *ua;
    }
    return s;
}

http_fetcher::http_fetcher(fetch_settings settings)
    : settings_(std::move(settings)), handle_(std::make_unique<curl_handle>()) {}

http_fetcher::~http_fetcher() = default;

fetch_response http_fetcher::fetch(const fetch_request& request,
                                   const std::vector<std::string>& extra_headers) {
    return perform(*handle_, settings_, request, false, extra_headers);
}

http_fetcher::session::session(const fetch_settings& settings)
    : settings_(settings), handle_(std::make_unique<curl_handle>()) {}

http_fetcher::session::~session() = default;

fetch_response http_fetcher::session::fetch(const fetch_request& request) {
    return perform(*handle_, settings_, request, true, {});
}

std::string form_encode(std::string_view text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace marloven
