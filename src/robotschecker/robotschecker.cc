// robotschecker.cc: the robots cache and the translation of robots.txt into a regular
// expression. Assertions of this file print the path "src\robotschecker\robotschecker".
// SPDX-License-Identifier: MIT
#include "robotschecker/robotschecker.h"

#include <regex.h>
#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <utility>

#include "db/compressed.h"
#include "db/sqlite.h"
#include "util/log.h"
#include "util/uri.h"

namespace marloven {

namespace {

constexpr std::string_view no_path = "^I'm not an URL$";

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool equals_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// Splits a line (already cut at "#") into field name and value: the name is the first piece
// between colons that is not empty and does not begin with white space, the value everything
// after the colon that ends it.
std::optional<std::pair<std::string_view, std::string_view>> split_field(std::string_view line) {
    std::size_t begin = 0;
    while (begin < line.size()) {
        std::size_t colon = line.find(':', begin);
        std::string_view piece = line.substr(begin, colon - begin);
        if (!piece.empty() && !is_blank(piece.front())) {
            std::string_view value =
                colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
            return std::pair{trim(piece), trim(value)};
        }
        if (colon == std::string_view::npos) {
            break;
        }
        begin = colon + 1;
    }
    return std::nullopt;
}

// One rule as an alternative that matches the paths it forbids, from their start.
void append_alternative(std::string& expression, std::string_view rule) {
    expression += "|^";
    for (char c : rule) {
        if (c == '*') {
            expression += ".*";
            continue;
        }
        if (std::string_view(".[]|()+?^${}\\").find(c) != std::string_view::npos) {
            expression += '\\';
        }
        expression += c;
    }
}

// The path as regexec sees it: up to a NUL byte (a normalised URL never has one).
std::string_view c_string_view(std::string_view path) {
    return path.substr(0, path.find('\0'));
}

// A compiled expression, freed on every path.
class compiled_regex {
  public:
    explicit compiled_regex(const std::string& expression)
        : ok_(::regcomp(&re_, expression.c_str(), REG_EXTENDED | REG_NOSUB) == 0) {}
    ~compiled_regex() {
        if (ok_) {
            ::regfree(&re_);
        }
    }
    compiled_regex(const compiled_regex&) = delete;
    compiled_regex& operator=(const compiled_regex&) = delete;
    bool ok() const { return ok_; }
    bool matches(const std::string& text) const {
        return ::regexec(&re_, text.c_str(), 0, nullptr, 0) == 0;
    }

  private:
    regex_t re_{};
    bool ok_;
};

}  // namespace

std::vector<std::string> robots_rules(std::string_view robots_txt, std::string_view agent) {
    std::vector<std::string> rules;
    bool applies = false;       // the current group's rules are ours
    bool specific = false;      // a group naming this agent was met
    bool in_agent_run = false;  // the last field was User-agent: the group is still being named
    // A byte-order mark some editors write would otherwise spoil the first field name.
    std::size_t pos = robots_txt.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    while (pos < robots_txt.size()) {
        std::size_t end = robots_txt.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            end = robots_txt.size();
        }
        std::string_view line = robots_txt.substr(pos, end - pos);
        pos = end + 1;
        line = line.substr(0, line.find('#'));
        auto field = split_field(line);
        if (!field) {
            continue;
        }
        const auto [name, value] = *field;
        if (equals_nocase(name, "user-agent")) {
            if (!in_agent_run) {
                applies = false;  // a new group begins
            }
            in_agent_run = true;
            if (specific) {
                // Only the first group naming this agent counts; later groups are ignored.
            } else if (!value.empty() && value.front() == '*') {
                applies = true;
            } else if (!agent.empty() && starts_with_nocase(value, agent)) {
                specific = true;
                applies = true;
                rules.clear();  // the rules of "*" groups no longer apply
            }
            continue;
        }
        in_agent_run = false;
        if (applies && equals_nocase(name, "disallow") && !value.empty()) {
            std::string rule;
            rule.reserve(value.size());
            for (char c : value) {
                if (c != '\0') {  // paths never hold one, and regcomp would stop at it
                    rule += c;
                }
            }
            if (!rule.empty() && rule.back() == '*') {
                rule.pop_back();  // "/cgi-bin/*" forbids what "/cgi-bin/" does
            }
            rules.push_back(std::move(rule));
        }
    }
    return rules;
}

std::string robots_expression(const std::vector<std::string>& rules) {
    std::string expression(no_path);
    for (const auto& rule : rules) {
        append_alternative(expression, rule);
    }
    return expression;
}

