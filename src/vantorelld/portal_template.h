// portal_template.h: the portal's texts: the template language, special files (their first
// line, template definitions, language files), and the sections of a search result page.
// Nothing here touches a socket, a file or the database: callers hand in the texts.
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "idxstorage/idxstorage.h"
#include "util/http_text.h"

namespace marloven {

// Names and texts of one rendering. Page variables hold text that is ready for HTML (escaped
// where it came from); request parameters are escaped when a marker inserts them.
using template_variables = std::map<std::string, std::string, std::less<>>;

// Appends `text` to `out` with its markers replaced:
//   {=name=}             the page variable `name`; else the request parameter `name`, HTML-escaped;
//                        else nothing
//   {=ifdef name=}       starts a part that is output only when `name` is a page variable;
//   {=endif=}            ends it; parts nest, and nothing inside a part left out is output
// Everything else is copied as it stands. A "{=" without a closing "=}" is copied with the rest of
// the text as it stands; an "endif" without an open part is dropped; parts still open at the end
// simply end there.
void render_template(std::string_view text, const template_variables& page, const query_map& params,
                     std::string& out);

// What a special file makes of a path, by its first line.
enum class special_kind { unknown, template_page, cache, language, redirect };

// A special file split into its kind (from the first line: at most 255 characters, without the
// line end), the target of a redirect, and the rest of the file (the lines after the first).
struct special_file {
    special_kind kind = special_kind::unknown;
    std::string redirect_target;
    std::string rest;
};
special_file parse_special_file(std::string_view text);

// The entries of a "template" or "cache" special file. Section paths are below the document
// root, formed from the special file's directory and the entry's value.
struct template_definition {
    std::string mimetype = "text/html; charset=UTF-8";
    long long nav_range = 5;  // result_nav_range: the radius of the page links
    std::map<std::string, std::string, std::less<>> sections;
};
// Reads the lines after the first: one "name: value" entry a line (split at the first colon);
// "#" starts a comment; blanks around entries are ignored and empty lines skipped; lines are read
// up to 1023 characters (the rest of a longer line is skipped), and a line without a colon is
// skipped. `dir` is the special file's directory (a path below the root, "" for the root).
template_definition parse_template_definition(std::string_view rest, std::string_view dir);

// One entry of a language file: a language tag in small letters and the path to redirect to.
struct language_entry {
    std::string tag;
    std::string target;
};
// Reads the lines after the first: "<tag> <target>" split at the first blank, with comments and
// blanks as in template definitions.
std::vector<language_entry> parse_language_file(std::string_view rest);
// The target for the accept-language value `accepted` (nothing when the request has none): the
// entry of the listed language with the highest weight; of equal weights the one listed first;
// a tag without an entry of its own also matches the entry of its primary tag ("de-ch" finds
// "de"), and "*" matches the first entry. Weight 0 means "not this one". Without a match the
// first entry is the target. Nothing when the value does not parse or the file has no entries.
std::optional<std::string> choose_language(const std::vector<language_entry>& entries,
                                           const std::optional<std::string>& accepted);

// A path below the document root made safe to look up: "//" collapsed, "." removed, ".." never
// above the root, a leading "/" added, and a trailing "/" kept.
std::string clean_portal_path(std::string_view path);

// `t` in UTC formatted with strftime's `format` (C locale names).
std::string format_utc(const char* format, std::time_t t);

// Reads the file of a section: a path below the document root; nothing when it cannot be read.
using section_reader = std::function<std::optional<std::string>(const std::string& path)>;

// Purpose: collects the text of one page rendered from the sections of a template definition.
// Each section file is read at most once per page (result rows use theirs again and again);
// nothing is kept from one page to the next.
// Ownership: borrows the definition and the request parameters, which must outlive it.
// Failure: a section without an entry or a readable file renders nothing.
// Threads: one request thread.
class template_page {
  public:
    template_page(const template_definition& definition, section_reader reader,
                  const query_map& params)
        : definition_(definition), reader_(std::move(reader)), params_(params) {}

    // Renders section `name` with the page variables `page`.
    void render(std::string_view name, const template_variables& page);
    // Whether section `name` has an entry and a file that can be read.
    bool has(std::string_view name);
    // Whether section `name` inserts the variable `variable` ("{=variable=}").
    bool inserts(std::string_view name, std::string_view variable);

    const template_definition& definition() const { return definition_; }
    const query_map& params() const { return params_; }
    const std::string& text() const { return out_; }

  private:
    const std::string* section(std::string_view name);

    const template_definition& definition_;
    section_reader reader_;
    const query_map& params_;
    std::map<std::string, std::optional<std::string>, std::less<>> files_;
    std::string out_;
};

// Results shown per page.
inline constexpr int portal_page_size = 10;

// A finished search as the result sections show it.
struct search_outcome {
    std::vector<query_hit> hits;  // the hits of the page shown, from `start` on
    std::int32_t total = 0;       // all hits
    std::int32_t start = 0;       // the position of the first hit shown (counted from 0)
    double seconds = 0;           // how long the query took
};

// Adds the figures of a search to `vars`: "from" and "to" (the positions of the first and last
// hit shown, counted from 1; only when a hit is shown), "maxresults", "time" ("%5.3f" seconds),
// and "nohits" when the search found nothing.
void add_result_figures(template_variables& vars, const search_outcome& result);

// The variables of one result row (texts HTML-escaped): url, real_url, printable_url, title (when
// the document has one), truncated_title, score, the crawl and server dates, ctx, and, with
// `cache_links`, cache, cache_internal and url_or_cached, with the flags rtf, doc and pdf.
template_variables result_row_variables(const query_hit& hit, bool cache_links);

// Renders "result_head", one row per hit ("result_trow" for a hit with a title when the template
// has that section, else "result_row"), "result_foot", and the navigation. `vars` are the page
// variables of the head, foot and navigation sections (with the result figures).
void render_results(template_page& page, const template_variables& vars,
                    const search_outcome& result, bool cache_links);

}  // namespace marloven
