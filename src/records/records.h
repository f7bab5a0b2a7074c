// records.h: the ten kinds of configuration record (sources, archives, collections, watches,
// credentials, plug-ins, document filters, the renderer pipe, root access lists, logins) and their
// XML texts, as kept in the configuration store, exported to files, used by the API and sent with
// the worker program's requests. Below both the API and the worker; needs only util and expat.
// SPDX-License-Identifier: MIT
//
// XML text versions: 1 (the only one). Changing a form changes stored records and exported files:
// keep readers able to read every form written before. The request form of a source is part of the
// worker protocol: daemon and worker programs of one installation must agree on it.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace marloven {

// Enumerations are stored as their numbers; a value outside the listed ones can be held (the API
// passes numbers through) and is written as an empty attribute.
enum class access_type : int { read = 0, write = 1 };
enum class auth_type : int { none = 0, basic = 1, cookie = 2 };
enum class cookie_action : int { get = 0, post = 1 };
enum class cookie_param_type : int { username = 0, password = 1, other = 2 };
enum class schedule_frequency : int {
    disabled = 0,
    hourly = 1,
    daily = 2,
    weekly = 3,
    monthly = 4
};
enum class cache_policy : int { full = 0, context = 1, none = 2 };
enum class query_parser : int { none = 0, rpn = 1, alg = 2, net = 3 };

// One entry of an access list. The built-in group "All Users" stands for everybody.
struct acl_entry {
    std::string name;  // user or group
    access_type access = access_type::read;
    bool deny = false;  // true makes the entry a denial
    bool operator==(const acl_entry&) const = default;
};
using acl_list = std::vector<acl_entry>;

struct cookie_param {
    std::string name;
    std::string value;
    cookie_param_type type = cookie_param_type::username;
    bool operator==(const cookie_param&) const = default;
};

// How a source with cookie authentication logs in.
struct cookie_auth {
    std::string url;
    cookie_action action = cookie_action::get;
    int freshness = 0;
    std::vector<cookie_param> params;
    std::vector<std::string> pre_urls;  // fetched before the log-in request
    bool operator==(const cookie_auth&) const = default;
};

// The records. Default member values are the values a record has before its XML is read: an
// element or attribute that the text leaves out keeps them. `kind` is the record's kind name in
// the configuration store and in exported file names.

// What to fetch and how.
struct SourceConfiguration {
    static constexpr const char* kind = "SourceConfiguration";
    std::string name;
    std::string description;
    std::vector<std::string> seeds;
    std::vector<std::string> include_filters;
    std::vector<std::string> exclude_filters;
    int depth = 0;             // link depth limit
    bool robots_check = true;  // obey robots exclusion
    bool side_metadata_available = false;
    auth_type auth = auth_type::none;
    cookie_auth cookie;
    std::vector<int> docfilters;       // DocFilter ids applied to this source's documents
    std::string text_exclusion_begin;  // text between the two markers is not indexed
    std::string text_exclusion_end;
    acl_list acl;
    bool operator==(const SourceConfiguration&) const = default;
};

// One crawl job.
struct ArchiveConfiguration {
    static constexpr const char* kind = "ArchiveConfiguration";
    std::string name;
    bool historicize = false;
    std::string contact_email;  // the administrator's address
    int source_id = 0;          // a SourceConfiguration id
    int auth_id = 0;            // an AuthConfiguration id, 0 for none
    schedule_frequency frequency = schedule_frequency::disabled;
    int attribute = 0;    // qualifies the schedule
    int access_time = 0;  // qualifies the schedule
    int page_limit = 0;
    int garbage_limit = 0;
    cache_policy cache = cache_policy::full;
    acl_list acl;
    bool operator==(const ArchiveConfiguration&) const = default;
};

// A set of archives searched together.
struct CollectionConfiguration {
    static constexpr const char* kind = "CollectionConfiguration";
    std::string name;
    std::string description;
    std::vector<int> archives;  // ArchiveConfiguration ids
    acl_list acl;
    bool operator==(const CollectionConfiguration&) const = default;
};

// A stored query.
struct WatchConfiguration {
    static constexpr const char* kind = "WatchConfiguration";
    std::string name;
    std::string description;
    std::string query;
    query_parser parser = query_parser::alg;
    int freshness = 0;
    int collection = 0;  // a CollectionConfiguration id
    acl_list acl;
    bool operator==(const WatchConfiguration&) const = default;
};

struct param_value {
    std::string name;
    std::string value;
    bool operator==(const param_value&) const = default;
};

