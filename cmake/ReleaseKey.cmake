# Builds the release public key into the launcher as ReleaseKey (update/crypto.h).
#
#   KELVADON_RELEASE_KEY_FILE=/path/release.key  a release build: the 64 bytes X then Y that
#                                                "kelvadon-publish keygen" wrote
#   KELVADON_RELEASE_KEY_FILE=NONE               an all-zero key: the launcher refuses every
#                                                manifest as built before the release key existed
#   unset (developer and test builds)            a test key pair made in the build folder once
#
# Sets KELVADON_RELEASE_KEY_SOURCE (the generated .cpp) and, for a test key pair,
# KELVADON_TEST_RELEASE_PRIVATE_KEY and KELVADON_TEST_RELEASE_KEY_FILE for tests and the demo.
# Nothing private ever leaves the build folder.

set(KELVADON_RELEASE_KEY_FILE "" CACHE STRING
  "File with the 64-byte release public key (X then Y); NONE for an all-zero key; empty for a test key pair made in the build folder")

set(KELVADON_TEST_RELEASE_PRIVATE_KEY "")
set(KELVADON_TEST_RELEASE_KEY_FILE "")

if(KELVADON_RELEASE_KEY_FILE STREQUAL "NONE")
  string(REPEAT "00" 64 _kelvadon_key_hex)
  set(_kelvadon_key_origin "no release key (all zero bytes)")
elseif(KELVADON_RELEASE_KEY_FILE STREQUAL "")
  find_program(KELVADON_OPENSSL_EXECUTABLE openssl)
  if(NOT KELVADON_OPENSSL_EXECUTABLE)
    message(FATAL_ERROR
      "The openssl command is needed to make a test release key for this build. Install it, or "
      "set KELVADON_RELEASE_KEY_FILE to a release key file (or to NONE).")
  endif()
  set(_kelvadon_key_dir "${CMAKE_BINARY_DIR}/release-key")
  set(KELVADON_TEST_RELEASE_PRIVATE_KEY "${_kelvadon_key_dir}/test-release-private.pem")
  set(KELVADON_TEST_RELEASE_KEY_FILE "${_kelvadon_key_dir}/test-release.key")
  file(MAKE_DIRECTORY "${_kelvadon_key_dir}")
  # Made once per build folder, so reconfiguring keeps the key that earlier test websites used.
  if(NOT EXISTS "${KELVADON_TEST_RELEASE_PRIVATE_KEY}")
    execute_process(
      COMMAND "${KELVADON_OPENSSL_EXECUTABLE}" ecparam -name prime256v1 -genkey -noout
              -out "${KELVADON_TEST_RELEASE_PRIVATE_KEY}.new"
      RESULT_VARIABLE _kelvadon_result ERROR_VARIABLE _kelvadon_error)
    if(NOT _kelvadon_result EQUAL 0)
      message(FATAL_ERROR "Could not make a test release key with openssl: ${_kelvadon_error}")
    endif()
    file(CHMOD "${KELVADON_TEST_RELEASE_PRIVATE_KEY}.new" PERMISSIONS OWNER_READ OWNER_WRITE)
    file(RENAME "${KELVADON_TEST_RELEASE_PRIVATE_KEY}.new" "${KELVADON_TEST_RELEASE_PRIVATE_KEY}")
  endif()
  set(_kelvadon_der "${_kelvadon_key_dir}/test-release-public.der")
  execute_process(
    COMMAND "${KELVADON_OPENSSL_EXECUTABLE}" ec -in "${KELVADON_TEST_RELEASE_PRIVATE_KEY}"
            -pubout -outform DER -out "${_kelvadon_der}"
    RESULT_VARIABLE _kelvadon_result ERROR_VARIABLE _kelvadon_error)
  if(NOT _kelvadon_result EQUAL 0)
    message(FATAL_ERROR "Could not read the test release key with openssl: ${_kelvadon_error}")
  endif()
  # A P-256 public key in DER is 91 bytes and ends with the uncompressed point 04 || X || Y.
  file(READ "${_kelvadon_der}" _kelvadon_der_hex HEX)
  string(LENGTH "${_kelvadon_der_hex}" _kelvadon_length)
  string(SUBSTRING "${_kelvadon_der_hex}" 52 2 _kelvadon_point_tag)
  if(NOT _kelvadon_length EQUAL 182 OR NOT _kelvadon_point_tag STREQUAL "04")
    message(FATAL_ERROR "The test release key in ${_kelvadon_der} is not an uncompressed P-256 key.")
  endif()
  string(SUBSTRING "${_kelvadon_der_hex}" 54 128 _kelvadon_key_hex)
  # The 64-byte form that kelvadon-publish verify and KELVADON_RELEASE_KEY_FILE take.
  execute_process(COMMAND tail -c 64 "${_kelvadon_der}"
    OUTPUT_FILE "${KELVADON_TEST_RELEASE_KEY_FILE}" RESULT_VARIABLE _kelvadon_result)
  if(NOT _kelvadon_result EQUAL 0)
    message(FATAL_ERROR "Could not write ${KELVADON_TEST_RELEASE_KEY_FILE}.")
  endif()
  set(_kelvadon_key_origin "a test key pair in ${_kelvadon_key_dir} (not for release)")
