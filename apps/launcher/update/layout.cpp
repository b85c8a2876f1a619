// Placeholder until the install layout lands.
#include "update/layout.h"

#include <fstream>
#include <iterator>

#include "common/system.h"

std::filesystem::path GetInstallRoot() {
  std::filesystem::path base = KnownFolderPath(KnownFolder::LocalAppData);
  if (base.empty()) base = TemporaryFolder();
  if (base.empty()) return {};
  return base / "Kelvadon";
}

bool IsValidVersionName(std::string_view) { return false; }

std::filesystem::path CurrentVersionFolder(const std::filesystem::path&) { return {}; }

bool ReadWholeFile(const std::filesystem::path& path, std::string& bytes, bool* whole) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (whole != nullptr) *whole = !in.bad();
  return true;
}

bool WriteWholeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

std::error_code RemovePathTree(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  return ec;
}
