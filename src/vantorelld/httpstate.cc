// httpstate.cc: request handling: head, authentication, body-size check, routing, WSDL and the
// fixed replies.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpstate.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/crypto.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>

#include "util/config_file.h"
#include "util/http_text.h"
#include "util/install_paths.h"
#include "util/log.h"
#include "util/md5.h"
#include "vantorelld/httpserver.h"
#include "vantorelld/httptransport.h"
#include "vantorelld/portal.h"
#include "vantorelld/rest.h"

namespace marloven {

namespace {

constexpr std::string_view reply_unauthorized =
    "HTTP/1.1 401 Authorization required\r\nWWW-Authenticate: Basic realm=\"vantorell\"\r\n\r\n";
constexpr std::string_view reply_too_large_expected = "HTTP/1.1 417 Document too large\r\n\r\n";
constexpr std::string_view reply_too_large = "HTTP/1.1 400 Document too large\r\n\r\n";
constexpr std::string_view reply_continue = "HTTP/1.1 100 continue\r\n\r\n";

// Whether the digest of a given password equals the stored one (never when that is empty). The
// bytes are compared in constant time, so the reply time tells nothing about how many leading
// digits of a guess were right; the length of a digest is no secret.
bool digest_matches(const std::string& given, const std::string& stored) {
    return !stored.empty() && given.size() == stored.size() &&
           CRYPTO_memcmp(given.data(), stored.data(), stored.size()) == 0;
}

void send_html_status(http_connection& c, std::string_view status) {
    c.send(html_status_reply(status));
}

bool iequals_prefix(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The name of an IPv4 address by reverse lookup, or nothing.
std::string name_of(in_addr address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD) == 0) {
        return host;
    }
    return {};
}

// The host name by which clients without a Host header reach the server: the name of the listen
// address, or, listening on every address, of the first network adapter address that has one;
// failing that the dotted address last tried (nothing for a loopback address).
std::string self_host_name(const std::string& listen_address) {
    std::vector<in_addr> candidates;
    auto parsed = parse_listen_address(listen_address);
    if (parsed && parsed->address.s_addr != htonl(INADDR_ANY)) {
        candidates.push_back(parsed->address);
    } else {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
                if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET) {
                    candidates.push_back(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
                }
            }
            ::freeifaddrs(list);
        }
    }
    for (const in_addr& a : candidates) {
        if (std::string name = name_of(a); !name.empty()) {
            return name;
        }
    }
    if (candidates.empty() || (ntohl(candidates.back().s_addr) >> 24) == 127) {
        return {};
    }
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &candidates.back(), dotted, sizeof dotted);
    return dotted;
}

// Host and port of this server as the client named them (Host header), else as listened on.
std::pair<std::string, int> self_address(const httpstate& state, int listen_port,
                                         const std::string& listen_address) {
    std::string host;
    int port = listen_port;
    if (auto h = state.head.header_lower("host")) {
        std::size_t colon = h->find(':');
        host = h->substr(0, colon);
        if (colon != std::string::npos) {
            port = static_cast<int>(leading_integer(std::string_view(*h).substr(colon + 1)));
        }
    } else {
        host = self_host_name(listen_address);
    }
    while (!host.empty() && std::isspace(static_cast<unsigned char>(host.back()))) {
        host.pop_back();
    }
    return {host, port};
}

void serve_wsdl(httpstate& state, int listen_port, const std::string& listen_address, bool secure) {
    std::string text;
    install_paths paths = install_paths::from(config_file());
    if (!paths.deploy_dir.empty()) {
        std::string path = paths.wsdl();
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            VANT_LOG(HTTPSERVER, error) << "Cannot open " << path;
        } else {
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    text = text.substr(0, text.find('\0'));
    if (text.empty()) {
        send_html_status(state.connection, "404 File not found");
        return;
    }
    // The file names the SOAP endpoint as a placeholder of ten at-signs in double quotes.
    constexpr std::string_view placeholder = "\"@@@@@@@@@@\"";
    if (std::size_t at = text.find(placeholder); at != std::string::npos) {
        auto [host, port] = self_address(state, listen_port, listen_address);
        text.replace(at, placeholder.size(),
                     "\"http" + std::string(secure ? "s" : "") + "://" + host + ":" +
                         std::to_string(port) + "/soap\"");
    }
    std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";
    reply += date_line();
    reply += "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n";
    reply += text;
    state.connection.send(reply);
}

void collect_headers(httpstate& st) {
    const headerparser& h = st.head;
    st.content_length = h.header_lower("content-length");
    if (auto ct = h.header_lower("content-type")) {
        st.content_type_value = *ct;
        content_type parsed = parse_content_type(*ct);
        st.content_type = parsed.media_type;
        st.charset = parsed.charset();
    }
    st.accept = h.header_lower("accept").value_or("");
    st.accepts_deflate =
        h.header_lower("accept-encoding").value_or("").find("deflate") != std::string::npos;
    st.soapaction = h.header_lower("soapaction").value_or("");
    if (st.soapaction.size() >= 2 && st.soapaction.front() == '"' && st.soapaction.back() == '"') {
        st.soapaction = st.soapaction.substr(1, st.soapaction.size() - 2);
    }
    st.expect_continue = expects_continue(h);
}

}  // namespace

