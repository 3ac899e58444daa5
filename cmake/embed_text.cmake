# Writes the text file INPUT into the C++ source OUTPUT as the character
# array NAME (namespace kivsim), ended by a NUL: a page served from the
# binary with nothing beside it. Run with cmake -P at build time.
file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
string(REGEX REPLACE "((('\\\\x[0-9a-f][0-9a-f]',){16}))" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Made from ${INPUT} by cmake/embed_text.cmake; not edited by hand.\n"
  "namespace kivsim {\nextern const char ${NAME}[];\nconst char ${NAME}[] = {\n    ${bytes}'\\0'};\n}  // namespace kivsim\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