std::string robots_expression(std::string_view robots_txt, std::string_view agent) {
    return robots_expression(robots_rules(robots_txt, agent));
}

bool robots_rule_matches(std::string_view rule, std::string_view path) {
    path = c_string_view(path);
    std::size_t star = rule.find('*');
    std::string_view piece = rule.substr(0, star);
    if (path.substr(0, piece.size()) != piece) {
        return false;
    }
    std::size_t at = piece.size();
    while (star != std::string_view::npos) {
        const std::size_t next = rule.find('*', star + 1);
        piece = rule.substr(star + 1, next - star - 1);
        // The leftmost occurrence leaves the most room for the pieces after it.
        at = path.find(piece, at);
        if (at == std::string_view::npos) {
            return false;
        }
        at += piece.size();
        star = next;
    }
    return true;
}

std::optional<std::string> robots_url_for(std::string_view url) {
    const uri u = uri::parse(url, "http");
    if (!u.entry().has(scheme_flag::web)) {
        return std::nullopt;
    }
    return resolve(u, "/robots.txt").normalise();
}

robotschecker::robotschecker(sqlite3* db, std::string agent, clock_function now)
    : agent_(std::move(agent)), now_(std::move(now)) {
    if (try_exec(db, "select * from robotscache limit 1") != SQLITE_OK) {
        exec(db,
             "create table robotscache(url text, timestamp integer, content blob, contentlen "
             "integer)");
        exec(db, "create unique index robotscache_idx1 on robotscache(url)");
    }
}

std::optional<std::string> robotschecker::needs_fetch(sqlite3* db, std::string_view url) const {
    auto robots_url = robots_url_for(url);
    if (!robots_url) {
        return std::nullopt;
    }
    std::int64_t stored = 0;
    {
        statement st(
            db, sql_text("select timestamp from robotscache where url='%q'", robots_url->c_str()));
        if (st.next()) {
            stored = st.integer(0);
        }
    }
    if (now_() - stored > robots_max_age) {
        return robots_url;
    }
    return std::nullopt;
}

void robotschecker::store(sqlite3* db, std::string_view robots_url, std::string_view body) {
    if (body.size() > max_robots_length) {
        VANT_LOG(LOG, warning) << "Robots file " << robots_url << " of " << body.size()
                               << " bytes is cut to " << max_robots_length;
        body = body.substr(0, max_robots_length);
    }
    std::string content;
    int r = compress_blob(body, content);
    VANT_ASSERT(r == Z_OK);
    statement st(db, sql_text("insert or replace into robotscache values('%q', %lu, ?, %lu)",
                              std::string(robots_url).c_str(), static_cast<unsigned long>(now_()),
                              static_cast<unsigned long>(body.size())));
    st.bind_blob(1, content);
    st.next();
}

robots_answer robotschecker::allowed(sqlite3* db, std::string_view url) {
    const uri u = uri::parse(url, "http");
    if (!u.entry().has(scheme_flag::web)) {
        return {};
    }
    const std::string robots_url = resolve(u, "/robots.txt").normalise();
    std::string text;
    bool intact = true;
    {
        statement st(db, sql_text("select content, contentlen from robotscache where url='%q'",
                                  robots_url.c_str()));
        if (st.next()) {
            if (auto failure = inflate_blob(st.blob(0), st.integer(1), text)) {
                VANT_LOG(LOG, error)
                    << "Corrupt cached robots file " << robots_url << ": " << *failure;
                intact = false;
            }
        }
    }
    if (!intact) {
        // Dropped, so that the next URL of the site fetches the file again.
        exec(db, sql_text("delete from robotscache where url='%q'", robots_url.c_str()));
        return {true, false};
    }
    const std::vector<std::string> rules = robots_rules(text, agent_);
    const std::string path = u.path().empty() ? std::string("/") : std::string(u.path());
    const std::string pattern = robots_expression(rules);
    if (pattern.size() > max_expression_length) {
        const bool forbidden = std::any_of(rules.begin(), rules.end(), [&](const auto& rule) {
            return robots_rule_matches(rule, path);
        });
        return {!forbidden, true};
    }
    compiled_regex expression(pattern);
    if (!expression.ok()) {
        return {true, false};
    }
    return {!expression.matches(path), true};
}

void robotschecker::clear_all(sqlite3* db) {
    exec(db, "delete from robotscache");
}

}  // namespace marloven
