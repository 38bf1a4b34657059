# cmake -DINPUT_DIR=<folder> -DOUTPUT=<file.cpp> -P EmbedFiles.cmake
# Writes a C++ source holding the bytes of every "<number>@2x.png" of the folder and one function,
# cardpay::embeddedImage(number), answering them (an empty span for any other number).
file(GLOB inputs "${INPUT_DIR}/*@2x.png")
list(SORT inputs)
set(arrays "")
set(cases "")
foreach(input ${inputs})
  get_filename_component(name ${input} NAME)
  string(REGEX MATCH "^[0-9]+" number "${name}")
  file(READ ${input} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const std::uint8_t kImage${number}[] = {${bytes}};\n")
  string(APPEND cases "    case ${number}:\n        return kImage${number};\n")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from ${INPUT_DIR} by cmake/EmbedFiles.cmake; do not edit.
#include <cstdint>
#include <span>

namespace cardpay {

namespace {
${arrays}} // namespace

std::span<const std::uint8_t> embeddedImage(int number) {
    switch (number) {
${cases}    default:
        return {};
    }
}

} // namespace cardpay
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
