// commands.cc: the subcommands of vantorellctl and their help.
// SPDX-License-Identifier: MIT
#include "commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "output.h"
#include "soap/contract.h"

namespace marloven::ctl {

namespace {

using soap::value;

// ---- command lines -------------------------------------------------------------------------

value record(std::vector<std::pair<std::string, value>> fields) {
    value v;
    v.fields = std::move(fields);
    return v;
}

const std::string& word(const command_line& line, std::size_t i, const char* what) {
    if (i >= line.words.size()) {
        throw usage_error("Missing " + std::string(what) + " (see vantorellctl " +
                          line.words.front() + " --help)");
    }
    return line.words[i];
}

void no_more_words(const command_line& line, std::size_t count) {
    if (line.words.size() > count) {
        throw usage_error("Unexpected argument '" + line.words[count] + "'");
    }
}

// Checks that every option given is one the command knows.
void known_options(const command_line& line, std::initializer_list<std::string_view> known) {
    for (const auto& [option, ignored] : line.options) {
        if (std::find(known.begin(), known.end(), option) == known.end()) {
            throw usage_error("Unknown option " + option + " for '" + line.words.front() + "'");
        }
    }
    for (const std::string& flag : line.flags) {
        if (std::find(known.begin(), known.end(), flag) == known.end()) {
            throw usage_error("Unknown option " + flag + " for '" + line.words.front() + "'");
        }
    }
}

// A decimal number of the int range, as its text.
std::string number(const std::string& text, const std::string& what) {
    int n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw usage_error("Not a number for " + what + ": '" + text + "'");
    }
    return std::to_string(n);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string boolean(const std::string& text, const std::string& what) {
    const std::string t = lower(text);
    if (t == "yes" || t == "true" || t == "1" || t == "on") {
        return "true";
    }
    if (t == "no" || t == "false" || t == "0" || t == "off") {
        return "false";
    }
    throw usage_error("Not yes or no for " + what + ": '" + text + "'");
}

using name_map = std::vector<std::pair<std::string_view, std::string_view>>;

// An enumeration given by its short name ("daily") or its name on the wire ("DAILY").
std::string enumerated(const std::string& text, const name_map& names, const std::string& what) {
    std::string choices;
    for (const auto& [short_name, wire] : names) {
        if (lower(text) == short_name || text == wire) {
            return std::string(wire);
        }
        choices += (choices.empty() ? "" : ", ") + std::string(short_name);
    }
    throw usage_error("Unknown " + what + " '" + text + "' (one of " + choices + ")");
}

const name_map parsers = {
    {"none", "NOPARSER"}, {"rpn", "RPNPARSER"}, {"alg", "ALGPARSER"}, {"net", "NETPARSER"}};

// An access list entry: "NAME:read" or "NAME:write", with ":deny" for a denial.
value access_entry(const std::string& text) {
    std::string entry = text;
    bool deny = false;
    if (entry.ends_with(":deny")) {
        deny = true;
        entry.resize(entry.size() - 5);
    }
    std::size_t colon = entry.rfind(':');
    std::string access = colon == std::string::npos ? "" : entry.substr(colon + 1);
    if (colon == 0 || (access != "read" && access != "write")) {
        throw usage_error("An access entry is NAME:read or NAME:write, with :deny for a denial: '" +
                          text + "'");
    }
    return record({{"Name", entry.substr(0, colon)},
                   {"Access", access == "write" ? "true" : "false"},
                   {"Deny", deny ? "true" : "false"}});
}

const soap::type& described(std::string_view name) {
    for (const soap::type& t : soap::search_service().types()) {
        if (t.name == name) {
            return t;
        }
    }
    throw std::logic_error("No type " + std::string(name));
}

void print_reply(session& s) {
    s.out << s.client.last_reply() << '\n';
}

// ---- configuration records -----------------------------------------------------------------

enum class option_kind { text, number, boolean, enumeration, list, numbers, access };

// An option of add and change, and the record element it sets.
struct record_option {
    std::string_view option;
    std::string_view element;
    option_kind kind;
    std::string_view help;
    name_map names = {};
};

using column = std::pair<std::string_view, std::function<std::string(const value& info)>>;

// A record kind: its methods (Add<kind>, Get<config>, Set<config>, Enum<config>s,
// Remove<kind>), the element of its id in an info record, its options and its listing.
struct record_kind {
    std::string_view command;
    std::string_view kind;
    std::string_view config;
    std::string_view info_id;
    std::vector<record_option> options;
    std::vector<column> columns;
};

const value& configuration(const value& info) {
    static const value none;
    const value* c = info.find("Configuration");
    return c != nullptr ? *c : none;
}

std::string field(const value& info, std::string_view name) {
    return configuration(info).text_of(name);
}

const std::vector<record_kind>& record_kinds() {
    static const record_option acl{"--acl", "ACL", option_kind::access,
                                   "NAME:read|write[:deny]  an access list entry (repeat)"};
    static const std::vector<record_kind> kinds = {
        {"source",
         "Source",
         "SourceConfiguration",
         "Source",
         {{"--name", "Name", option_kind::text, "TEXT  the source's name"},
          {"--description", "Description", option_kind::text, "TEXT"},
          {"--seed", "Seeds", option_kind::list, "URL  a start URL (repeat)"},
          {"--include", "IncludeFilters", option_kind::list,
           "REGEX  URLs to crawl (repeat; add: the seeds' hosts when none is given)"},
          {"--exclude", "ExcludeFilters", option_kind::list, "REGEX  URLs to leave (repeat)"},
          {"--depth", "DepthLimit", option_kind::number, "N  link depth limit (0: none)"},
          {"--robots", "CheckRobotsTxt", option_kind::boolean, "yes|no  obey robots.txt"},
          {"--side-metadata", "HasSideMetadata", option_kind::boolean, "yes|no"},
          {"--docfilter", "RendererDocFilterIDs", option_kind::numbers,
           "ID  a document filter (repeat)"},
          {"--exclusion-begin", "TextExclusionBeginMarker", option_kind::text,
           "TEXT  text from here to the end marker is not indexed"},
          {"--exclusion-end", "TextExclusionEndMarker", option_kind::text, "TEXT"},
          acl},
         {{"ID", [](const value& i) { return i.text_of("Source"); }},
          {"NAME", [](const value& i) { return field(i, "Name"); }},
          {"SEEDS", [](const value& i) { return joined(configuration(i).find("Seeds"), " "); }},
          {"DEPTH", [](const value& i) { return field(i, "DepthLimit"); }}}},
        {"archive",
         "Archive",
         "ArchiveConfiguration",
         "Archive",
         {{"--name", "Name", option_kind::text, "TEXT  the archive's name"},
          {"--source", "Source", option_kind::number, "ID  the source it crawls"},
          {"--auth", "Auth", option_kind::number, "ID  credentials for the site (0: none)"},
          {"--frequency",
           "SchedulingFrequency",
           option_kind::enumeration,
           "disabled|hourly|daily|weekly|monthly  how often it is crawled",
           {{"disabled", "DISABLED"},
            {"hourly", "HOURLY"},
            {"daily", "DAILY"},
            {"weekly", "WEEKLY"},
            {"monthly", "MONTHLY"}}},
          {"--attribute", "SchedulingAttribute", option_kind::number,
           "N  every N hours or days, the weekday (0: Sunday) or the day of the month"},
          {"--hour", "AccessTime", option_kind::number, "H  the hour (UTC) crawls start"},
          {"--pages", "PagesLimit", option_kind::number, "N  page limit"},
          {"--garbage", "GarbageLimit", option_kind::number, "N  garbage limit"},
          {"--cache",
           "DocumentCache",
           option_kind::enumeration,
           "full|context|none",
           {{"full", "FULLCACHE"}, {"context", "CONTEXTCACHE"}, {"none", "NOCACHE"}}},
          {"--history", "Historicize", option_kind::boolean, "yes|no  keep old versions"},
          {"--contact", "AdministrativeContact", option_kind::text, "EMAIL"},
          acl},
         {{"ID", [](const value& i) { return i.text_of("Archive"); }},
          {"NAME", [](const value& i) { return field(i, "Name"); }},
          {"SOURCE", [](const value& i) { return field(i, "Source"); }},
          {"SCHEDULE",
           [](const value& i) {
               std::string f = lower(field(i, "SchedulingFrequency"));
               return f == "disabled" ? f
                                      : f + "/" + field(i, "SchedulingAttribute") + " at " +
                                            field(i, "AccessTime") + "h";
           }},
          {"CRAWLING",
           [](const value& i) { return i.text_of("Crawling") == "true" ? "yes" : "no"; }},
          {"PAGES", [](const value& i) { return i.text_of("Documents"); }},
          {"ERRORS", [](const value& i) { return i.text_of("Errors"); }},
          {"LAST CRAWL", [](const value& i) { return utc_time(i.text_of("LastRunStart")); }}}},
        {"collection",
         "Collection",
         "CollectionConfiguration",
         "Collection",
         {{"--name", "Name", option_kind::text, "TEXT  the collection's name"},
          {"--description", "Description", option_kind::text, "TEXT"},
          {"--archive", "Archives", option_kind::numbers, "ID  an archive it searches (repeat)"},
          acl},
         {{"ID", [](const value& i) { return i.text_of("Collection"); }},
          {"NAME", [](const value& i) { return field(i, "Name"); }},
          {"ARCHIVES",
           [](const value& i) { return joined(configuration(i).find("Archives"), " "); }}}},
        {"watch",
         "Watch",
         "WatchConfiguration",
         "Watch",
         {{"--name", "Name", option_kind::text, "TEXT  the watch's name"},
          {"--description", "Description", option_kind::text, "TEXT"},
          {"--query", "Query", option_kind::text, "TEXT  the stored query"},
          {"--parser", "Parser", option_kind::enumeration, "none|rpn|alg|net  its language",
           parsers},
          {"--freshness", "Freshness", option_kind::number, "SECONDS  only documents this young"},
          {"--collection", "Collection", option_kind::number, "ID  the collection searched"},
          acl},
         {{"ID", [](const value& i) { return i.text_of("Watch"); }},
          {"NAME", [](const value& i) { return field(i, "Name"); }},
          {"COLLECTION", [](const value& i) { return field(i, "Collection"); }},
          {"QUERY", [](const value& i) { return field(i, "Query"); }}}},
    };
    return kinds;
}

const record_kind* find_kind(std::string_view command) {
    for (const record_kind& k : record_kinds()) {
        if (k.command == command) {
            return &k;
        }
    }
    return nullptr;
}

// Sets the elements of `cfg` that the options of `line` give; a list option given at all
// replaces the whole list.
void apply_options(const record_kind& k, const command_line& line, value& cfg) {
    for (const record_option& o : k.options) {
        std::vector<std::string> given = line.all(o.option);
        if (given.empty()) {
            continue;
        }
        const std::string what = std::string(o.option);
        value& target = cfg.at(o.element);
        switch (o.kind) {
            case option_kind::text:
                target = value(given.back());
                break;
            case option_kind::number:
                target = value(number(given.back(), what));
                break;
            case option_kind::boolean:
                target = value(boolean(given.back(), what));
                break;
            case option_kind::enumeration:
                target = value(enumerated(given.back(), o.names, what));
                break;
            case option_kind::list:
                target = value::list({given.begin(), given.end()});
                break;
            case option_kind::numbers:
            case option_kind::access: {
                std::vector<value> items;
                items.reserve(given.size());
                for (const std::string& g : given) {
                    items.push_back(o.kind == option_kind::numbers ? value(number(g, what))
                                                                   : access_entry(g));
                }
                target = value::list(std::move(items));
                break;
            }
        }
    }
}

// The include filter that keeps a crawl to a seed's host (any port).
std::string host_filter(const std::string& seed) {
    std::size_t scheme = seed.find("://");
    std::size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    std::size_t end = seed.find_first_of(":/?#", start);
    std::string host = seed.substr(start, end == std::string::npos ? end : end - start);
    std::string escaped;
    for (char c : host) {
        if (std::string_view(".^$*+?()[]{}|\\").find(c) != std::string_view::npos) {
            escaped += '\\';
        }
        escaped += c;
    }
    return "^[a-z]+://" + escaped + "(:[0-9]+)?(/|$)";
}

void record_command(session& s, const record_kind& k, const command_line& line) {
    const std::string verb = word(line, 1, "what to do (add, show, change, list or remove)");
    const std::string kind(k.kind), config(k.config), name(k.command);
    std::vector<std::string_view> options = {"--help"};
    for (const record_option& o : k.options) {
        options.push_back(o.option);
    }
    auto unknown = [&](const std::string& option) {
        std::string text = "Unknown option ";
        text.append(option).append(" for '").append(name).append(" ").append(verb).append("'");
        return usage_error(text);
    };
    auto check_options = [&](bool any) {
        for (const auto& [option, ignored] : line.options) {
            if (!any || std::find(options.begin(), options.end(), option) == options.end()) {
                throw unknown(option);
            }
        }
        if (!line.flags.empty()) {
            throw unknown(*line.flags.begin());
        }
    };
    auto id_argument = [&] {
        std::string id = number(word(line, 2, ("the " + name + "'s id").c_str()), name + " id");
        no_more_words(line, 3);
        return id;
    };

    if (verb == "add") {
        check_options(true);
        no_more_words(line, 2);
        value cfg;
        apply_options(k, line, cfg);
        if (name == "source" && line.all("--include").empty()) {
            std::vector<value> filters;
            for (const std::string& seed : line.all("--seed")) {
                filters.emplace_back(host_filter(seed));
            }
            cfg.at("IncludeFilters") = value::list(std::move(filters));
        }
        value reply = s.client.call("Add" + kind, record({{"cfg", cfg}}));
        const value* info = reply.find("info");
        std::string id = info != nullptr ? info->text_of(k.info_id) : reply.text_of("id");
        if (s.xml) {
            print_reply(s);
        } else {
            s.out << "Added " << name << " " << id << "\n";
        }
    } else if (verb == "show") {
        check_options(false);
        std::string id = id_argument();
        if (name == "archive") {
            // The archive's state record holds its configuration too.
            value info = s.client.call("GetArchiveInfo", record({{"id", id}})).at("info");
            if (s.xml) {
                print_reply(s);
                return;
            }
            s.out << "Archive " << id << "\n";
            print_record(s.out, described(config), configuration(info), 1);
            s.out << "  State\n";
            for (const char* state : {"Crawling", "Documents", "Errors"}) {
                s.out << "    " << state << std::string(22 - std::string(state).size(), ' ')
                      << info.text_of(state) << '\n';
            }
            for (const char* time : {"LastRunStart", "LastRunEnd", "NextRun"}) {
                s.out << "    " << time << std::string(22 - std::string(time).size(), ' ')
                      << utc_time(info.text_of(time)) << '\n';
            }
            return;
        }
        value reply = s.client.call("Get" + config, record({{"id", id}}));
        if (s.xml) {
            print_reply(s);
            return;
        }
        std::string title = name;
        title[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(title[0])));
        s.out << title << " " << id << "\n";
        print_record(s.out, described(config), reply.at("cfg"), 1);
    } else if (verb == "change") {
        check_options(true);
        std::string id = id_argument();
        if (line.options.empty()) {
            throw usage_error("Nothing to change (see vantorellctl " + name + " --help)");
        }
        value got = s.client.call("Get" + config, record({{"id", id}}));
        value cfg = got.at("cfg");
        apply_options(k, line, cfg);
        // The stamp makes the change fail (BadMagic) when someone else changed the record since.
        s.client.call("Set" + config,
                      record({{"id", id}, {"cfg", cfg}, {"magic", got.at("magic")}}));
        if (s.xml) {
            print_reply(s);
        } else {
            s.out << "Changed " << name << " " << id << "\n";
        }
    } else if (verb == "list") {
        check_options(false);
        no_more_words(line, 2);
        value reply = s.client.call("Enum" + config + "s");
        if (s.xml) {
            print_reply(s);
            return;
        }
        table t;
        for (const auto& [heading, ignored] : k.columns) {
            t.headings.emplace_back(heading);
        }
        for (const value& info : reply.at("infos").items) {
            std::vector<std::string> row;
            for (const auto& [ignored, cell] : k.columns) {
                row.push_back(cell(info));
            }
            t.rows.push_back(std::move(row));
        }
        t.print(s.out);
    } else if (verb == "remove") {
        check_options(false);
        std::string id = id_argument();
        s.client.call("Remove" + kind, record({{"id", id}}));
        if (s.xml) {
            print_reply(s);
        } else {
            s.out << "Removed " << name << " " << id << "\n";
        }
    } else {
        throw usage_error("Unknown action '" + verb + "' for " + name +
                          " (add, show, change, list or remove)");
    }
}

// ---- users and groups ----------------------------------------------------------------------

struct users_and_groups {
    std::vector<std::string> users, builtin_users, groups, builtin_groups;
};

users_and_groups enum_users(session& s) {
    value reply = s.client.call("EnumUsersAndGroups");
    users_and_groups out;
    auto texts = [&](const char* name, std::vector<std::string>& to) {
        if (const value* list = reply.find(name)) {
            for (const value& item : list->items) {
                to.push_back(item.text);
            }
        }
    };
    texts("users", out.users);
    texts("builtinusers", out.builtin_users);
    texts("groups", out.groups);
    texts("builtingroups", out.builtin_groups);
    return out;
}

bool contains(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

struct user_data {
    bool admin = false;
    std::vector<std::string> groups;
};

user_data get_user(session& s, const std::string& name) {
    value reply = s.client.call("GetUserData", record({{"username", name}}));
    user_data d;
    d.admin = reply.text_of("admin") == "true";
    if (const value* groups = reply.find("groups")) {
        for (const value& g : groups->items) {
            d.groups.push_back(g.text);
        }
    }
    return d;
}

void set_user(session& s, const std::string& name, const user_data& d) {
    std::vector<value> groups(d.groups.begin(), d.groups.end());
    s.client.call("SetUserData", record({{"username", name},
                                         {"admin", d.admin ? "true" : "false"},
                                         {"groups", value::list(std::move(groups))}}));
}

std::string join(const std::vector<std::string>& list) {
    std::string out;
    for (const std::string& item : list) {
        out += (out.empty() ? "" : ", ") + item;
    }
    return out;
}

void done(session& s, const std::string& text) {
    if (s.xml) {
        print_reply(s);
    } else {
        s.out << text << "\n";
    }
}

// With --xml, prints the reply of EnumUsersAndGroups and returns true; the listings of users and
// groups then need no further calls.
bool listed_as_xml(session& s) {
    if (!s.xml) {
        return false;
    }
    s.client.call("EnumUsersAndGroups");
    print_reply(s);
    return true;
}

void user_command(session& s, const command_line& line) {
    const std::string verb = word(line, 1, "what to do (add, show, change, list or remove)");
    if (verb == "list") {
        known_options(line, {});
        no_more_words(line, 2);
        if (listed_as_xml(s)) {
            return;
        }
        users_and_groups all = enum_users(s);
        table t{{"USER", "ADMIN", "GROUPS"}, {}};
        for (const std::string& u : all.users) {
            user_data d = get_user(s, u);
            t.rows.push_back({u, d.admin ? "yes" : "no", join(d.groups)});
        }
        for (const std::string& u : all.builtin_users) {
            t.rows.push_back({u, "(built-in)", ""});
        }
        t.print(s.out);
        return;
    }
    const std::string name = word(line, 2, "the user's name");
    no_more_words(line, 3);
    users_and_groups all = enum_users(s);
    const bool exists = contains(all.users, name);
    if (verb == "add") {
        known_options(line, {"--admin", "--group", "--new-password-file"});
        if (exists || contains(all.groups, name)) {
            throw usage_error("A user or group named '" + name + "' exists already");
        }
        auto file = line.last("--new-password-file");
        if (!file) {
            throw usage_error("A new user needs --new-password-file FILE");
        }
        std::vector<value> groups;
        for (const std::string& g : line.all("--group")) {
            groups.emplace_back(g);
        }
        s.client.call("AddUser", record({{"username", name},
                                         {"password", first_line_of(*file)},
                                         {"admin", line.has("--admin") ? "true" : "false"},
                                         {"groups", value::list(std::move(groups))}}));
        done(s, "Added user " + name);
        return;
    }
    if (!exists) {
        throw usage_error("No user named '" + name + "'");
    }
    if (verb == "show") {
        known_options(line, {});
        user_data d = get_user(s, name);
        if (s.xml) {
            print_reply(s);
            return;
        }
        s.out << "User " << name << "\n  Admin                   " << (d.admin ? "yes" : "no")
              << "\n  Groups                  " << join(d.groups) << "\n";
    } else if (verb == "change") {
        known_options(line, {"--admin", "--no-admin", "--group", "--new-password-file"});
        if (line.options.empty() && line.flags.empty()) {
            throw usage_error("Nothing to change (see vantorellctl user --help)");
        }
        if (line.has("--admin") || line.has("--no-admin") || !line.all("--group").empty()) {
            user_data d = get_user(s, name);
            if (line.has("--admin") || line.has("--no-admin")) {
                d.admin = line.has("--admin");
            }
            if (!line.all("--group").empty()) {
                d.groups = line.all("--group");
            }
            set_user(s, name, d);
        }
        if (auto file = line.last("--new-password-file")) {
            s.client.call("SetUserPassword",
                          record({{"username", name}, {"password", first_line_of(*file)}}));
        }
        done(s, "Changed user " + name);
    } else if (verb == "remove") {
        known_options(line, {});
        s.client.call("RemoveUser", record({{"username", name}}));
        done(s, "Removed user " + name);
    } else {
        throw usage_error("Unknown action '" + verb + "' for user");
    }
}

void group_command(session& s, const command_line& line) {
    const std::string verb = word(line, 1, "what to do (add, show, change, list or remove)");
    users_and_groups all = enum_users(s);
    // Members, from every user's groups.
    auto members = [&](const std::string& group) {
        std::vector<std::string> out;
        for (const std::string& u : all.users) {
            if (contains(get_user(s, u).groups, group)) {
                out.push_back(u);
            }
        }
        return out;
    };
    if (verb == "list") {
        known_options(line, {});
        no_more_words(line, 2);
        if (listed_as_xml(s)) {
            return;
        }
        table t{{"GROUP", "MEMBERS"}, {}};
        for (const std::string& g : all.groups) {
            t.rows.push_back({g, join(members(g))});
        }
        for (const std::string& g : all.builtin_groups) {
            t.rows.push_back({g, "(everybody)"});
        }
        t.print(s.out);
        return;
    }
    const std::string name = word(line, 2, "the group's name");
    no_more_words(line, 3);
    const bool exists = contains(all.groups, name);
    if (verb == "add") {
        known_options(line, {});
        if (exists || contains(all.users, name)) {
            throw usage_error("A user or group named '" + name + "' exists already");
        }
        s.client.call("AddGroup", record({{"groupname", name}}));
        done(s, "Added group " + name);
        return;
    }
    if (!exists) {
        throw usage_error("No group named '" + name + "'");
    }
    if (verb == "show") {
        known_options(line, {});
        s.out << "Group " << name << "\n  Members                 " << join(members(name)) << "\n";
    } else if (verb == "change") {
        known_options(line, {"--add-user", "--remove-user"});
        if (line.options.empty()) {
            throw usage_error("Nothing to change (see vantorellctl group --help)");
        }
        for (const std::string& u : line.all("--add-user")) {
            if (!contains(all.users, u)) {
                throw usage_error("No user named '" + u + "'");
            }
            user_data d = get_user(s, u);
            if (!contains(d.groups, name)) {
                d.groups.push_back(name);
                set_user(s, u, d);
            }
        }
        for (const std::string& u : line.all("--remove-user")) {
            user_data d = get_user(s, u);
            if (contains(d.groups, name)) {
                d.groups.erase(std::find(d.groups.begin(), d.groups.end(), name));
                set_user(s, u, d);
            }
        }
        done(s, "Changed group " + name);
    } else if (verb == "remove") {
        known_options(line, {});
        s.client.call("RemoveGroup", record({{"groupname", name}}));
        done(s, "Removed group " + name);
    } else {
        throw usage_error("Unknown action '" + verb + "' for group");
    }
}

// ---- crawls --------------------------------------------------------------------------------

long long as_number(const std::string& text) {
    try {
        return std::stoll(text);
    } catch (const std::exception&) {
        return 0;
    }
}

// The URLs queued for an archive, as the daemon's status tells them ("?" when it cannot).
std::string queued(session& s, const std::string& arcid) {
    try {
        value status = s.client.call("GetStatus");
        const std::string key = "Archive " + arcid + ": queued URLs";
        if (const value* pairs = status.find("extendedstatus")) {
            for (const value& p : pairs->items) {
                if (p.text_of("Key") == key) {
                    return p.text_of("Value");
                }
            }
        }
        return "0";
    } catch (const call_error&) {
        return "?";
    }
}

// Follows a running crawl until it ends: one progress line, rewritten in place on a terminal,
// else printed whenever it changes.
value wait_for_crawl(session& s, const std::string& arcid, value info) {
    using clock = std::chrono::steady_clock;
    const auto began = clock::now();
    const long long first_pages = as_number(info.text_of("Documents"));
    std::string shown;
    while (info.text_of("Crawling") == "true") {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        info = s.client.call("GetArchiveInfo", record({{"id", arcid}})).at("info");
        const std::string queue = queued(s, arcid);
        const double seconds = std::chrono::duration<double>(clock::now() - began).count();
        const long long pages = as_number(info.text_of("Documents"));
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.1f",
                      static_cast<double>(pages - first_pages) / seconds);
        std::string line = info.text_of("Documents") + " pages fetched, " + info.text_of("Errors") +
                           " errors, " + queue + " queued, " + rate + " pages/s";
        if (s.terminal) {
            s.out << "\r" << line << "\x1b[K" << std::flush;
        } else if (line != shown) {
            s.out << line << "\n" << std::flush;
        }
        shown = line;
    }
    if (s.terminal && !shown.empty()) {
        s.out << "\n";
    }
    return info;
}

void crawl_summary(session& s, const std::string& arcid, const value& info) {
    const long long start = as_number(info.text_of("LastRunStart"));
    const long long end = as_number(info.text_of("LastRunEnd"));
    s.out << "Archive " << arcid << ": ";
    if (info.text_of("Crawling") == "true") {
        s.out << "crawling since " << utc_time(info.text_of("LastRunStart"));
    } else if (start == 0) {
        s.out << "never crawled";
    } else {
        s.out << "crawl of " << utc_time(info.text_of("LastRunStart")) << " ended after "
              << (end - start) << " s";
    }
    s.out << ": " << info.text_of("Documents") << " pages, " << info.text_of("Errors")
          << " errors\n";
}

void crawl_command(session& s, const command_line& line) {
    const std::string verb = word(line, 1, "what to do (start, stop or log)");
    const std::string arcid = number(word(line, 2, "the archive's id"), "archive id");
    no_more_words(line, 3);
    if (verb == "start") {
        known_options(line, {"--wait"});
        value info = s.client.call("StartCrawl", record({{"arcid", arcid}})).at("info");
        if (info.text_of("Crawling") != "true") {
            throw call_error("Archive " + arcid +
                             " did not start crawling (its source cannot be read)");
        }
        if (line.has("--wait")) {
            if (!s.xml) {
                s.out << "Crawling archive " << arcid << " since "
                      << utc_time(info.text_of("LastRunStart")) << "\n";
            }
            info = wait_for_crawl(s, arcid, info);
        }
        if (s.xml) {
            print_reply(s);
        } else {
            crawl_summary(s, arcid, info);
        }
    } else if (verb == "stop") {
        known_options(line, {});
        value info = s.client.call("StopCrawl", record({{"arcid", arcid}})).at("info");
        if (s.xml) {
            print_reply(s);
        } else {
            crawl_summary(s, arcid, info);
        }
    } else if (verb == "log") {
        known_options(line, {"--crawl", "--limit", "--from", "--all"});
        std::string crawl;
        if (auto given = line.last("--crawl")) {
            crawl = number(*given, "--crawl");
        } else {
            // The newest crawl.
            value logs = s.client.call("GetAvailableCrawlLogs", record({{"arcid", arcid}}));
            for (const value& l : logs.at("logs").items) {
                if (crawl.empty() || as_number(l.text_of("Time")) > as_number(crawl)) {
                    crawl = l.text_of("Time");
                }
            }
            if (crawl.empty()) {
                throw call_error("Archive " + arcid + " has no crawl log");
            }
        }
        const std::string limit = number(line.last("--limit").value_or("100"), "--limit");
        std::string cookie = line.last("--from").value_or("");
        table t{{"TIME", "RESULT", "URL", "DOCUMENT"}, {}};
        do {
            value reply = s.client.call(
                "GetCrawlLog", record({{"arcid", arcid},
                                       {"nmax", limit},
                                       {"log", record({{"Time", crawl}, {"Cookie", cookie}})}}));
            if (s.xml) {
                print_reply(s);
            }
            const value* data = reply.find("data");
            cookie = reply.at("log").text_of("Cookie");
            if (data == nullptr || data->items.empty()) {
                cookie = "-1";
                break;
            }
            for (const value& row : data->items) {
                t.rows.push_back({utc_time(row.text_of("Time")), row.text_of("Error"),
                                  row.text_of("Url"), row.text_of("ID")});
            }
        } while (line.has("--all") && cookie != "-1");
        if (!s.xml) {
            t.print(s.out);
            if (cookie != "-1") {
                s.out << "More: vantorellctl crawl log " << arcid << " --crawl " << crawl
                      << " --from " << cookie << "\n";
            }
        }
    } else {
        throw usage_error("Unknown action '" + verb + "' for crawl (start, stop or log)");
    }
}

// ---- queries and documents -----------------------------------------------------------------

void query_command(session& s, const command_line& line) {
    known_options(
        line, {"--archive", "--collection", "--watch", "--parser", "--first", "--count", "--info"});
    std::string text;
    for (std::size_t i = 1; i < line.words.size(); ++i) {
        text += (text.empty() ? "" : " ") + line.words[i];
    }
    std::vector<value> archives;
    for (const std::string& a : line.all("--archive")) {
        archives.emplace_back(number(a, "--archive"));
    }
    const bool anywhere = archives.empty() && !line.last("--collection") && !line.last("--watch");
    const int first = std::stoi(number(line.last("--first").value_or("0"), "--first"));
    const int count = std::stoi(number(line.last("--count").value_or("10"), "--count"));
    const std::string info = enumerated(line.last("--info").value_or("title"),
                                        {{"none", "INFO_NONE"},
                                         {"url", "INFO_URL"},
                                         {"title", "INFO_TITLE"},
                                         {"context", "INFO_CONTEXT"}},
                                        "--info");
    value q =
        record({{"Archives", value::list(std::move(archives))},
                // Without archives, a collection or a watch: every archive the caller may read.
                {"Collection",
                 anywhere ? "-1" : number(line.last("--collection").value_or("0"), "--collection")},
                {"Watch", number(line.last("--watch").value_or("0"), "--watch")},
                {"FirstDoc", std::to_string(first)},
                {"LastDoc", std::to_string(first + std::max(count, 1) - 1)},
                {"Info", info},
                {"Parser", enumerated(line.last("--parser").value_or("net"), parsers, "--parser")},
                {"QueryString", text}});
    value reply = s.client.call("Query", record({{"query", q}}));
    if (s.xml) {
        print_reply(s);
        return;
    }
    const value* results = reply.find("results");
    const std::size_t shown = results != nullptr ? results->items.size() : 0;
    s.out << reply.text_of("maxresults") << " hits";
    if (shown > 0) {
        s.out << ", " << first + 1 << " to " << first + static_cast<int>(shown);
    }
    s.out << "\n";
    table t{{"#", "TITLE", "URL", "DOCUMENT"}, {}};
    for (std::size_t i = 0; i < shown; ++i) {
        const value& hit = results->items[i];
        t.rows.push_back({std::to_string(first + static_cast<int>(i) + 1), hit.text_of("Title"),
                          hit.text_of("Url"), hit.text_of("ID")});
    }
    if (shown > 0) {
        t.print(s.out);
    }
}

void document_command(session& s, const command_line& line) {
    const std::string verb = word(line, 1, "what to do (get)");
    if (verb != "get") {
        throw usage_error("Unknown action '" + verb + "' for document (get)");
    }
    known_options(line, {"--format", "--output"});
    const std::string guid = word(line, 2, "the document's id");
    no_more_words(line, 3);
    const std::string format =
        enumerated(line.last("--format").value_or("original"),
                   {{"original", "ORIGINAL"}, {"parsed", "PARSED"}, {"html", "HTML"}}, "--format");
    value reply = s.client.call("GetDocument", record({{"docid", guid}, {"format", format}}));
    if (reply.text_of("url").empty()) {
        throw call_error("No document " + guid);
    }
    if (s.xml) {
        print_reply(s);
        return;
    }
    const std::string& content = reply.text_of("content");
    if (auto file = line.last("--output")) {
        std::ofstream f(*file, std::ios::binary | std::ios::trunc);
        f << content;
        f.close();
        if (!f) {
            throw call_error("Cannot write " + *file);
        }
        s.out << "Wrote " << content.size() << " bytes of " << reply.text_of("url") << " ("
              << reply.text_of("type") << ") to " << *file << "\n";
    } else {
        s.out << content;
    }
}

// ---- the server ----------------------------------------------------------------------------

void status_command(session& s, const command_line& line) {
    known_options(line, {});
    no_more_words(line, 1);
    value reply = s.client.call("GetStatus");
    if (s.xml) {
        print_reply(s);
        return;
    }
    table t{{"STATUS", reply.text_of("status")}, {}};
    if (const value* pairs = reply.find("extendedstatus")) {
        for (const value& p : pairs->items) {
            t.rows.push_back({p.text_of("Key"), p.text_of("Value")});
        }
    }
    t.print(s.out);
}

void version_command(session& s, const command_line& line) {
    known_options(line, {});
    no_more_words(line, 1);
    const std::string oldest = s.client.call("GetMinClientVersion").text_of("version");
    const std::string version = s.client.call("GetVersion").text_of("version");
    if (s.xml) {
        print_reply(s);
        return;
    }
    s.out << "Server version " << version << " (oldest supported client " << oldest << ")\n";
}

// ---- help ----------------------------------------------------------------------------------

const char* const overview =
    "Usage: vantorellctl [OPTIONS] COMMAND [ARGUMENTS]\n"
    "Administers a running vantorelld through its SOAP interface.\n"
    "\n"
    "Options (also after the command):\n"
    "  --url URL              the daemon (VANTORELL_URL; default http://127.0.0.1:2200)\n"
    "  --user NAME            log in as NAME (VANTORELL_USER)\n"
    "  --password-file FILE   the password, first line of FILE; - reads standard input\n"
    "                         (VANTORELL_PASSWORD_FILE); there is no option for the password\n"
    "                         itself, so that it never shows in the process list\n"
    "  --xml                  print the daemon's SOAP reply instead of a table\n"
    "  --help                 this help; COMMAND --help for a command's\n"
    "\n"
    "Commands:\n"
    "  status                                   crawl state and platform figures\n"
    "  version                                  server version\n"
    "  source|archive|collection|watch add|show|change|list|remove\n"
    "  user|group add|show|change|list|remove\n"
    "  crawl start|stop|log ARCHIVE             crawl now (--wait follows it), stop, its log\n"
    "  query [OPTIONS] WORDS                    search\n"
    "  document get ID                          a stored document\n"
    "\n"
    "Exit status 0 on success; 1 with the reason on standard error otherwise.\n";

std::string record_help(const record_kind& k) {
    const std::string n(k.command);
    std::ostringstream h;
    h << "Usage: vantorellctl " << n << " add [OPTIONS]\n"
      << "       vantorellctl " << n << " show ID\n"
      << "       vantorellctl " << n << " change ID [OPTIONS]\n"
      << "       vantorellctl " << n << " list\n"
      << "       vantorellctl " << n << " remove ID\n"
      << "A change reads the " << n << ", applies the options and stores it with the stamp it"
      << " read,\nso that it fails (BadMagic) when someone else changed it meanwhile. A list"
      << " option\ngiven at all replaces the whole list.\n\nOptions:\n";
    for (const record_option& o : k.options) {
        std::string text = std::string(o.option) + " " + std::string(o.help);
        std::size_t two = text.find("  ");
        std::string head = two == std::string::npos ? text : text.substr(0, two);
        std::string rest = two == std::string::npos ? "" : text.substr(two + 2);
        h << "  " << head << std::string(head.size() < 36 ? 36 - head.size() : 1, ' ') << rest
          << "\n";
    }
    return h.str();
}

const std::map<std::string, std::string, std::less<>>& fixed_help() {
    static const std::map<std::string, std::string, std::less<>> texts = {
        {"status",
         "Usage: vantorellctl status\nThe daemon's crawl state (RUNNING, CRAWLSTOPPED "
         "outside the crawl hours,\nLOWDISKSPACE) and its platform figures.\n"},
        {"version",
         "Usage: vantorellctl version\nThe server's version and the oldest client "
         "version it supports.\n"},
        {"user",
         "Usage: vantorellctl user add NAME --new-password-file FILE [--admin] [--group G]...\n"
         "       vantorellctl user show NAME\n"
         "       vantorellctl user change NAME [--admin|--no-admin] [--group G]...\n"
         "                                     [--new-password-file FILE]\n"
         "       vantorellctl user list\n"
         "       vantorellctl user remove NAME\n"
         "--group replaces the user's groups; the new password is the first line of FILE\n"
         "(- reads standard input).\n"},
        {"group",
         "Usage: vantorellctl group add NAME\n"
         "       vantorellctl group show NAME\n"
         "       vantorellctl group change NAME [--add-user USER]... [--remove-user USER]...\n"
         "       vantorellctl group list\n"
         "       vantorellctl group remove NAME\n"},
        {"crawl",
         "Usage: vantorellctl crawl start ARCHIVE [--wait]\n"
         "       vantorellctl crawl stop ARCHIVE\n"
         "       vantorellctl crawl log ARCHIVE [--crawl TIME] [--limit N] [--from POSITION]"
         " [--all]\n"
         "start crawls the archive now; with --wait it shows the pages fetched, errors, URLs\n"
         "queued and pages per second until the crawl ends. log shows the newest crawl's log\n"
         "(or the crawl that began at TIME, seconds since 1970), N entries (default 100) from\n"
         "POSITION; --all reads it to the end.\n"},
        {"query",
         "Usage: vantorellctl query [OPTIONS] WORDS...\n"
         "Searches every archive you may read, or those the options name.\n\nOptions:\n"
         "  --archive ID          search this archive (repeat)\n"
         "  --collection ID       search this collection's archives\n"
         "  --watch ID            run this watch's stored query too\n"
         "  --parser net|alg|rpn|none  how WORDS are read (default net: words, \"phrases\",\n"
         "                        -excluded)\n"
         "  --first N --count N   which hits (default the first 10)\n"
         "  --info none|url|title|context  what the hits carry (default title)\n"},
        {"document",
         "Usage: vantorellctl document get ID [--format original|parsed|html] "
         "[--output FILE]\n"
         "Writes a stored document as fetched (default), as FFF XML or as HTML to standard\n"
         "output, or to FILE.\n"},
    };
    return texts;
}

}  // namespace

