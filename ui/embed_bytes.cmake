# Writes the bytes of IN as a C++ array named NAME into OUT (run with cmake -P),
# so a picture reaches the toolkit-free logic as a plain buffer.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp" "// Generated from ${IN}; do not edit.\n#include <cstddef>\n#include <cstdint>\n\n"
  "extern const uint8_t ${NAME}[];\nextern const size_t ${NAME}Size;\n"
  "const uint8_t ${NAME}[] = {\n${bytes}\n};\nconst size_t ${NAME}Size = ${size};\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
