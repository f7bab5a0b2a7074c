// page_parser.h: turning the UTF-8 text of an HTML page or a plain-text document into an FFF
// document with its links.
//
// Slices of an HTML page (the "marginal" slices hold boilerplate: navigation, page headers and
// footers, side bars):
//   title (first <title>) 15; headings h1-h6 14, marginal 9; emphasis (b, strong, em, i, u,
//   mark, cite, dfn, big) 11, marginal 6; text of links to http(s) URLs 12 with the link's id,
//   marginal 7; text of links that cannot be fetched (mailto:, javascript:, ...) 13, marginal 8;
//   other text 10, marginal 5; image alt texts 4 (or the link slice inside a link); meta
//   keywords 2, description 3, author 1 (also as documentwide metas of those slices).
// Marginal: nav, aside and menu elements; header and footer outside article and main;
// elements whose role is navigation, banner, contentinfo, complementary, search, menu, menubar
// or toolbar; elements whose class or id has a word beginning or ending with "nav" or
// beginning with menu, sidebar, footer, breadcrumb, toolbar, banner, masthead, copyright,
// pagination or pager. main, article and role "main" make their content central again.
// Dropped: script, style, noscript, template, svg, canvas, select, datalist, textarea, the
// fallback content of iframe, elements with the hidden attribute, and the text between the
// source's text-exclusion markers (links there still count).
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "worker/FFF/FFF.h"

namespace marloven {

struct page_settings {
    std::string_view url;           // where the page came from: the base of relative links
    std::string_view marker_begin;  // text-exclusion markers; both must be set to take effect
    std::string_view marker_end;
    std::uint32_t score = FFF::score_one;  // the document's score
};

// Scores of links, relative to the document's score.
inline constexpr std::uint32_t marginal_link_share = 2;  // marginal links get 1/2

struct parsed_page {
    std::unique_ptr<FFF::DocumentData> doc;
    // Per link id of doc: whether the crawl may follow it (no rel="nofollow" on every
    // occurrence).
    std::vector<bool> follow;
    bool noindex = false;   // <meta name="robots" content="noindex"> (or "none")
    bool nofollow = false;  // <meta name="robots" content="nofollow"> (or "none")
    std::uint32_t core_crc = 0;
    std::size_t tokens = 0;
    std::size_t refused_links = 0;  // links dropped because their host is malformed
};

// Parses HTML with libxml2's error-tolerant HTML parser. `html` must already be UTF-8; its own
// charset declarations are ignored. Links (a and area href, frame and iframe src, meta refresh)
// are resolved against <base href> or the page URL and normalised; in-page links (#...) are
// not links, and http(s) links whose host breaks the host grammar (uri::has_valid_host) are
// dropped and counted. Never fails: broken markup gives what can be read.
parsed_page parse_html(std::string_view html, const page_settings& settings);

// Plain text: paragraphs end at blank lines; all text is slice 10.
parsed_page parse_text(std::string_view text, const page_settings& settings);

}  // namespace marloven
