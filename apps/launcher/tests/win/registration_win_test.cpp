// Registration against the real registry of the Wine prefix, read back value by value.
#include "win/registration.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/text.h"
#include "registration_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace kelvadon_test;

const std::string kWebsite = "https://kelvadon.test";
const std::wstring kPlaceIcon = L"Software\\Classes\\Kelvadon.Place\\DefaultIcon";
const std::wstring kModelIcon = L"Software\\Classes\\Kelvadon.Model\\DefaultIcon";

// The text of a value for messages, with a mark where no terminating null was stored.
std::wstring Shown(const RegistryValue& value) {
  if (!value.found) return L"(missing)";
  std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()),
                    value.data.size() / sizeof(wchar_t));
  if (text.empty() || text.back() != L'\0') return text + L"(no null)";
  text.pop_back();
  return text;
}

class Registration : public testing::Test {
 protected:
  void SetUp() override {
    ClearRegistration();
    // A folder name with a space and letters outside ASCII, as a user's profile may have.
    root_ = fs::temp_directory_path() /
            (L"Zo\u00eb reg " + std::to_wstring(GetCurrentProcessId())) / L"Kelvadon";
    std::error_code ec;
    fs::remove_all(root_.parent_path(), ec);
    fs::create_directories(root_);
  }
  void TearDown() override {
    ClearRegistration();
    std::error_code ec;
    fs::remove_all(root_.parent_path(), ec);
  }

  // Registers and gives the number of times the shell was told that associations changed.
  int Register(const std::string& website, const std::string& version) {
    int notified = 0;
    RegisterWithWindowsNotifying(root_, root_ / L"KelvadonLauncher.exe", website, version,
                                 [&notified] { ++notified; });
    return notified;
  }
  std::wstring QuotedLauncher() const {
    return L"\"" + root_.wstring() + L"\\KelvadonLauncher.exe\"";
  }
  std::wstring StudioIcon(const std::wstring& version) const {
    return L"\"" + root_.wstring() + L"\\Versions\\" + version + L"\\kelvadon_studio.exe\",0";
  }

  fs::path root_;
};

