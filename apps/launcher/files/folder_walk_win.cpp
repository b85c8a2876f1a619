#include <windows.h>

#include <string>
#include <string_view>

#include "common/system.h"
#include "common/windows_handles.h"
#include "files/folder_walk.h"

namespace fs = std::filesystem;

namespace {

void WalkInto(const std::wstring& folder, const fs::path& relative,
              std::vector<FolderEntry>& entries) {
  WIN32_FIND_DATAW data;
  // The basic information leaves out the short names; the large fetch asks for many entries a
  // call. Both only save time.
  const UniqueFind find(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return;
  std::vector<fs::path> below;
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry found{.path = relative / std::wstring(name)};
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      found.kind = EntryKind::Link;
    } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      found.kind = EntryKind::Folder;
      below.push_back(found.path);
    } else {
      found.kind = EntryKind::File;
      found.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    entries.push_back(std::move(found));
  } while (FindNextFileW(find.Get(), &data));
  for (const fs::path& inner : below) {
    WalkInto(folder + L"\\" + inner.filename().native(), inner, entries);
  }
}

}  // namespace

std::vector<FolderEntry> WalkFolder(const fs::path& folder) {
  std::vector<FolderEntry> entries;
  WalkInto(FileSystemPath(folder).native(), {}, entries);
  return entries;
}
