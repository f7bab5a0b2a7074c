#!/usr/bin/env python3
# lang_eval.py: the Python half of the language-identification benchmark
# (bench/lang_accuracy.sh): Debian's python3-langdetect on the samples, and the table of results.
# SPDX-License-Identifier: MIT
#
#   lang_eval.py langdetect < samples.tsv > answers.tsv
#       two answers a line: langdetect's own (its 55 languages) and its best among the languages
#       SLR's training text knows (so both choose among the same languages)
#   lang_eval.py table NAME=answers.tsv[:COLUMN] ...
#       accuracy per language and length, one column per NAME (COLUMN: the answer's column
#       after the id, from 0)
import collections
import sys

# The languages of the built-in training text.
TRAINED = ["en", "it", "fr", "de", "es", "pt", "da", "nl", "is", "no", "sv"]


def samples(stream):
    for line in stream:
        fields = line.rstrip("\n").split("\t")
        if len(fields) >= 4:
            yield fields


def run_langdetect():
    from langdetect import DetectorFactory, detector_factory
    from langdetect.lang_detect_exception import LangDetectException

    DetectorFactory.seed = 0  # its sampling is random: the same seed gives the same answers
    detector_factory.init_factory()
    factory = detector_factory._factory
    for lang, length, ident, text in samples(sys.stdin):
        own = restricted = ""
        try:
            d = factory.create()
            d.append(text)
            best = d.get_probabilities()
            own = best[0].lang if best else ""
            known = [(p, code) for code, p in zip(d.langlist, d.langprob) if code in TRAINED]
            restricted = max(known)[1] if known and max(known)[0] > 0 else ""
        except LangDetectException:
            pass
        print(f"{lang}\t{length}\t{ident}\t{own}\t{restricted}")


def table(given):
    columns = []
    results = {}
    for item in given:
        name, _, path = item.partition("=")
        path, _, column = path.partition(":")
        column = int(column or 0)
        columns.append(name)
        with open(path, encoding="utf-8") as f:
            for fields in samples(f):
                lang, length = fields[0], int(fields[1])
                answer = fields[3 + column] if len(fields) > 3 + column else ""
                cell = results.setdefault((name, lang, length), [0, 0])
                cell[0] += answer == lang
                cell[1] += 1
    languages = sorted({k[1] for k in results})
    lengths = sorted({k[2] for k in results})
    width = max(9, max(len(c) for c in columns) + 1)
    print("lang chars n    " + "".join(c.rjust(width) for c in columns))
    means = collections.defaultdict(list)
    for length in lengths:
        for lang in languages:
            n = results.get((columns[0], lang, length), [0, 0])[1]
            row = f"{lang:<4} {length:>5} {n:<4} "
            for c in columns:
                right, total = results.get((c, lang, length), [0, 0])
                accuracy = 100.0 * right / total if total else 0.0
                means[(c, length)].append(accuracy)
                row += f"{accuracy:.1f}".rjust(width)
            print(row)
        row = f"mean {length:>5}      "
        for c in columns:
            m = means[(c, length)]
            row += f"{sum(m) / len(m):.1f}".rjust(width)
        print(row)


def main():
    if sys.argv[1] == "langdetect":
        run_langdetect()
    elif sys.argv[1] == "table":
        table(sys.argv[2:])
    else:
        sys.exit("usage: lang_eval.py langdetect | table NAME=FILE[:COLUMN]...")


if __name__ == "__main__":
    main()
