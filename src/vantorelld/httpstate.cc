// httpstate.cc: request handling: head, authentication, body-size check, routing, WSDL and the
// fixed replies.
// SPDX-License-Identifier: MIT
#include "vantorelld/httpstate.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

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

// What tells that a file may have changed: its identity, size and time stamps. Absent files
// have an empty signature (errno kept), so that their appearance counts as a change.
struct file_signature {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{}, changed{};

    static file_signature of(const std::string& path) {
        file_signature f;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            f = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
        }
        return f;
    }
    bool operator==(const file_signature& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

// The built-in account of the configuration files. Reading and parsing them (and listing their
// directory for companion files) costs more than the rest of a small request, so a reading is
// kept and used again while neither the files nor their directory (where a companion may come
// or go) show any sign of change. A file changed less than `settle` before it was read might
// change again within the same time stamp, so such a reading is not kept.
class account_cache {
  public:
    std::optional<built_in_account_values> current() {
        const std::string path = get_environment("MARLOVEN_CONFIG_FILE").value_or("");
        std::shared_ptr<const reading> kept;
        {
            std::scoped_lock lock(mutex_);
            kept = kept_;
        }
        if (kept && kept->path == path && unchanged(*kept)) {
            return kept->account;
        }
        auto fresh = std::make_shared<const reading>(read(path));
        std::scoped_lock lock(mutex_);
        kept_ = fresh->settled ? fresh : nullptr;
        return fresh->account;
    }

  private:
    static constexpr std::chrono::seconds settle{2};

    struct reading {
        std::string path;
        std::optional<built_in_account_values> account;             // nothing: no readable file
        std::vector<std::pair<std::string, file_signature>> files;  // the directory first
        bool settled = false;
    };

    static bool unchanged(const reading& r) {
        for (const auto& [file, signature] : r.files) {
            if (!(file_signature::of(file) == signature)) {
                return false;
            }
        }
        return true;
    }

    static reading read(const std::string& path) {
        reading r;
        r.path = path;
        const auto now = std::chrono::system_clock::now();
        if (!path.empty()) {
            std::string dir = ".";
            if (auto sep = path.find_last_of("\\/"); sep != std::string::npos) {
                dir = path.substr(0, sep);
            }
            r.files.emplace_back(dir, file_signature::of(dir));
        }
        // The signatures are taken before the files are read: a change during the reading shows
        // as a change next time.
        config_file cfg;
        for (const std::string& file : cfg.sources()) {
            r.files.emplace_back(file, file_signature::of(file));
        }
        if (cfg.loaded()) {
            built_in_account_values a;
            cfg.get(keys::HTTP_USER.name, a.user);
            cfg.get(keys::HTTP_MD5PASS.name, a.password_digest);
            r.account = a;
        }
        r.settled = cfg.loaded() && !path.empty();
        for (const auto& [file, signature] : r.files) {
            const auto latest = std::max(signature.modified, signature.changed, [](auto a, auto b) {
                return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
            });
            const auto stamp = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::seconds(latest.tv_sec) +
                    std::chrono::nanoseconds(latest.tv_nsec)));
            if (signature.size < 0 || stamp + settle > now) {
                r.settled = false;
            }
        }
        return r;
    }

    std::mutex mutex_;
    // Shared with the requests that check it while a newer reading may replace it.
    std::shared_ptr<const reading> kept_;  // guarded by mutex_
};

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

std::optional<built_in_account_values> built_in_account() {
    static account_cache cache;
    return cache.current();
}

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
    // The built-in account, as the configuration says it now, so that a change needs no restart.
    // Without a readable file the state keeps "Anonymous" and an empty digest, which never
    // authenticates.
    if (auto account = built_in_account()) {
        st.user = account->user;
        st.password_digest = account->password_digest;
    }
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