// Credentials for protected sites.
struct AuthConfiguration {
    static constexpr const char* kind = "AuthConfiguration";
    std::string username;
    std::string password;
    std::vector<param_value> params;
    acl_list acl;
    bool operator==(const AuthConfiguration&) const = default;
};

struct Plugin {
    static constexpr const char* kind = "Plugin";
    std::string name;
    std::string description;
    std::string module;         // the plug-in library's name without extension
    std::string configuration;  // bytes, opaque to the daemon, handed to the plug-in
    acl_list acl;
    bool operator==(const Plugin&) const = default;
};

// One plug-in with its parameters.
struct DocFilter {
    static constexpr const char* kind = "DocFilter";
    std::string name;
    std::string description;
    int plugin_id = 0;
    std::string parameters;  // bytes
    acl_list acl;
    bool operator==(const DocFilter&) const = default;
};

struct RendererPluginPipe {
    static constexpr const char* kind = "RendererPluginPipe";
    std::vector<int> docfilters;  // DocFilter ids, in order
    bool operator==(const RendererPluginPipe&) const = default;
};

// A server-wide access list: id 0 governs browsing, id 1 crawling.
struct RootACL {
    static constexpr const char* kind = "RootACL";
    acl_list entries;
    bool operator==(const RootACL&) const = default;
};

struct login_user {
    std::string name;
    std::string password_hash;  // lower-case hexadecimal MD5 of the password
    bool admin = false;
    std::set<std::string> groups;
    bool operator==(const login_user&) const = default;
};

// Users and groups (one record, id 0).
struct LoginConfiguration {
    static constexpr const char* kind = "LoginConfiguration";
    std::map<std::string, login_user> users;  // by user name
    std::vector<std::string> groups;
    bool operator==(const LoginConfiguration&) const = default;
};

// Writing: the record's XML text. Fails (returns false, `xml` unspecified) only when a text
// field holds bytes that XML cannot carry: invalid UTF-8, or control characters other than tab,
// line feed and carriage return. Those three are written as character references where the XML
// reader would otherwise change them (in attribute values, and carriage returns in element text),
// so that every text that can be written reads back unchanged.
bool to_xml(const SourceConfiguration& record, std::string& xml);
bool to_xml(const ArchiveConfiguration& record, std::string& xml);
bool to_xml(const CollectionConfiguration& record, std::string& xml);
bool to_xml(const WatchConfiguration& record, std::string& xml);
bool to_xml(const AuthConfiguration& record, std::string& xml);
bool to_xml(const Plugin& record, std::string& xml);
bool to_xml(const DocFilter& record, std::string& xml);
bool to_xml(const RendererPluginPipe& record, std::string& xml);
bool to_xml(const RootACL& record, std::string& xml);
bool to_xml(const LoginConfiguration& record, std::string& xml);

// The source as a PROCESS request carries it to the worker program (its `source_xml` field). It
// has the elements of the stored form, in the same order, with three differences: the apostrophe
// is escaped too (as "&apos;"), `cookieauth` is written only for cookie sources, and `docfilters`
// is written even when it holds no filter. The worker reads it with from_xml below and gets the
// same record back (for a source without cookie log-in, with the log-in settings at their
// starting values). Fails as to_xml does.
bool write_source_xml(const SourceConfiguration& source, std::string& xml);

// Reading: resets `record` to its default values and applies the text. Fails only when the text
// is not well-formed XML. Values that cannot be understood (an unknown enumeration spelling, bad
// Base64) are logged as errors under facility API and leave their field as it was. Elements of
// other names are ignored, and so is nesting: an element counts wherever it stands.
bool from_xml(std::string_view xml, SourceConfiguration& record);
bool from_xml(std::string_view xml, ArchiveConfiguration& record);
bool from_xml(std::string_view xml, CollectionConfiguration& record);
bool from_xml(std::string_view xml, WatchConfiguration& record);
bool from_xml(std::string_view xml, AuthConfiguration& record);
bool from_xml(std::string_view xml, Plugin& record);
bool from_xml(std::string_view xml, DocFilter& record);
bool from_xml(std::string_view xml, RendererPluginPipe& record);
bool from_xml(std::string_view xml, RootACL& record);
bool from_xml(std::string_view xml, LoginConfiguration& record);

// Reads the legacy combined form (root `index`, read only, met in imported files): the archive
// gets name, historicize, contact, scheduling, page and garbage limits; the source gets seeds,
// filters and depth. Both are reset first; fails only on text that is not well-formed.
bool from_index_xml(std::string_view xml, SourceConfiguration& source,
                    ArchiveConfiguration& archive);

}  // namespace marloven
