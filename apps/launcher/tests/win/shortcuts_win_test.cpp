// The shortcut step of registration: real shell links in the Wine prefix's Start menu and
// desktop, read back through the shell's own link object.
#include "win/shortcuts.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>

#include "common/text.h"
#include "registration_test_support.h"
#include "win/registration.h"

namespace {

namespace fs = std::filesystem;
using namespace kelvadon_test;

struct LinkSeen {
  bool loaded = false;
  std::wstring target;
  std::wstring arguments;
  std::wstring folder;
  std::wstring description;
  std::wstring icon;
  int iconIndex = -1;
};

LinkSeen ReadLink(const fs::path& file) {
  LinkSeen seen;
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link)))) {
    return seen;
  }
  IPersistFile* persist = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
    seen.loaded = SUCCEEDED(persist->Load(file.c_str(), STGM_READ));
    persist->Release();
  }
  if (seen.loaded) {
    wchar_t buffer[2048];
    const auto take = [&buffer](std::wstring& into) { into = buffer; };
    if (SUCCEEDED(link->GetPath(buffer, 2048, nullptr, SLGP_RAWPATH))) take(seen.target);
    if (SUCCEEDED(link->GetArguments(buffer, 2048))) take(seen.arguments);
    if (SUCCEEDED(link->GetWorkingDirectory(buffer, 2048))) take(seen.folder);
    if (SUCCEEDED(link->GetDescription(buffer, 2048))) take(seen.description);
    if (SUCCEEDED(link->GetIconLocation(buffer, 2048, &seen.iconIndex))) take(seen.icon);
  }
  link->Release();
  return seen;
}

class Shortcuts : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ClearRegistration();
    root_ = fs::temp_directory_path() /
            (L"Kelvadon links " + std::to_wstring(GetCurrentProcessId())) / L"Kelvadon";
    std::error_code ec;
    fs::remove_all(root_.parent_path(), ec);
    fs::create_directories(root_);
  }
  void TearDown() override {
    ClearRegistration();
    std::error_code ec;
    fs::remove_all(root_.parent_path(), ec);
    CoUninitialize();
  }

  void Register(const std::string& website, const std::string& version) {
    RegisterWithWindowsNotifying(root_, root_ / L"KelvadonLauncher.exe", website, version, [] {});
  }
  // Both studio links start the installed launcher for the studio, with that version's icon.
  void ExpectStudioLinks(const std::wstring& version) {
    for (const fs::path& file : {StartMenuFolder() / L"Kelvadon Studio.lnk", DesktopLink()}) {
      SCOPED_TRACE(file.string());
      const LinkSeen link = ReadLink(file);
      ASSERT_TRUE(link.loaded);
      EXPECT_EQ(link.target, root_.wstring() + L"\\KelvadonLauncher.exe");
      EXPECT_EQ(link.arguments, L"--studio");
      EXPECT_EQ(link.folder, root_.wstring());
      EXPECT_EQ(link.description, L"Make Kelvadon games");
      EXPECT_EQ(link.icon, root_.wstring() + L"\\Versions\\" + version + L"\\kelvadon_studio.exe");
      EXPECT_EQ(link.iconIndex, 0);
    }
  }

  fs::path root_;
};

TEST_F(Shortcuts, FirstRunWritesTheStudioLinksAndTheGamesPage) {
  // The address goes in as given: a port, a path, and bytes outside ASCII are not re-encoded.
  const std::string website = "https://kelvadon.test:8443/caf\xc3\xa9";
  Register(website, "1.5");
  ExpectStudioLinks(L"1.5");
  EXPECT_EQ(FileBytes(StartMenuFolder() / L"Kelvadon.url"),
            "[InternetShortcut]\r\nURL=https://kelvadon.test:8443/caf\xc3\xa9/games\r\n");
}

TEST_F(Shortcuts, ALinkTheUserDeletedComesBackWithTheCurrentIcon) {
  Register("https://kelvadon.test", "1.5");
  ASSERT_TRUE(fs::remove(DesktopLink()));
  Register("https://kelvadon.test", "1.6");
  ExpectStudioLinks(L"1.6");
}

TEST_F(Shortcuts, WithoutAWebsiteTheInternetShortcutIsLeftAsItWas) {
  Register("https://kelvadon.test", "1.5");
  const fs::path internet = StartMenuFolder() / L"Kelvadon.url";
  const std::string before = FileBytes(internet);
  Register("", "1.5");
  EXPECT_EQ(FileBytes(internet), before);

  ClearRegistration();
  Register("", "1.5");
  ExpectStudioLinks(L"1.5");
  EXPECT_FALSE(fs::exists(internet));
}

TEST_F(Shortcuts, ALinkWithoutAnIconHasNoIconLocation) {
  const fs::path file = root_ / L"links" / L"deeper" / L"plain.lnk";  // folders made as needed
  CreateShortcut(file, root_ / L"KelvadonLauncher.exe", L"", L"", L"Plain");
  const LinkSeen link = ReadLink(file);
  ASSERT_TRUE(link.loaded);
  EXPECT_EQ(link.target, root_.wstring() + L"\\KelvadonLauncher.exe");
  EXPECT_EQ(link.arguments, L"");
  EXPECT_EQ(link.icon, L"");
}

}  // namespace