threadcontext::threadcontext(const http_services& lent)
    : config(lent.config),
      services(lent.api),
      db(open_database(lent.config, install_paths::database)) {}

api_session threadcontext::session() const {
    api_session s;
    s.db = db;
    s.user = user;
    s.groups = groups;
    s.admin = admin;
    s.services = &services;
    return s;
}

std::uint64_t content_length_number(const std::optional<std::string>& value) {
    if (!value) {
        return 0;
    }
    std::uint64_t n = 0;
    for (char c : *value) {
        if (c < '0' || c > '9') {
            break;
        }
        if (n > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) {
            return std::numeric_limits<std::uint64_t>::max();
        }
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

bool expects_continue(const headerparser& head) {
    return head.version() == "1.1" && head.header_lower("expect") == "100-continue";
}

std::uint64_t httpstate::content_length_value() const {
    return content_length_number(content_length);
}

void httpstate::publish_caller() const {
    context.user = user;
    context.groups = groups;
    context.admin = admin;
}

std::string date_line() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    gmtime_r(&now, &t);
    char buf[64];
    std::size_t n = std::strftime(buf, sizeof buf, "Date: %a, %d %b %Y %T GMT\r\n", &t);
    return std::string(buf, n);
}

std::string html_status_reply(std::string_view status) {
    std::string reply = "HTTP/1.1 ";
    reply += status;
    reply += "\r\nContent-Type: text/html\r\n";
    reply += date_line();
    reply += "\r\n";
    return reply;
}

bool authenticate(httpstate& st) {
    // The built-in account, read afresh so that a change needs no restart. Without a readable
    // file the state keeps "Anonymous" and an empty digest, which never authenticates.
    config_file cfg;
    cfg.get(keys::HTTP_USER.name, st.user);
    cfg.get(keys::HTTP_MD5PASS.name, st.password_digest);
    st.admin = true;
    if (st.user.empty()) {
        st.groups = {all_users_group};
        return true;
    }
    bool ok = false;
    auto authorization = st.head.header_verbatim("authorization");
    if (authorization && iequals_prefix(*authorization, "basic ")) {
        std::string credentials = decode_base64(authorization->substr(6));
        credentials = credentials.substr(0, credentials.find('\0'));
        std::size_t colon = credentials.find(':');
        if (colon != std::string::npos) {
            std::string name = credentials.substr(0, colon);
            std::string password = credentials.substr(colon + 1);
            LoginConfiguration login;
            {
                transaction t(st.context.db);
                if (!st.context.services.logins->get(st.context.db, login_record_id, login)) {
                    login = LoginConfiguration{};
                }
                t.commit();
            }
            if (auto u = login.users.find(name); u != login.users.end()) {
                st.user = u->second.name.empty() ? name : u->second.name;
                st.password_digest = u->second.password_hash;
                st.groups.assign(u->second.groups.begin(), u->second.groups.end());
                st.admin = u->second.admin;
            }
            ok = name == st.user && digest_matches(md5_hex(password), st.password_digest);
        }
    }
    if (ok) {
        return true;
    }
    if (st.content_length_value() != 0 && !st.expect_continue) {
        st.connection.discard(st.content_length_value());
    }
    st.connection.send(reply_unauthorized);
    return false;
}

bool check_body_size(httpstate& st, std::uint64_t limit) {
    if (st.content_length && st.content_length_value() > limit) {
        if (st.expect_continue) {
            st.connection.send(reply_too_large_expected);
        } else {
            st.connection.discard(st.content_length_value());
            st.connection.send(reply_too_large);
        }
        return false;
    }
    if (st.expect_continue) {
        st.connection.send(reply_continue);
    }
    return true;
}

void handle(http_connection& connection, headerparser head, int listen_port,
            const std::string& listen_address, bool secure, threadcontext& context) {
    httpstate st(connection, context);
    st.head = std::move(head);
    if (!st.head.ok()) {
        send_html_status(connection, "400 Bad request");
        return;
    }
    collect_headers(st);
    const std::string& target = st.head.target();
    if (target == "/soap" || target == "/research" || target == "/wsdl") {
        if (!authenticate(st) || !check_body_size(st, max_body_size)) {
            return;
        }
        st.publish_caller();
        if (target == "/wsdl") {
            serve_wsdl(st, listen_port, listen_address, secure);
        } else if (target == "/soap") {
            serve_search(st);
        } else {
            auto [host, port] = self_address(st, listen_port, listen_address);
            serve_research(st, host, port, secure);
        }
        return;
    }
    std::size_t question = target.find('?');
    std::string_view path = std::string_view(target).substr(0, question);
    std::string_view query = question == std::string::npos
                                 ? std::string_view()
                                 : std::string_view(target).substr(question + 1);
    if (rest_handle(st, path, query, question != std::string::npos)) {
        return;
    }
    if (context.portal_enabled) {
        portal_handle(
            st, [&] { return self_address(st, listen_port, listen_address); }, secure);
    } else {
        send_html_status(connection, "404 Not found");
    }
}

}  // namespace marloven
