#pragma once

// Stand-in launchers for websites published with kelvadon-publish, which takes a launcher only
// when it carries the release key of the signing key: the marker the build puts in front of the
// key, then this build's key.

#include <string>

#include "update/trust/crypto.h"

inline std::string WithReleaseKey(std::string image) {
  image += std::string("KELVADON-RELEASE-KEY-V1\0", 24);
  image.append(ReleaseKey.begin(), ReleaseKey.end());
  return image;
}
