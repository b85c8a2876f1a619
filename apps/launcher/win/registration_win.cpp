#include "win/registration.h"

void RegisterWithWindows(const std::filesystem::path& /*installRoot*/,
                         const std::filesystem::path& /*launcherPath*/,
                         const std::string& /*website*/, const std::string& /*versionName*/) {}
