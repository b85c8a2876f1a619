#pragma once

// What an update works with besides the website and the InstallRoot: the network, the clock,
// the pauses and the limits. A default one is the product's; a test builds its own.

#include <chrono>
#include <filesystem>
#include <functional>

#include "common/system.h"
#include "files/disk.h"
#include "files/patience.h"
#include "net/http.h"
#include "update/trust/utc_time.h"

// Called once before a manifest and signature that do not verify together are fetched again: a
// cache in front of the website may for a moment serve one publish's manifest with another's
// signature. The product's waits two seconds.
using RefetchPause = std::function<void()>;
void PauseBeforeRefetch();

struct UpdateEnvironment {
  // The run's network session, which then serves more of the same run; null: the update opens
  // one of its own and closes it before it returns.
  HttpSession* session = nullptr;
  HttpFetcher fetch = HttpFetch;
  RefetchPause refetchPause = PauseBeforeRefetch;
  UtcClock clock = SystemUtcSeconds;
  DownloadSettings downloads;
  // Gives a new version's file the bytes of a kept version's file without writing them again.
  FileSharer share = ShareFile;
  // How long a step on the disk waits for another program to let go of a file.
  std::chrono::milliseconds patience = kPatienceLimit;
  // The running launcher, whose own bytes become the installed copy when the manifest names no
  // other; empty when it is not known.
  std::filesystem::path ownImage = OwnExecutablePath();
};
