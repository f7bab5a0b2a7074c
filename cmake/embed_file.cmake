# Writes a C++ source holding the bytes of a data file, so that the file is part of the program.
# cmake -DINPUT=<file> -DOUTPUT=<file.cc> -DNAME=<identifier> -P embed_file.cmake
# The source defines marloven::embedded::<NAME> (the bytes) and <NAME>_size.
# SPDX-License-Identifier: MIT
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes per line keeps the generated file readable in a debugger.
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}"
    "// Generated from ${INPUT} by cmake/embed_file.cmake; do not edit.\n"
    "#include <cstddef>\n\n"
    "namespace marloven::embedded {\n"
    "extern const unsigned char ${NAME}[];\n"
    "extern const std::size_t ${NAME}_size;\n"
    "const unsigned char ${NAME}[] = {\n${bytes}0};\n"
    "const std::size_t ${NAME}_size = ${size};\n"
    "}  // namespace marloven::embedded\n")
