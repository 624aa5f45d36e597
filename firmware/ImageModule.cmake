# Turns one built-in firmware image (firmware/images/entryN.kfw: eight header lines key=value, then
# the HEX lines) into a C++ module that defines the constant image FwImageN (firmware/uFwImages.h).
# Run at build time with the host's cmake, so the cross build needs no host tool:
#   cmake -DIMAGE=<entryN.kfw> -DENTRY=<N> -DOUTPUT=<module.cpp> -P ImageModule.cmake
# The images are our own data: anything unexpected in one is an error here, not a guess.

foreach(sVar IMAGE ENTRY OUTPUT)
  if(NOT DEFINED ${sVar})
    message(FATAL_ERROR "ImageModule.cmake: -D${sVar}=... is missing")
  endif()
endforeach()

file(READ "${IMAGE}" sContent)
string(REPLACE "\r\n" "\n" sContent "${sContent}")
# Only the characters of keys, numbers, dates and HEX lines: nothing that could break a CMake list
# or a C++ string literal.
if(NOT sContent MATCHES "^[0-9A-Za-z:=. \n]+$")
  message(FATAL_ERROR "${IMAGE}: unexpected characters")
endif()
string(REGEX REPLACE "\n$" "" sContent "${sContent}")
string(REPLACE "\n" ";" aLines "${sContent}")
list(LENGTH aLines iCount)
if(iCount LESS 10)
  message(FATAL_ERROR "${IMAGE}: ${iCount} lines, too few for a header and an image")
endif()

# The header: fixed keys in fixed order, decimal numbers only.
set(aKeys "bootloader" "bootloader version" "class" "versionH" "versionL" "platform" "print")
set(aFields quarn_bl quarn_bl_ver quarn_class quarn_verH quarn_verL quarn_platform quarn_print)
foreach(i RANGE 6)
  list(GET aLines ${i} sLine)
  list(GET aKeys ${i} sKey)
  list(GET aFields ${i} sField)
  math(EXPR iLineNo "${i} + 1")
  if(NOT sLine MATCHES "^${sKey}=([0-9]+)$" OR CMAKE_MATCH_1 GREATER 65535)
    message(FATAL_ERROR "${IMAGE}: line ${iLineNo} is not \"${sKey}=<number>\": ${sLine}")
  endif()
  set(${sField} ${CMAKE_MATCH_1})
endforeach()
if(NOT quarn_bl MATCHES "^[23]$")
  message(FATAL_ERROR "${IMAGE}: bootloader ${quarn_bl} is neither 2 nor 3")
endif()
list(GET aLines 7 sLine)
if(NOT sLine MATCHES "^date=(.*)$")
  message(FATAL_ERROR "${IMAGE}: line 8 is not \"date=...\": ${sLine}")
endif()
set(quarn_date "${CMAKE_MATCH_1}")

# The HEX lines, passed on unchanged. A line with "=" would be dropped by the file reader, so the
# built-in image and its file would differ.
list(SUBLIST aLines 8 -1 aHexLines)
list(POP_BACK aHexLines sEnd)
if(NOT sEnd STREQUAL ":00000001FF")
  message(FATAL_ERROR "${IMAGE}: the last line is not the end record")
endif()
set(sArray "")
foreach(sLine IN LISTS aHexLines)
  if(NOT sLine MATCHES "^:[0-9A-F]+$")
    message(FATAL_ERROR "${IMAGE}: not a HEX line: ${sLine}")
  endif()
  string(APPEND sArray "    \"${sLine}\",\n")
endforeach()
string(APPEND sArray "    \"${sEnd}\",\n")

cmake_path(GET IMAGE FILENAME sImageName)
file(WRITE "${OUTPUT}" "\
// Built-in firmware image ${ENTRY}, generated from firmware/images/${sImageName}. Do not edit.
#include \"firmware/uFwImages.h\"

namespace {
constexpr std::string_view aLines[] = {
${sArray}};
} // namespace

constinit const TFwImage FwImage${ENTRY}{
    .Header = {.quarn_class = ${quarn_class},
               .quarn_verH = ${quarn_verH},
               .quarn_verL = ${quarn_verL},
               .quarn_platform = ${quarn_platform},
               .quarn_print = ${quarn_print},
               .quarn_date = \"${quarn_date}\",
               .quarn_bl = ${quarn_bl},
               .quarn_bl_ver = ${quarn_bl_ver}},
    .Lines = aLines,
};
")
