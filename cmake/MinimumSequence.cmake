# Builds the lowest manifest "sequence" this launcher accepts, even on a computer that has never
# seen one, into the launcher as BuildMinimumSequence (update/freshness.h).
#
#   KELVADON_MINIMUM_SEQUENCE=N   0 by default (every sequence, and a manifest without one, until
#                                 the computer has accepted one); raise it as
#                                 apps/launcher/README.txt says, and a manifest below N, or one
#                                 without a sequence, is refused on every computer from the start
#
# Sets KELVADON_MINIMUM_SEQUENCE_SOURCE (the generated .cpp). kelvadon-publish verify reads the
# number back from a launcher's bytes by the record's marker.

set(KELVADON_MINIMUM_SEQUENCE "0" CACHE STRING
  "The lowest manifest sequence the launcher accepts (0 to 9007199254740991)")

# The largest whole number a manifest's JSON number holds exactly, 2^53 - 1, has 16 digits.
if(NOT KELVADON_MINIMUM_SEQUENCE MATCHES "^[0-9]+$" OR KELVADON_MINIMUM_SEQUENCE MATCHES "^0[0-9]"
   OR KELVADON_MINIMUM_SEQUENCE MATCHES "^[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]"
   OR KELVADON_MINIMUM_SEQUENCE GREATER 9007199254740991)
  message(FATAL_ERROR
    "KELVADON_MINIMUM_SEQUENCE is \"${KELVADON_MINIMUM_SEQUENCE}\", but it must be a whole number "
    "from 0 to 9007199254740991 written in plain digits. See apps/launcher/README.txt.")
endif()

set(KELVADON_MINIMUM_SEQUENCE_SOURCE "${CMAKE_BINARY_DIR}/generated/minimum_sequence.cpp")
file(CONFIGURE OUTPUT "${KELVADON_MINIMUM_SEQUENCE_SOURCE}" CONTENT
"// Generated at configure time by cmake/MinimumSequence.cmake; do not edit.
#include \"update/trust/freshness.h\"

namespace {

// kelvadon-publish verify finds the number in an executable's bytes by this marker.
struct MinimumSequenceRecord {
  char marker[32];
  uint64_t value;
};

const MinimumSequenceRecord kRecord = {\"KELVADON-MINIMUM-SEQUENCE-V1\", ${KELVADON_MINIMUM_SEQUENCE}ull};

}  // namespace

const uint64_t& BuildMinimumSequence = kRecord.value;
")
message(STATUS "Minimum manifest sequence: ${KELVADON_MINIMUM_SEQUENCE}")
