#!/usr/bin/env python3
# lang_paragraphs.py: test paragraphs for the language-identification benchmark
# (bench/lang_accuracy.sh), taken from the installed Debian manual pages: the translations of
# manpages-de, -fr, -es, -it, -pt-br, -nl, -da, -sv and the English pages they translate.
# SPDX-License-Identifier: MIT
#
#   lang_paragraphs.py OUT_DIR [PER_LANGUAGE]
#
# Writes OUT_DIR/test.tsv, "language<TAB>length<TAB>paragraph id<TAB>text" lines: PER_LANGUAGE
# (default 200) paragraphs of at least 200 characters per language, each cut to its first 20, 50
# and 200 characters; and OUT_DIR/dev.tsv, as many other paragraphs in the same form, for tuning
# without looking at the test paragraphs. OUT_DIR/pool.tsv keeps every paragraph found, so that
# a second run only draws the samples again. Pages are rendered with man(1) on a very wide line, so that each filled paragraph
# is one line. A paragraph counts when it is prose (letters make most of it) and, on a translated
# page, when it is not found on the English page it translates (untranslated leftovers stay
# out). No identifier has a say in the selection. The choice is seeded, so runs repeat.
import os
import random
import re
import subprocess
import sys
import unicodedata

MAN = "/usr/share/man"
LANGUAGES = {"de": "de", "fr": "fr", "es": "es", "it": "it", "pt_BR": "pt", "nl": "nl",
             "da": "da", "sv": "sv"}
LENGTHS = (20, 50, 200)
CODE_CHARS = set("{}[]<>=;|\\/_$#@*`~^&%")


def render(path):
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="5000", MAN_KEEP_FORMATTING="")
    try:
        out = subprocess.run(["man", "--nj", "--nh", "-E", "UTF-8", "-l", path], env=env,
                             capture_output=True, timeout=60).stdout
    except subprocess.TimeoutExpired:
        return []
    text = out.decode("utf-8", errors="replace")
    # Overstrike (bold, underline) in case the pager settings left it in.
    text = re.sub(r".\x08", "", text)
    lines = []
    for line in text.splitlines():
        line = " ".join(line.split())
        if line:
            lines.append(line)
    # The first and last lines are the running header and footer.
    return lines[1:-1]


def is_prose(p):
    if len(p) < 200 or "\ufffd" in p:
        return False
    visible = [c for c in p if not c.isspace()]
    letters = sum(1 for c in visible if unicodedata.category(c).startswith("L"))
    code = sum(1 for c in visible if c in CODE_CHARS)
    return letters >= 0.8 * len(visible) and code <= 0.01 * len(visible)


_english = {}


def english_paragraphs(relative):
    if relative in _english:
        return _english[relative]
    path = os.path.join(MAN, relative)
    _english[relative] = set(render(path)) if os.path.exists(path) else set()
    return _english[relative]


def pages(directory):
    found = []
    for root, _, files in os.walk(directory):
        for f in files:
            found.append(os.path.relpath(os.path.join(root, f), directory))
    return sorted(found)


def find_paragraphs():
    chosen = {}
    translated_pages = set()
    for directory, code in LANGUAGES.items():
        candidates = []
        for relative in pages(os.path.join(MAN, directory)):
            translated_pages.add(relative)
            english = english_paragraphs(relative)
            prefixes = {e[:60] for e in english}
            for p in render(os.path.join(MAN, directory, relative)):
                if is_prose(p) and p not in english and p[:60] not in prefixes:
                    candidates.append(p)
        chosen[code] = candidates
        print(f"{code}: {len(candidates)} paragraphs", file=sys.stderr)
    # English: the pages that some language translates, so that the genre matches.
    chosen["en"] = [p for relative in sorted(translated_pages)
                    for p in english_paragraphs(relative) if is_prose(p)]
    print(f"en: {len(chosen['en'])} paragraphs", file=sys.stderr)
    return chosen


def shingles(p):
    words = p.lower().split()
    return {" ".join(words[i:i + 3]) for i in range(len(words) - 2)}


def drop_leftovers(chosen):
    english = set()
    for p in chosen["en"]:
        english |= shingles(p)
    for code in chosen:
        if code != "en":
            chosen[code] = [p for p in chosen[code]
                            if len(shingles(p) & english) < 0.2 * len(shingles(p))]


def write_samples(path, code, paragraphs):
    with open(path, "a", encoding="utf-8") as out:
        for n, p in enumerate(paragraphs):
            for length in LENGTHS:
                out.write(f"{code}\t{length}\t{n}\t{p[:length].strip()}\n")


def main():
    out_dir = sys.argv[1]
    per_language = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    pool = os.path.join(out_dir, "pool.tsv")
    chosen = {}
    if os.path.exists(pool):
        with open(pool, encoding="utf-8") as f:
            for line in f:
                code, p = line.rstrip("\n").split("\t", 1)
                chosen.setdefault(code, []).append(p)
    else:
        chosen = find_paragraphs()
        with open(pool + ".part", "w", encoding="utf-8") as out:
            for code in sorted(chosen):
                for p in chosen[code]:
                    out.write(f"{code}\t{p}\n")
        os.replace(pool + ".part", pool)
    drop_leftovers(chosen)
    rng = random.Random(20240601)
    for name in ("test.tsv", "dev.tsv"):
        open(os.path.join(out_dir, name), "w").close()
    for code in sorted(chosen):
        unique = sorted(set(chosen[code]))
        rng.shuffle(unique)
        write_samples(os.path.join(out_dir, "test.tsv"), code, unique[:per_language])
        write_samples(os.path.join(out_dir, "dev.tsv"), code,
                      unique[per_language:2 * per_language])


if __name__ == "__main__":
    main()
