// index_loader: fills a data directory's index and document storage with the HTML pages of a
// local directory, for the REST load benchmark when no crawl is wanted (or the crawl threads are
// not there). Each page becomes one good document of the archive, with a title run and the body's
// words in sentences of 20; markup, scripts and styles are dropped. The pages are stored as
// their original content and FFF blob, so that contexts and document reads work.
// Usage: index_loader DATADIR ARCID URL_PREFIX HTML_DIR   (MARLOVEN_CONFIG_FILE names DEPLOYDIR)
// SPDX-License-Identifier: MIT
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>

#include "api/api-common.h"
#include "db/sqlite.h"
#include "docstorage/docstorage.h"
#include "idxstorage/idxstorage.h"
#include "util/config_file.h"
#include "util/http_text.h"
#include "worker/FFF/FFF-serialize.h"
#include "worker/FFF/FFF.h"

using namespace marloven;
namespace fs = std::filesystem;

namespace {

// The entities the manuals use most; others stay as they are.
std::string decode_entities(std::string text) {
    static const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"},  {"&gt;", ">"},   {"&quot;", "\""},
        {"&#39;", "'"}, {"&nbsp;", " "}, {"&amp;", "&"}};
    for (const auto& [entity, plain] : entities) {
        for (std::size_t p = text.find(entity); p != std::string::npos;
             p = text.find(entity, p + 1)) {
            text.replace(p, std::strlen(entity), plain);
        }
    }
    return text;
}

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || u >= 0x80 || c == '_') {
            word += c;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    return words;
}

std::string fff_of(const std::string& html, std::string& title) {
    static const std::regex title_re("<title[^>]*>([\\s\\S]*?)</title>", std::regex::icase);
    static const std::regex drop_re("<(script|style|head)[^>]*>[\\s\\S]*?</\\1>",
                                    std::regex::icase);
    static const std::regex tag_re("<[^>]*>");
    std::smatch m;
    title = std::regex_search(html, m, title_re) ? decode_entities(m[1]) : "";
    std::string body = std::regex_replace(html, drop_re, " ");
    body = decode_entities(std::regex_replace(body, tag_re, " "));

    FFF::DocumentData doc;
    doc.score = 1000000;
    auto& contents = doc.add<FFF::Contents>();
    auto run = [&](std::uint32_t slice, const std::vector<std::string>& words, std::size_t from,
                   std::size_t to) {
        auto& low = contents.add<FFF::P>().add<FFF::S>().add<FFF::Low>();
        low.dictid = slice;
        for (std::size_t i = from; i < to; ++i) {
            low.words.push_back(words[i]);
        }
    };
    auto title_words = words_of(title);
    if (!title_words.empty()) {
        run(FFF::slice::title, title_words, 0, title_words.size());
    }
    auto words = words_of(body);
    for (std::size_t i = 0; i < words.size(); i += 20) {
        run(FFF::slice::centralNorm, words, i, std::min(words.size(), i + 20));
    }
    return FFF::ToBinary(doc);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: index_loader DATADIR ARCID URL_PREFIX HTML_DIR\n";
        return 2;
    }
    const std::string data = argv[1];
    const auto arcid = static_cast<std::uint32_t>(std::stoul(argv[2]));
    const std::string prefix = argv[3];
    const fs::path html_dir = argv[4];
    config_file config;
    sqlite_connection db = open_database(config, (data + "/vantorell.db").c_str());
    std::string platform;
    {
        transaction t(db);
        statement st(db, "select value from dbconfig where key='PlatformGUID'");
        platform = st.next() ? st.text(0) : "";
        t.commit();
    }
    idxstorage index(config, data + "/index");
    if (!index.start()) {
        std::cerr << "the index server did not start\n";
        return 1;
    }
    auto started = std::chrono::steady_clock::now();
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    int count = 0;
    transaction t(db);
    docstorage documents(db);
    for (const auto& entry : fs::recursive_directory_iterator(html_dir)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".html") {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        document_version doc;
        doc.url = prefix + fs::relative(entry.path(), html_dir).string();
        doc.guid = md5_hex(platform + "|" + std::to_string(arcid) + "|" + doc.url);
        doc.arcid = arcid;
        doc.timestamp = now;
        doc.content = html;
        std::string title;
        doc.fff = fff_of(html, title);
        doc.score = 1000000;
        doc.mime = "text/html";
        doc.charset = "utf-8";
        doc.servertime = now;
        if (!documents.store(db, doc, {}, cache_mode::full)) {
            continue;
        }
        indexable_document d;
        d.guid = doc.guid;
        d.arcid = arcid;
        d.url = doc.url;
        d.mime = doc.mime;
        d.timestamp = now;
        d.servertime = now;
        d.fff = doc.fff;
        if (index.addDocument(d) < 0) {
            std::cerr << "index refused " << doc.url << "\n";
            return 1;
        }
        ++count;
    }
    t.commit();
    index.flush();
    index.stop();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("Loaded %d pages in %.1f s\n", count, seconds);
    return 0;
}
