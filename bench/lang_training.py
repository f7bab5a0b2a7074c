#!/usr/bin/env python3
# lang_training.py: a larger training text for the language benchmark (bench/lang_accuracy.sh,
# TRAINING=...), made from Debian's installation guide (package installation-guide-amd64,
# GPL-2), which has the nine languages of the benchmark's manual pages and shares no text with
# them. Languages the guide lacks keep their section of the built-in training text.
# SPDX-License-Identifier: MIT
#
#   lang_training.py GUIDE_DIR BUILTIN_TRAINING OUT [BYTES_PER_LANGUAGE]
#
# GUIDE_DIR is the guide's HTML directory (with one folder per language); the paragraphs (<p>)
# of its pages are taken in file order until BYTES_PER_LANGUAGE (default 50000) are reached.
import html
import os
import re
import sys
import unicodedata

GUIDE_LANGUAGES = {"en": "en", "it": "it", "fr": "fr", "de": "de", "es": "es", "pt": "pt",
                   "da": "da", "nl": "nl", "sv": "sv"}


def paragraphs(directory):
    for name in sorted(os.listdir(directory)):
        if not name.endswith(".html") or name.startswith("apd"):  # apd: the GPL, in English
            continue
        with open(os.path.join(directory, name), encoding="utf-8", errors="replace") as f:
            page = f.read()
        for p in re.findall(r"<p>(.*?)</p>", page, re.S):
            text = " ".join(html.unescape(re.sub(r"<[^>]+>", " ", p)).split())
            visible = [c for c in text if not c.isspace()]
            letters = sum(1 for c in visible if unicodedata.category(c).startswith("L"))
            if len(text) >= 80 and letters >= 0.8 * len(visible):
                yield text


def builtin_sections(path):
    text = open(path, encoding="utf-8").read().replace("\r\n", "\n")
    return {m.group(2): m.group(0)
            for m in re.finditer(r"###BEGIN###\n(\d+) (\S+)\n.*?###END###\n", text, re.S)}


def main():
    guide, builtin, out_path = sys.argv[1:4]
    limit = int(sys.argv[4]) if len(sys.argv) > 4 else 50000
    sections = builtin_sections(builtin)
    with open(out_path, "w", encoding="utf-8") as out:
        out.write("# Training text made by bench/lang_training.py from Debian's installation guide\n")
        for number, (code, section) in enumerate(sections.items(), 1):
            folder = next((d for d, c in GUIDE_LANGUAGES.items() if c == code), None)
            if folder is None or not os.path.isdir(os.path.join(guide, folder)):
                out.write(section)
                continue
            body, size = [], 0
            for p in paragraphs(os.path.join(guide, folder)):
                if size >= limit:
                    break
                body.append(p)
                size += len(p.encode("utf-8")) + 1
            out.write(f"###BEGIN###\n{number} {code}\n" + "\n".join(body) + "\n###END###\n")


if __name__ == "__main__":
    main()
