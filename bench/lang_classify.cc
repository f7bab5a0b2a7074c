// lang_classify.cc: the SLR plug-in (langplugin) on the samples of the language benchmark
// (bench/lang_accuracy.sh), loaded and applied as the worker does: the plug-in loader reads the
// plug-in directory, configures one document filter, and each sample is parsed as a text/plain
// document and handed to the filter. Prints the document language the plug-in set.
// SPDX-License-Identifier: MIT
//
//   vant_lang_classify PLUGIN_DIR TRAINING_FILE|- [PARAMETERS] < samples.tsv > answers.tsv
//
// TRAINING_FILE is the plug-in record's configuration ("-": empty, the built-in training text);
// PARAMETERS the document filter's (name=value lines, ';' may stand for the line feeds).
// Each input line "language<TAB>length<TAB>id<TAB>text" gives "language<TAB>length<TAB>id<TAB>
// answer", the answer empty when the plug-in set no language.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "parse/document_parser.h"
#include "plugin-system/fff-plugins-loader.h"
#include "worker/FFF/FFF-serialize.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string language_of(FFF::DocumentData& doc) {
    for (const auto& child : doc.children) {
        if (auto* contents = dynamic_cast<FFF::Contents*>(child.get())) {
            for (const FFF::meta& m : contents->metas()) {
                if (m.type == FFF::meta_documentwide && m.key == MARLOVEN_META_LANGUAGE) {
                    return m.value;
                }
            }
        }
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: vant_lang_classify PLUGIN_DIR TRAINING_FILE|- [PARAMETERS]\n";
        return 2;
    }
    std::string training = std::string(argv[2]) == "-" ? "" : read_file(argv[2]);
    std::string parameters = argc > 3 ? argv[3] : "";
    for (char& c : parameters) {
        c = c == ';' ? '\n' : c;
    }
    marloven::fff_plugins_loader loader{std::string(argv[1])};
    loader.load();
    loader.configure_plugin({1, 1, "SLR", "langplugin", training});
    if (!loader.configure_docfilter({1, 1, "SLR", 1, parameters})) {
        std::cerr << "the plug-in refused its configuration\n";
        return 1;
    }
    const std::string url = "http://bench.invalid/sample.txt";
    std::string line;
    while (std::getline(std::cin, line)) {
        std::size_t tab = line.find('\t');
        tab = line.find('\t', tab + 1);
        tab = line.find('\t', tab + 1);
        if (tab == std::string::npos) {
            continue;
        }
        std::string text = line.substr(tab + 1);
        marloven::parsed_document parsed =
            marloven::parse_document({url, "", text, "text/plain", "", "", 0});
        std::string answer;
        if (!parsed.fff.empty()) {
            auto tree = FFF::FromBinary(parsed.fff);
            if (auto* doc = dynamic_cast<FFF::DocumentData*>(tree.root.get())) {
                loader.apply({1}, *doc, {url, parsed.mime, parsed.charset});
                answer = language_of(*doc);
            }
        }
        std::cout << line.substr(0, tab) << '\t' << answer << '\n';
    }
    return 0;
}
