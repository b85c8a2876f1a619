# Fails unless configuring the release preset without a usable release key stops at once with
# the sentence that points to the README.
# Run as: cmake -DSOURCE=<source folder> -DSCRATCH=<empty folder> -P release_preset_test.cmake

cmake_minimum_required(VERSION 3.25)

set(expected "A release build needs KELVADON_RELEASE_KEY_FILE set to the release key file")

function(check name key)
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
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  string(REGEX REPLACE "[ \r\n]+" " " flat "${errors}")
  if(result EQUAL 0)
    message(SEND_ERROR "${name}: the release preset configured without a release key")
  elseif(NOT flat MATCHES "${expected}.*apps/launcher/README.txt")
    message(SEND_ERROR "${name}: the release preset failed without its sentence:\n${errors}")
  endif()
  # The refusal comes before any compiler is looked at, so it is quick and leaves no build.
  if(EXISTS "${binary}/CMakeFiles/${CMAKE_VERSION}")
    message(SEND_ERROR "${name}: the release preset looked for compilers before refusing")
  endif()
  file(REMOVE_RECURSE "${binary}")
endfunction()

# Not given, given empty (a test key would be made) and NONE (a launcher that refuses every
# update) are all refused.
check(unset UNSET)
check(empty "")
check(none NONE)
