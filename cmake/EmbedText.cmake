# cmake -DINPUT=file -DOUTPUT=header -DNAME=identifier -P EmbedText.cmake
# Writes a header that holds the file's bytes as a zero-terminated character array, so that a
# text resource (a page script) is compiled into the program unchanged.
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n#pragma once\n\n"
  "inline constexpr char ${NAME}[] = {${bytes}'\\0'};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
