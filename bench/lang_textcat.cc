// lang_textcat.cc: the other engine the language benchmark (bench/lang_accuracy.sh) weighs
// against SLR's own model: libexttextcat's n-gram fingerprints (rank-order distance), built
// from the same training text, on the same samples.
// SPDX-License-Identifier: MIT
//
//   vant_lang_textcat TRAINING_FILE [MAX_NGRAMS] < samples.tsv > answers.tsv
//
// Same lines in and out as vant_lang_classify. The training text is read section by section
// ("###BEGIN###", "<number> <code>", text, "###END###"; '#' lines are comments).
#include <libexttextcat/fingerprint.h>

#include <climits>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct fingerprint_closer {
    void operator()(void* fp) const { fp_Done(fp); }
};
using fingerprint = std::unique_ptr<void, fingerprint_closer>;

std::string ascii_lower(std::string s) {
    for (char& c : s) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return s;
}

fingerprint make(const std::string& name, const std::string& text, unsigned max_ngrams) {
    fingerprint fp(fp_Init(name.c_str()));
    fp_SetProperty(fp.get(), TCPROP_UTF8AWARE, TC_TRUE);
    fp_SetProperty(fp.get(), TCPROP_MINIMUM_DOCUMENT_SIZE, 1);
    std::string lower = ascii_lower(text);
    if (fp_Create(fp.get(), lower.data(), static_cast<unsigned>(lower.size()), max_ngrams) == 0) {
        return nullptr;
    }
    return fp;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: vant_lang_textcat TRAINING_FILE [MAX_NGRAMS]\n";
        return 2;
    }
    unsigned max_ngrams = argc > 2 ? static_cast<unsigned>(std::stoul(argv[2])) : 400;
    std::ifstream in(argv[1]);
    std::vector<std::pair<std::string, fingerprint>> languages;
    std::string line;
    std::string code;
    std::string text;
    bool header = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line == "###BEGIN###") {
            header = true;
            text.clear();
        } else if (line == "###END###") {
            languages.emplace_back(code, make(code, text, max_ngrams));
        } else if (header) {
            code = line.substr(line.find(' ') + 1);
            header = false;
        } else if (!line.empty() && line[0] != '#') {
            text += line + "\n";
        }
    }
    while (std::getline(std::cin, line)) {
        std::size_t tab = line.find('\t');
        tab = line.find('\t', tab + 1);
        tab = line.find('\t', tab + 1);
        if (tab == std::string::npos) {
            continue;
        }
        fingerprint sample = make("sample", line.substr(tab + 1), max_ngrams);
        std::string answer;
        int best = INT_MAX;
        for (const auto& [name, fp] : languages) {
            if (!sample || !fp) {
                continue;
            }
            int distance = fp_Compare(fp.get(), sample.get(), best);
            if (distance < best) {
                best = distance;
                answer = name;
            }
        }
        std::cout << line.substr(0, tab) << '\t' << answer << '\n';
    }
    return 0;
}
