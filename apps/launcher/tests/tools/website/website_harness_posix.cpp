#include "website_harness.h"

bool RunningUnderWine() { return false; }

std::filesystem::path LocalPath(const std::string& hostPath) { return hostPath; }
