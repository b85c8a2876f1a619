# Fails unless the launcher's version information says what key it carries: a build with a test
# key made on the spot must never look like a release under Properties > Details.
# Run as: cmake -DPROGRAM=<exe> -DEXPECTED=<file description> -P version_info_test.cmake

cmake_minimum_required(VERSION 3.25)

# Version information holds its texts in UTF-16LE: each ASCII letter followed by a zero byte.
string(HEX "${EXPECTED}" ascii)
string(REGEX REPLACE "(..)" "\\100" utf16 "${ascii}")
file(READ "${PROGRAM}" bytes HEX)
string(FIND "${bytes}" "${utf16}0000" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${PROGRAM} does not carry the file description \"${EXPECTED}\".")
endif()
