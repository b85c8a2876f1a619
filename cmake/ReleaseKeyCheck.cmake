# The release preset's checks of KELVADON_RELEASE_KEY_FILE, made before anything else is looked
# at, so a release can never carry a key made on the spot, none at all, or a developer build's
# test key.

if(NOT KELVADON_REQUIRE_RELEASE_KEY)
  return()
endif()
if("${KELVADON_RELEASE_KEY_FILE}" STREQUAL "" OR "${KELVADON_RELEASE_KEY_FILE}" STREQUAL "NONE")
  message(FATAL_ERROR
    "A release build needs KELVADON_RELEASE_KEY_FILE set to the release key file; "
    "apps/launcher/README.txt (\"Release key\") says how to make one and keep it.")
endif()

# A test key is known by the private key that cmake/ReleaseKey.cmake leaves beside it, or, for a
# copy taken elsewhere, by its bytes matching a test key of one of this checkout's build folders.
get_filename_component(_kelvadon_check_file "${KELVADON_RELEASE_KEY_FILE}" ABSOLUTE
  BASE_DIR "${CMAKE_SOURCE_DIR}")
if(EXISTS "${_kelvadon_check_file}" AND NOT IS_DIRECTORY "${_kelvadon_check_file}")
  get_filename_component(_kelvadon_check_dir "${_kelvadon_check_file}" DIRECTORY)
  set(_kelvadon_is_test_key FALSE)
  if(EXISTS "${_kelvadon_check_dir}/test-release-private.pem")
    set(_kelvadon_is_test_key TRUE)
  endif()
  file(SHA256 "${_kelvadon_check_file}" _kelvadon_check_hash)
  file(GLOB _kelvadon_test_keys "${CMAKE_SOURCE_DIR}/build/*/release-key/test-release.key"
                                "${CMAKE_SOURCE_DIR}/build/*/*/release-key/test-release.key")
  foreach(_kelvadon_test_key IN LISTS _kelvadon_test_keys)
    file(SHA256 "${_kelvadon_test_key}" _kelvadon_test_hash)
    if(_kelvadon_test_hash STREQUAL _kelvadon_check_hash)
      set(_kelvadon_is_test_key TRUE)
    endif()
  endforeach()
  if(_kelvadon_is_test_key)
    message(FATAL_ERROR
      "KELVADON_RELEASE_KEY_FILE (${_kelvadon_check_file}) is a test key that a developer build "
      "made in its build folder, not the release key; apps/launcher/README.txt (\"Release key\") "
      "says how to make the real one.")
  endif()
endif()
