#!/usr/bin/env bash
# lang_accuracy.sh: accuracy of SLR, the language recogniser plug-in, per language on paragraphs
# of Debian's translated manual pages (and the English pages they translate) cut to 20, 50 and
# 200 characters, in the same run as Debian's python3-langdetect, the npm package franc, and
# libexttextcat fingerprints built from SLR's own training text. Prints one table: accuracy in
# per cent per language and length, one column per identifier.
#
#   bash bench/lang_accuracy.sh              builds what it needs (bench preset) and runs
#   TRAINING=file                            SLR's training text (default: the built-in one)
#   TRAINING=guide                           a larger one made by bench/lang_training.py from
#                                            Debian's installation guide (50 KB a language for
#                                            the nine measured ones; GUIDE_BYTES=n to change)
#   PARAMETERS='order=3;run_margin=0.1'      SLR's document-filter parameters
#   SAMPLES=dev                              the tuning paragraphs instead of the test ones
#   PER_LANGUAGE=n                           paragraphs per language (default 200); changing it
#                                            needs a fresh WORK directory
#   WORK=dir                                 where paragraphs, franc and answers are kept
#                                            (default build/lang-accuracy; reused when there)
#
# Columns: SLR (the plug-in through the plug-in loader), textcat (libexttextcat, same training
# text), langdetect and franc choosing among the languages SLR's training text knows (their
# "/11" columns; langdetect has no Icelandic, so 10 for it), and their own unrestricted answers.
# SPDX-License-Identifier: MIT
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${WORK:-$top/build/lang-accuracy}
build=$top/build/bench
training=${TRAINING:-$top/src/api/data/langtrain.txt}
samples=$work/${SAMPLES:-test}.tsv
mkdir -p "$work"

packages=(python3-langdetect libexttextcat-dev nodejs manpages manpages-dev manpages-de
          manpages-fr manpages-es manpages-it manpages-pt-br manpages-nl manpages-da manpages-sv)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q 'install ok installed' || missing+=("$p")
done
command -v npm > /dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# franc is a test tool: installed under the work directory, never into the repository.
if [ ! -d "$work/node/node_modules/franc" ]; then
    mkdir -p "$work/node"
    (cd "$work/node" && npm install --no-audit --no-fund --silent franc@6.2.0 > /dev/null)
fi

if [ "$training" = guide ]; then
    if [ ! -d "$work/guide/x" ]; then
        mkdir -p "$work/guide"
        (cd "$work/guide" && apt-get download -q installation-guide-amd64 > /dev/null &&
            dpkg-deb -x installation-guide-amd64_*.deb x)
    fi
    training=$work/guide/training-${GUIDE_BYTES:-50000}.txt
    /usr/bin/python3 "$top/bench/lang_training.py" \
        "$work/guide/x/usr/share/doc/installation-guide-amd64" \
        "$top/src/api/data/langtrain.txt" "$training" "${GUIDE_BYTES:-50000}"
fi

cmake --preset bench > /dev/null
cmake --build "$build" --target langplugin vant_lang_classify vant_lang_textcat > /dev/null

if [ ! -f "$work/test.tsv" ]; then
    /usr/bin/python3 "$top/bench/lang_paragraphs.py" "$work" "${PER_LANGUAGE:-200}"
fi
echo "$(cut -f1 "$samples" | sort | uniq -c | awk '{printf "%s %d  ", $2, $1 / 3}')"
echo "training text: $training ($(wc -c < "$training") bytes)"

"$build/bench/vant_lang_classify" "$build/deploy/plugins" "$training" "${PARAMETERS:-}" \
    < "$samples" > "$work/slr.tsv"
"$build/bench/vant_lang_textcat" "$training" < "$samples" > "$work/textcat.tsv"
/usr/bin/python3 "$top/bench/lang_eval.py" langdetect < "$samples" > "$work/langdetect.tsv"
cp "$top/bench/lang_franc.mjs" "$work/node/"
(cd "$work/node" && node lang_franc.mjs) < "$samples" > "$work/franc.tsv"

/usr/bin/python3 "$top/bench/lang_eval.py" table SLR="$work/slr.tsv" \
    textcat="$work/textcat.tsv" langdetect/11="$work/langdetect.tsv:1" \
    franc/11="$work/franc.tsv:1" langdetect="$work/langdetect.tsv:0" franc="$work/franc.tsv:0"
