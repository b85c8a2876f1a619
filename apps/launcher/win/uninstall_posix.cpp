#include "win/uninstall.h"

void UnregisterFromWindows(const std::filesystem::path& /*installRoot*/) {}