TEST_F(Registration, FirstRunWritesExactlyTheTableAndNotifiesOnce) {
  EXPECT_EQ(Register(kWebsite, "1.5"), 1);

  const std::wstring open = QuotedLauncher() + L" \"%1\"";
  struct Expected {
    std::wstring key;
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const std::wstring scheme = L"Software\\Classes\\kelvadon";
  const std::wstring place = L"Software\\Classes\\Kelvadon.Place";
  const std::wstring model = L"Software\\Classes\\Kelvadon.Model";
  const std::wstring entry = kUninstallEntryKey;
  const Expected table[] = {
      {scheme, nullptr, REG_SZ, TextBytes(L"URL:Kelvadon")},
      {scheme, L"URL Protocol", REG_SZ, TextBytes(L"")},
      {scheme + L"\\DefaultIcon", nullptr, REG_SZ, TextBytes(QuotedLauncher() + L",0")},
      {scheme + L"\\shell\\open\\command", nullptr, REG_SZ, TextBytes(open)},
      {L"Software\\Classes\\.kelvlvl", nullptr, REG_SZ, TextBytes(L"Kelvadon.Place")},
      {place, nullptr, REG_SZ, TextBytes(L"Kelvadon place")},
      {kPlaceIcon, nullptr, REG_SZ, TextBytes(StudioIcon(L"1.5"))},
      {place + L"\\shell\\open\\command", nullptr, REG_SZ, TextBytes(open)},
      {L"Software\\Classes\\.kelvm", nullptr, REG_SZ, TextBytes(L"Kelvadon.Model")},
      {model, nullptr, REG_SZ, TextBytes(L"Kelvadon model")},
      {kModelIcon, nullptr, REG_SZ, TextBytes(StudioIcon(L"1.5"))},
      {model + L"\\shell\\open\\command", nullptr, REG_SZ, TextBytes(open)},
      {entry, L"DisplayName", REG_SZ, TextBytes(L"Kelvadon")},
      {entry, L"DisplayVersion", REG_SZ, TextBytes(L"1.5")},
      {entry, L"Publisher", REG_SZ, TextBytes(L"Kelvadon")},
      {entry, L"DisplayIcon", REG_SZ, TextBytes(QuotedLauncher())},
      {entry, L"InstallLocation", REG_SZ, TextBytes(root_.wstring())},
      {entry, L"UninstallString", REG_SZ, TextBytes(QuotedLauncher() + L" --uninstall")},
      {entry, L"URLInfoAbout", REG_SZ, TextBytes(L"https://kelvadon.test")},
      {entry, L"NoModify", REG_DWORD, NumberBytes(1)},
      {entry, L"NoRepair", REG_DWORD, NumberBytes(0)},
      {entry, L"ModifyPath", REG_SZ, TextBytes(QuotedLauncher() + L" --repair")},
      {entry, L"EstimatedSize", REG_DWORD, NumberBytes(1)},  // no Versions folder at all
  };
  for (const Expected& expected : table) {
    SCOPED_TRACE(testing::Message() << WideToUtf8(expected.key) << " : "
                                    << (expected.name ? WideToUtf8(expected.name) : "(default)"));
    const RegistryValue value = ReadValue(expected.key, expected.name);
    ASSERT_TRUE(value.found);
    EXPECT_EQ(value.type, expected.type);
    EXPECT_EQ(value.data, expected.data) << WideToUtf8(Shown(value));
  }
  // Nothing beyond the table.
  const struct {
    std::wstring key;
    int values;
  } counts[] = {{scheme, 2}, {scheme + L"\\DefaultIcon", 1},
                {place, 1},  {kPlaceIcon, 1},
                {model, 1},  {L"Software\\Classes\\.kelvlvl", 1},
                {entry, 11}, {scheme + L"\\shell\\open\\command", 1}};
  for (const auto& count : counts) {
    EXPECT_EQ(ValueCount(count.key), count.values) << WideToUtf8(count.key);
  }
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\.kelvl")) << "that extension is not registered";
}

// Runs in order on one profile: each step starts from what the one before left.
TEST_F(Registration, NotifiesOnlyWhenADocumentIconChanges) {
  const auto plantExpandable = [this] {
    WriteValue(kModelIcon, nullptr, REG_EXPAND_SZ, TextBytes(StudioIcon(L"1.6")));
  };
  const auto plantOverlong = [] {
    WriteValue(kPlaceIcon, nullptr, REG_SZ, TextBytes(std::wstring(1100, L'x')));
  };
  const auto changeSchemeOnly = [] {
    WriteValue(L"Software\\Classes\\kelvadon\\DefaultIcon", nullptr, REG_SZ, TextBytes(L"x"));
  };
  const struct {
    const char* name;
    std::function<void()> before;
    std::string version;
    int notifications;
  } steps[] = {
      {"first run", [] {}, "1.5", 1},
      {"same again", [] {}, "1.5", 0},
      {"new version", [] {}, "1.6", 1},
      {"same icon stored as an expandable string", plantExpandable, "1.6", 1},
      {"icon longer than the buffer", plantOverlong, "1.6", 1},
      {"only the link icon changed", changeSchemeOnly, "1.6", 0},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.before();
    EXPECT_EQ(Register(kWebsite, step.version), step.notifications);
    const std::wstring version = Utf8ToWide(step.version);
    for (const std::wstring& key : {kPlaceIcon, kModelIcon}) {
      const RegistryValue icon = ReadValue(key, nullptr);
      EXPECT_EQ(icon.type, static_cast<DWORD>(REG_SZ));
      EXPECT_EQ(icon.data, TextBytes(StudioIcon(version))) << WideToUtf8(Shown(icon));
    }
  }
}

TEST_F(Registration, AnEmptyWebsiteKeepsTheAddressOfAnEarlierRun) {
  Register(kWebsite, "1.5");
  Register("", "1.6");
  EXPECT_EQ(ReadValue(kUninstallEntryKey, L"URLInfoAbout").data,
            TextBytes(L"https://kelvadon.test"));
  EXPECT_EQ(ReadValue(kUninstallEntryKey, L"DisplayVersion").data, TextBytes(L"1.6"));

  ClearRegistration();
  Register("", "1.6");
  EXPECT_FALSE(ReadValue(kUninstallEntryKey, L"URLInfoAbout").found);
  EXPECT_EQ(ValueCount(kUninstallEntryKey), 10);
}

TEST_F(Registration, EstimatedSizeCountsTheFilesOfEveryVersion) {
  fs::create_directories(root_ / L"Versions");
  Register(kWebsite, "1.4");
  EXPECT_EQ(ReadValue(kUninstallEntryKey, L"EstimatedSize").data, NumberBytes(1))
      << "an empty folder still shows as 1 kilobyte";

  // 1000 + 2048 + 5000 bytes: 7 whole kilobytes, plus one.
  PutFile(root_ / L"Versions" / L"1.5" / L"kelvadon_player.exe", std::string(1000, 'p'));
  PutFile(root_ / L"Versions" / L"1.5" / L"content" / L"sky.png", std::string(2048, 's'));
  PutFile(root_ / L"Versions" / L"1.4" / L"kelvadon_studio.exe", std::string(5000, 't'));
  PutFile(root_ / L"saves" / L"big.bin", std::string(100000, 'b'));  // not part of the client
  Register(kWebsite, "1.5");
  EXPECT_EQ(ReadValue(kUninstallEntryKey, L"EstimatedSize").data, NumberBytes(8));

  // Another start of the same version keeps the size without walking the files again.
  PutFile(root_ / L"Versions" / L"1.5" / L"extra.pak", std::string(10000, 'x'));
  Register(kWebsite, "1.5");
  EXPECT_EQ(ReadValue(kUninstallEntryKey, L"EstimatedSize").data, NumberBytes(8));
  // A size that is missing or not a number is counted again, as is every new version.
  ASSERT_EQ(
      RegSetKeyValueW(HKEY_CURRENT_USER, kUninstallEntryKey, L"EstimatedSize", REG_SZ, L"8", 4),
      ERROR_SUCCESS);
  Register(kWebsite, "1.5");
  EXPECT_EQ(ReadValue(kUninstallEntryKey, L"EstimatedSize").data, NumberBytes(18));
  PutFile(root_ / L"Versions" / L"1.5" / L"more.pak", std::string(1024, 'm'));
  Register(kWebsite, "1.6");
  EXPECT_EQ(ReadValue(kUninstallEntryKey, L"EstimatedSize").data, NumberBytes(19));
}

// Text that cannot be converted ends the registration at the first value that needs it; what was
// written before stays, nothing after it is written, and the process carries on.
TEST_F(Registration, TextThatIsNotUtf8EndsRegistrationWhereItIsNeeded) {
  Register("", "\xff");
  EXPECT_TRUE(ReadValue(L"Software\\Classes\\kelvadon\\shell\\open\\command", nullptr).found);
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\.kelvlvl"));
  EXPECT_FALSE(KeyExists(kUninstallEntryKey));
  EXPECT_FALSE(fs::exists(DesktopLink()));

  ClearRegistration();
  EXPECT_EQ(Register("https://kelvadon.test/\xc3", "1.5"), 1);
  EXPECT_TRUE(ReadValue(kPlaceIcon, nullptr).found);
  EXPECT_TRUE(ReadValue(kUninstallEntryKey, L"UninstallString").found);
  EXPECT_FALSE(ReadValue(kUninstallEntryKey, L"URLInfoAbout").found);
  EXPECT_FALSE(ReadValue(kUninstallEntryKey, L"EstimatedSize").found);
  EXPECT_FALSE(fs::exists(DesktopLink()));
}

}  // namespace
