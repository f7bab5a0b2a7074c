#!/usr/bin/env python3
# gen_charsets.py: writes src/util/charsets_data.cc, the code-page tables, the case-folding
# table and the character-class runs that src/util/charsets.cc serves.
# SPDX-License-Identifier: MIT
#
# The build does not run this script; its output is committed. Run it again (from the top of the
# tree: tools/gen_charsets.py) only to move to another Unicode version or to add a code page, and
# commit the regenerated file together with the change.
#
# Sources:
# - Code pages: Python's codecs, which carry the published vendor mappings of each code page
#   (Apple's ROMAN.TXT, Microsoft's CP125x.TXT and the DOS CPnnn.TXT files, the ISO 8859 tables).
#   Bytes that a published mapping leaves undefined are written as U+FFFD. Where this Python lacks
#   a codec, the table comes from iconv instead; every table's source is named in the output.
# - Case folding: str.casefold(), which is the Unicode full case folding (status C and F of
#   CaseFolding.txt) of unicodedata.unidata_version, with one change: U+0130 folds to U+0069 alone
#   (the Turkic dotted capital I loses its dot instead of gaining a combining one).
# - Character classes: unicodedata.category() of the same Unicode version.
import codecs
import subprocess
import sys
import unicodedata
from pathlib import Path

# Canonical table names, in the order of the generated array. charsets.cc maps the accepted
# names of each set onto these.
CODE_PAGES = (
    ["mac_roman"]
    + [f"cp{n}" for n in range(1250, 1259)]
    + [f"iso8859_{n}" for n in list(range(1, 12)) + list(range(13, 17))]
    + [f"cp{n}" for n in (437, 737, 775, 850, 852, 855, 857, 860, 861, 862, 863, 864, 865, 866,
                          869, 874)]
)

ICONV_NAMES = {"mac_roman": "MACINTOSH"}


def iconv_name(page):
    if page in ICONV_NAMES:
        return ICONV_NAMES[page]
    if page.startswith("iso8859_"):
        return "ISO-8859-" + page.split("_")[1]
    return page.upper()


def table_from_python(page):
    table = []
    for b in range(256):
        try:
            text = bytes([b]).decode(page)
        except UnicodeDecodeError:
            text = "\ufffd"
        assert len(text) == 1, (page, b)
        table.append(ord(text))
    return table


def table_from_iconv(page):
    table = []
    for b in range(256):
        run = subprocess.run(["iconv", "-f", iconv_name(page), "-t", "UTF-32LE"],
                             input=bytes([b]), capture_output=True)
        if run.returncode != 0 or len(run.stdout) != 4:
            table.append(0xFFFD)
        else:
            table.append(int.from_bytes(run.stdout, "little"))
    return table


def code_page_table(page):
    try:
        codecs.lookup(page)
    except LookupError:
        return table_from_iconv(page), "iconv " + iconv_name(page)
    return table_from_python(page), "Python codec " + page


# High nibble: class; low nibble: subcategory. Cn (unassigned) is 0x00.
CATEGORY_BYTE = {
    "Lu": 0x10, "Ll": 0x11, "Lt": 0x12, "Lm": 0x13, "Lo": 0x14,
    "Mn": 0x20, "Mc": 0x21, "Me": 0x22,
    "Nd": 0x30, "Nl": 0x31, "No": 0x32,
    "Pc": 0x40, "Pd": 0x41, "Ps": 0x42, "Pe": 0x43, "Pi": 0x44, "Pf": 0x45, "Po": 0x46,
    "Sm": 0x50, "Sc": 0x51, "Sk": 0x52, "So": 0x53,
    "Zs": 0x60, "Zl": 0x61, "Zp": 0x62,
    "Cc": 0x70, "Cf": 0x71, "Cs": 0x72, "Co": 0x73,
    "Cn": 0x00,
}


def class_runs():
    runs = []
    last = None
    for cp in range(0x110000):
        value = CATEGORY_BYTE[unicodedata.category(chr(cp))]
        if value != last:
            runs.append((cp, value))
            last = value
    return runs


def fold_entries():
    entries = []
    for cp in range(0x110000):
        if 0xD800 <= cp < 0xE000:
            continue
        folded = chr(cp).casefold()
        if cp == 0x130:
            folded = "i"
        if folded != chr(cp):
            assert 1 <= len(folded) <= 3
            # fold_utf8 sizes its output on this: no folding is more than three times longer.
            assert len(folded.encode()) <= 3 * len(chr(cp).encode()), hex(cp)
            entries.append((cp, [ord(c) for c in folded]))
    return entries


def main():
    out_path = Path(sys.argv[1] if len(sys.argv) > 1 else "src/util/charsets_data.cc")
    lines = [
        "// charsets_data.cc: code-page tables, case folding and character classes (generated).",
        "// Written by tools/gen_charsets.py; do not edit, run the script again instead.",
        "// SPDX-License-Identifier: MIT",
        f"// Unicode version of the folding and the classes: {unicodedata.unidata_version}.",
        '#include "util/charsets_internal.h"',
        "",
        "namespace marloven::charsets_data {",
        "",
        f'const std::string_view unicode_version = "{unicodedata.unidata_version}";',
        "",
        "// Undefined bytes map to U+FFFD.",
        f"const code_page_table code_pages[{len(CODE_PAGES)}] = {{",
    ]
    for page in CODE_PAGES:
        table, source = code_page_table(page)
        lines.append(f'    {{"{page}",  // from {source}')
        lines.append("     {")
        for row in range(0, 256, 8):
            lines.append("         " + " ".join(f"0x{v:04X}," for v in table[row:row + 8]))
        lines.append("     }},")
    lines.append("};")
    lines.append("const std::size_t code_page_count = " + str(len(CODE_PAGES)) + ";")
    lines.append("")

    folds = fold_entries()
    multi = sum(1 for _, to in folds if len(to) > 1)
    lines.append(f"// {len(folds)} entries, {multi} of them to more than one code point; sorted.")
    lines.append(f"const fold_entry fold_entries[{len(folds)}] = {{")
    for cp, to in folds:
        padded = to + [0] * (3 - len(to))
        lines.append(f"    {{0x{cp:05X}, {{" + ", ".join(f"0x{v:05X}" for v in padded) + "}},")
    lines.append("};")
    lines.append(f"const std::size_t fold_entry_count = {len(folds)};")
    lines.append("")

    runs = class_runs()
    lines.append("// Each run starts at `first` and lasts until the next run; the last one to U+10FFFF.")
    lines.append(f"const class_run class_runs[{len(runs)}] = {{")
    for i in range(0, len(runs), 6):
        lines.append("    " + " ".join(f"{{0x{cp:05X}, 0x{v:02X}}}," for cp, v in runs[i:i + 6]))
    lines.append("};")
    lines.append(f"const std::size_t class_run_count = {len(runs)};")
    lines.append("")
    lines.append("}  // namespace marloven::charsets_data")
    out_path.write_text("\n".join(lines) + "\n")
    print(f"{out_path}: {len(CODE_PAGES)} code pages, {len(folds)} folds, {len(runs)} class runs")


if __name__ == "__main__":
    main()
