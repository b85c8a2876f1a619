# Fails unless configuring the release preset without a usable release key stops at once with
# the sentence that points to the README, and unless a real key gets through, named by its short
# name.
# Run as: cmake -DSOURCE=<source folder> -DSCRATCH=<empty folder> -DTEST_KEY=<a build folder's
# test-release.key> -P release_preset_test.cmake

cmake_minimum_required(VERSION 3.25)

set(missing "A release build needs KELVADON_RELEASE_KEY_FILE set to the release key file")
set(test_key "is a test key that a developer build made in its build folder")

# Configures the release preset into SCRATCH/name with the key (UNSET: none given) and leaves the
# exit code and what it printed in result and output.
function(configure name key)
  set(binary "${SCRATCH}/${name}")
  file(REMOVE_RECURSE "${binary}")
  set(define)
  if(NOT key STREQUAL "UNSET")
    set(define "-DKELVADON_RELEASE_KEY_FILE=${key}")
  endif()
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env --unset=KELVADON_RELEASE_KEY_FILE
            "${CMAKE_COMMAND}" --preset release -B "${binary}" ${define}
    WORKING_DIRECTORY "${SOURCE}"
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE errors)
  string(REGEX REPLACE "[ \r\n]+" " " flat "${out} ${errors}")
  set(result "${result}" PARENT_SCOPE)
  set(output "${flat}" PARENT_SCOPE)
endfunction()

function(check name key expected)
  configure(${name} "${key}")
  if(result EQUAL 0)
    message(SEND_ERROR "${name}: the release preset configured with ${key}")
  elseif(NOT output MATCHES "${expected}.*apps/launcher/README.txt")
    message(SEND_ERROR "${name}: the release preset failed without its sentence:\n${output}")
  endif()
  # The refusal comes before any compiler is looked at, so it is quick and leaves no build.
  if(EXISTS "${SCRATCH}/${name}/CMakeFiles/${CMAKE_VERSION}")
    message(SEND_ERROR "${name}: the release preset looked for compilers before refusing")
  endif()
  file(REMOVE_RECURSE "${SCRATCH}/${name}")
endfunction()

# Not given, given empty (a test key would be made) and NONE (a launcher that refuses every
# update) are all refused.
check(unset UNSET "${missing}")
check(empty "" "${missing}")
check(none NONE "${missing}")

# A build folder's test key, where it was made and as a copy taken elsewhere (a build with a real
# key has none).
file(MAKE_DIRECTORY "${SCRATCH}/keys")
if(TEST_KEY)
  file(COPY_FILE "${TEST_KEY}" "${SCRATCH}/keys/copied.key")
  check(test-key "${TEST_KEY}" "${test_key}")
  check(copied-test-key "${SCRATCH}/keys/copied.key" "${test_key}")
endif()

# A key of the right form passes, and the log names it by the short name kelvadon-publish uses:
# the first 16 hex digits of the SHA-256 of its 64 bytes.
string(REPEAT "Z" 64 real_key)
file(WRITE "${SCRATCH}/keys/release.key" "${real_key}")
file(SHA256 "${SCRATCH}/keys/release.key" real_hash)
string(SUBSTRING "${real_hash}" 0 16 real_short)
configure(real "${SCRATCH}/keys/release.key")
if(NOT result EQUAL 0)
  message(SEND_ERROR "real: the release preset refused a release key:\n${output}")
elseif(NOT output MATCHES "Release key: [^ ]*release.key, short name ${real_short}")
  message(SEND_ERROR "real: the configure log does not name the key's short name:\n${output}")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
