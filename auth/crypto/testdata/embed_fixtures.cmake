# Writes the test fixtures of this folder into a C++ source as byte arrays,
# so that the unit tests carry them wherever they run (the sandbox and the
# PowerPC emulator see only the test binary).
#   cmake -DOUTPUT=file.cpp -DINPUTS="a|b|..." -P embed_fixtures.cmake
string(REPLACE "|" ";" INPUTS "${INPUTS}")
set(body "// Generated from auth/crypto/testdata by embed_fixtures.cmake.\n")
string(APPEND body "#include \"auth/crypto/testdata/fixtures.h\"\n\nnamespace {\n")
set(table "")
set(index 0)
foreach(input IN LISTS INPUTS)
  get_filename_component(name ${input} NAME)
  file(READ ${input} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND body "const uint8_t kFixture${index}[] = {\n${bytes}};\n")
  string(APPEND table "    {\"${name}\", kFixture${index}, sizeof kFixture${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND body "}  // namespace\n\nconst CryptoFixture kCryptoFixtures[] = {\n${table}};\n")
string(APPEND body "const size_t kCryptoFixtureCount = ${index};\n")
file(WRITE ${OUTPUT}.tmp "${body}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