std::vector<std::string> command_line::all(std::string_view option) const {
    std::vector<std::string> out;
    for (const auto& [name, v] : options) {
        if (name == option) {
            out.push_back(v);
        }
    }
    return out;
}

std::optional<std::string> command_line::last(std::string_view option) const {
    std::vector<std::string> given = all(option);
    if (given.empty()) {
        return std::nullopt;
    }
    return given.back();
}

std::string first_line_of(const std::string& file) {
    std::string first;
    if (file == "-") {
        std::getline(std::cin, first);
    } else {
        std::ifstream in(file);
        if (!in) {
            throw usage_error("Cannot read the password file " + file);
        }
        std::getline(in, first);
    }
    if (!first.empty() && first.back() == '\r') {
        first.pop_back();
    }
    return first;
}

bool is_flag(std::string_view option) {
    return option == "--xml" || option == "--help" || option == "--wait" || option == "--admin" ||
           option == "--no-admin" || option == "--all";
}

void run(session& s, const command_line& line) {
    const std::string& command = line.words.front();
    if (const record_kind* k = find_kind(command)) {
        record_command(s, *k, line);
    } else if (command == "user") {
        user_command(s, line);
    } else if (command == "group") {
        group_command(s, line);
    } else if (command == "crawl") {
        crawl_command(s, line);
    } else if (command == "query") {
        query_command(s, line);
    } else if (command == "document") {
        document_command(s, line);
    } else if (command == "status") {
        status_command(s, line);
    } else if (command == "version") {
        version_command(s, line);
    } else {
        throw usage_error("Unknown command '" + command + "' (see vantorellctl --help)");
    }
}

std::optional<std::string> help(std::string_view command) {
    if (command.empty()) {
        return overview;
    }
    if (const record_kind* k = find_kind(command)) {
        return record_help(*k);
    }
    auto it = fixed_help().find(command);
    if (it == fixed_help().end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace marloven::ctl
