// search_client.cc: SOAP calls over libcurl.
// SPDX-License-Identifier: MIT
#include "soapclient/search_client.h"

#include <curl/curl.h>

#include "soap/contract.h"
#include "soap/fault.h"
#include "soap/message.h"
#include "util/log.h"

namespace marloven {

namespace {

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

struct slist_free {
    void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};

}  // namespace

struct search_client::curl_handle {
    curl_handle() : easy(curl_easy_init()) { VANT_CHECK(easy != nullptr, "curl_easy_init failed"); }
    ~curl_handle() { curl_easy_cleanup(easy); }
    CURL* easy;
};

search_client::search_client(client_options options)
    : options_(std::move(options)), curl_(std::make_unique<curl_handle>()) {
    endpoint_ = options_.url;
    while (endpoint_.ends_with('/')) {
        endpoint_.pop_back();
    }
    if (!endpoint_.ends_with("/soap")) {
        endpoint_ += "/soap";
    }
}

search_client::~search_client() = default;

soap::value search_client::call(std::string_view method_name, const soap::value& params) {
    const soap::service& service = soap::search_service();
    const soap::method* m = service.find_method(method_name);
    VANT_CHECK(m != nullptr, "Not a method of the search service: " + std::string(method_name));
    post(m->name, soap::request_envelope(service, *m, params));
    try {
        return soap::read_response(service, *m, reply_);
    } catch (const soap::fault& f) {
        throw call_error(f.what());
    }
}

long search_client::post(std::string_view method, const std::string& body) {
    const std::string action =
        "SOAPAction: \"" + soap::search_service().ns() + std::string(method) + "\"";
    std::unique_ptr<curl_slist, slist_free> headers(
        curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8"));
    curl_slist_append(headers.get(), action.c_str());
    // The daemon answers one request per connection; no reason to wait for "100 continue".
    curl_slist_append(headers.get(), "Expect:");

    CURL* easy = curl_->easy;
    curl_easy_reset(easy);
    char error[CURL_ERROR_SIZE] = "";
    reply_.clear();
    curl_easy_setopt(easy, CURLOPT_URL, endpoint_.c_str());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    if (options_.accept_deflate) {
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "deflate");
    }
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply_);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, options_.timeout_seconds);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (!options_.user.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(easy, CURLOPT_USERNAME, options_.user.c_str());
        curl_easy_setopt(easy, CURLOPT_PASSWORD, options_.password.c_str());
    }
    CURLcode rc = curl_easy_perform(easy);
    if (rc != CURLE_OK) {
        throw call_error("Cannot call " + endpoint_ + ": " +
                         (error[0] != '\0' ? std::string(error) : curl_easy_strerror(rc)));
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status == 401) {
        throw call_error(endpoint_ + " refused the credentials (401 Authorization required)");
    }
    if (status != 200 && status != 500) {
        throw call_error(endpoint_ + " answered with HTTP status " + std::to_string(status));
    }
    return status;
}

}  // namespace marloven