else()
  get_filename_component(_kelvadon_key_file "${KELVADON_RELEASE_KEY_FILE}" ABSOLUTE
    BASE_DIR "${CMAKE_SOURCE_DIR}")
  if(NOT EXISTS "${_kelvadon_key_file}" OR IS_DIRECTORY "${_kelvadon_key_file}")
    message(FATAL_ERROR "KELVADON_RELEASE_KEY_FILE names ${_kelvadon_key_file}, which is not a file.")
  endif()
  file(SIZE "${_kelvadon_key_file}" _kelvadon_size)
  if(NOT _kelvadon_size EQUAL 64)
    message(FATAL_ERROR
      "KELVADON_RELEASE_KEY_FILE (${_kelvadon_key_file}) holds ${_kelvadon_size} bytes, but a "
      "release key file holds exactly 64: X then Y, as written by kelvadon-publish keygen. "
      "See apps/launcher/README.txt.")
  endif()
  file(READ "${_kelvadon_key_file}" _kelvadon_key_hex HEX)
  string(REPEAT "00" 64 _kelvadon_zero_hex)
  if(_kelvadon_key_hex STREQUAL _kelvadon_zero_hex)
    message(FATAL_ERROR
      "KELVADON_RELEASE_KEY_FILE (${_kelvadon_key_file}) holds only zero bytes. For a build "
      "without a release key set KELVADON_RELEASE_KEY_FILE to NONE.")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_kelvadon_key_file}")
  set(_kelvadon_key_origin "${_kelvadon_key_file}")
endif()

# Eight bytes to a line: "0x12, 0x34, ...".
set(_kelvadon_key_bytes "")
foreach(_kelvadon_index RANGE 0 63)
  math(EXPR _kelvadon_offset "${_kelvadon_index} * 2")
  math(EXPR _kelvadon_column "${_kelvadon_index} % 8")
  string(SUBSTRING "${_kelvadon_key_hex}" ${_kelvadon_offset} 2 _kelvadon_byte)
  if(_kelvadon_index EQUAL 0)
  elseif(_kelvadon_column EQUAL 0)
    string(APPEND _kelvadon_key_bytes ",\n    ")
  else()
    string(APPEND _kelvadon_key_bytes ", ")
  endif()
  string(APPEND _kelvadon_key_bytes "0x${_kelvadon_byte}")
endforeach()
set(KELVADON_RELEASE_KEY_SOURCE "${CMAKE_BINARY_DIR}/generated/release_key.cpp")
file(CONFIGURE OUTPUT "${KELVADON_RELEASE_KEY_SOURCE}" CONTENT
"// Generated at configure time by cmake/ReleaseKey.cmake; do not edit.
// Key: ${_kelvadon_key_origin}
#include \"update/trust/crypto.h\"

namespace {

// kelvadon-publish finds the key in an executable's bytes by this marker, wherever a rebuild
// puts it, to check that a launcher goes with the key that signs the manifest.
struct ReleaseKeyRecord {
  char marker[24];
  PublicKey key;
};

const ReleaseKeyRecord kRecord = {\"KELVADON-RELEASE-KEY-V1\", {
    ${_kelvadon_key_bytes}}};

}  // namespace

const PublicKey& ReleaseKey = kRecord.key;
")
# The short name kelvadon-publish gives the key in its messages: the first 16 hex digits of the
# SHA-256 of its 64 bytes.
if(KELVADON_RELEASE_KEY_FILE STREQUAL "NONE")
  message(STATUS "Release key: ${_kelvadon_key_origin}")
else()
  if(KELVADON_RELEASE_KEY_FILE STREQUAL "")
    set(_kelvadon_key_file "${KELVADON_TEST_RELEASE_KEY_FILE}")
  endif()
  file(SHA256 "${_kelvadon_key_file}" _kelvadon_short_name)
  string(SUBSTRING "${_kelvadon_short_name}" 0 16 _kelvadon_short_name)
  message(STATUS "Release key: ${_kelvadon_key_origin}, short name ${_kelvadon_short_name}")
endif()
