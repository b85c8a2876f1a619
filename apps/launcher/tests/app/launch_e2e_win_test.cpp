// The whole start flow as a user meets it: the real launcher under Wine against the test
// website, with the sample client published as the player and the studio. The sample client
// records how it was started in the file named by KELVADON_SAMPLE_LOG, which the launcher passes
// on with the rest of its environment.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/system.h"
#include "common/text.h"
#include "net/stamp.h"
#include "robot.h"
#include "update/trust/crypto.h"
#include "website_harness.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kRunTimeoutMs = 90000;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string FirstLineOf(const fs::path& path) {
  const std::string text = ReadText(path);
  return text.substr(0, text.find_first_of("\r\n"));
}

// One start of the sample client, as it recorded it.
struct Record {
  std::string program;
  std::string commandLine;
  std::vector<std::string> args;
  std::string folder;
};

std::vector<Record> ParseRecords(const std::string& text) {
  std::vector<Record> records;
  Record current;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto value = [&line](const std::string& key) { return line.substr(key.size()); };
    if (line.starts_with("program: ")) {
      current.program = value("program: ");
    } else if (line.starts_with("command line: ")) {
      current.commandLine = value("command line: ");
    } else if (line.starts_with("argument: ")) {
      current.args.push_back(value("argument: "));
    } else if (line.starts_with("folder: ")) {
      current.folder = value("folder: ");
    } else if (line == "end") {
      records.push_back(current);
      current = Record{};
    }
  }
  return records;
}

bool SamePath(const std::string& recorded, const fs::path& expected) {
  std::error_code ec;
  return fs::equivalent(PathFromUtf8(recorded), expected, ec);
}

std::string RandomToken() {
  static const char kHex[] = "0123456789abcdef";
  static unsigned seed = GetTickCount() ^ GetCurrentProcessId();
  std::string token;
  for (int i = 0; i < 32; ++i) {
    seed = seed * 1103515245u + 12345u;
    token += kHex[(seed >> 16) & 15];
  }
  return token;
}

class LaunchEndToEnd : public testing::Test {
 protected:
  // One published site for every case: version 1.0 of the sample client at the root of nginx,
  // because a setup program's name can carry a host and port but no path.
  static void SetUpTestSuite() {
    std::string error;
    if (!LoadTestWebsite(site_, error)) {
      suiteError_ = error;
      return;
    }
    // The setup name spells the host as 127.0.0.1, which nginx listens on; every case uses the
    // same spelling so that website.txt and the join link agree with it.
    website_ = site_.http;
    const size_t host = website_.find("localhost");
    if (host != std::string::npos) website_.replace(host, 9, "127.0.0.1");

    client_ = fs::temp_directory_path() /
              ("kelvadon-e2e-client-" + std::to_string(GetCurrentProcessId()));
    fs::remove_all(client_);
    fs::create_directories(client_);
    const fs::path sample =
        OwnFolder().parent_path().parent_path().parent_path() / "demo" / "sample_client.exe";
    for (const char* name : {"kelvadon_player.exe", "kelvadon_studio.exe"}) {
      fs::copy_file(sample, client_ / name);
    }
    if (!PublishTestSite(site_, ".", client_, "1.0", {}, error)) suiteError_ = error;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(client_, ec);
  }

  void SetUp() override {
    ASSERT_EQ(suiteError_, "");
    work_ =
        fs::temp_directory_path() / ("kelvadon-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(work_);
    fs::create_directories(work_ / "Downloads");
    log_ = work_ / "sample-log.txt";
    SetEnvironmentVariableW(L"KELVADON_SAMPLE_LOG", log_.wstring().c_str());
    SetEnvironmentVariableW(L"KELVADON_SAMPLE_WINDOW", nullptr);
    // The games page would go to Wine's browser, which hands it to the host's: off for the test.
    wchar_t overrides[2048] = {};
    const DWORD length = GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 2048);
    std::wstring value = length > 0 && length < 2048 ? std::wstring(overrides, length) : L"";
    if (value.find(L"winebrowser") == std::wstring::npos) {
      value += (value.empty() ? L"" : L";") + std::wstring(L"winebrowser.exe=d");
      SetEnvironmentVariableW(L"WINEDLLOVERRIDES", value.c_str());
    }
    logOffset_ = fs::exists(site_.accessLog) ? fs::file_size(site_.accessLog) : 0;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(work_, ec);
  }

  // A copy of the launcher under that name in the Downloads folder, optionally with bytes added.
  fs::path Download(const std::string& name, const std::string& stamp = {}) {
    const fs::path launcher = OwnFolder().parent_path() / "KelvadonLauncher.exe";
    const fs::path copy = work_ / "Downloads" / name;
    std::ofstream(copy, std::ios::binary) << ReadText(launcher) << stamp;
    return copy;
  }

  // Runs the program to its end, pressing OK on the one message box expected (when expected is
  // given), and gives its exit code (99 when it did not end).
  DWORD Run(const fs::path& program, const std::vector<std::wstring>& args,
            DialogSeen* expected = nullptr) {
    StartedProcess started;
    EXPECT_TRUE(StartTestProcess(program, args, started));
    if (expected != nullptr) {
      EXPECT_TRUE(WaitForDialog(started.id, kRunTimeoutMs, *expected)) << "no message box";
      if (expected->window != nullptr) {
        EXPECT_TRUE(PressButton(*expected, IDOK));
      }
    }
    DWORD exitCode = 99;
    EXPECT_TRUE(WaitForExit(started, kRunTimeoutMs, exitCode)) << "the launcher did not end";
    return exitCode;
  }

  // The sample client's records once count of them are complete; the launcher does not wait for
  // the program it started.
  std::vector<Record> Records(size_t count) {
    std::vector<Record> records;
    for (int i = 0; i < 200; ++i) {
      records = ParseRecords(ReadText(log_));
      if (records.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return records;
  }

  // nginx's access log since the case began.
  std::string NewRequests() const {
    EXPECT_TRUE(SettleAccessLog(site_));
    const std::string all = ReadText(site_.accessLog);
    return all.size() > logOffset_ ? all.substr(logOffset_) : std::string();
  }

  void ExpectStarted(const Record& record, const fs::path& versionFolder, const char* program,
                     const std::vector<std::string>& args) {
    EXPECT_TRUE(SamePath(record.program, versionFolder / program)) << record.program;
    EXPECT_EQ(record.args, args) << record.commandLine;
    EXPECT_TRUE(SamePath(record.folder, versionFolder)) << record.folder;
  }

  static TestWebsite site_;
  static std::string website_;
  static fs::path client_;
  static std::string suiteError_;
  fs::path work_;
  fs::path log_;
  uintmax_t logOffset_ = 0;
};

TestWebsite LaunchEndToEnd::site_;
std::string LaunchEndToEnd::website_;
fs::path LaunchEndToEnd::client_;
std::string LaunchEndToEnd::suiteError_;

TEST_F(LaunchEndToEnd, PlayClickOnAnInstalledClientStartsThePlayerWithTheLink) {
  // A link's command line takes no --home, so this case installs into the prefix's own
  // InstallRoot and takes it away again.
  const fs::path root = KnownFolderPath(KnownFolder::LocalAppData) / "Kelvadon";
  ASSERT_FALSE(root.parent_path().empty());
  fs::remove_all(root);
  const fs::path launcher = Download("KelvadonLauncher.exe");
  EXPECT_EQ(Run(launcher, {L"--no-start", L"--home", root.wstring(), L"--website",
                           PathFromUtf8(website_).wstring()}),
            0u);
  ASSERT_TRUE(ParseRecords(ReadText(log_)).empty());

  // A virus scanner took the game's executable away: the click puts it back before starting it.
  fs::remove(root / "Versions" / "1.0" / "kelvadon_player.exe");
  const std::string token = RandomToken();
  const std::string link = "kelvadon://join?play=" + token + "&origin=" + website_;
  EXPECT_EQ(Run(launcher, {PathFromUtf8(link).wstring()}), 0u);
  EXPECT_NE(NewRequests().find("/client/started?play=" + token), std::string::npos)
      << NewRequests();
  const std::vector<Record> records = Records(1);
  ASSERT_EQ(records.size(), 1u);
  ExpectStarted(records[0], root / "Versions" / "1.0", "kelvadon_player.exe", {link});

  // The repair Windows' list of programs offers: every file read, good news, nothing started.
  DialogSeen seen;
  EXPECT_EQ(Run(launcher, {L"--repair", L"--home", root.wstring()}, &seen), 0u);
  EXPECT_EQ(seen.text, L"Kelvadon's files are all right.");
  EXPECT_EQ(seen.icon, DialogIcon::Blue);
  EXPECT_EQ(Records(1).size(), 1u);
  fs::remove_all(root);
}

TEST_F(LaunchEndToEnd, FirstInstallFromASetupProgramJoinsTheGame) {
  std::string port = website_.substr(website_.rfind(':') + 1);
  const std::string named = RandomToken();
  const std::string stamped = RandomToken();
  struct Case {
    std::string fileName;
    std::string stamp;
    std::string token;
  } cases[] = {
      {"KelvadonSetup_http~127.0.0.1+" + port + "_" + named + ".exe", "", named},
      {"KelvadonSetup (2).exe",
       "\r\nKELVADON-PLAY=" + stamped + "\r\nKELVADON-WEBSITE=" + website_ + "\r\n", stamped},
  };
  size_t started = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fileName);
    const fs::path home = work_ / ("home-" + c.token.substr(0, 8));
    EXPECT_EQ(Run(Download(c.fileName, c.stamp), {L"--home", home.wstring()}), 0u);
    EXPECT_EQ(FirstLineOf(home / "website.txt"), website_);
    EXPECT_EQ(FirstLineOf(home / "current.txt"), "1.0");
    EXPECT_NE(NewRequests().find("/client/join?play=" + c.token), std::string::npos);
    const std::vector<Record> records = Records(++started);
    ASSERT_EQ(records.size(), started);
    ExpectStarted(records.back(), home / "Versions" / "1.0", "kelvadon_player.exe",
                  {"kelvadon://join?play=" + c.token + "&origin=" + website_});
  }
}

TEST_F(LaunchEndToEnd, PlainInstallThenTheStudioThenTheWebsiteDown) {
  const fs::path launcher = Download("KelvadonLauncher.exe");
  const fs::path home = work_ / "home";
  const std::wstring website = PathFromUtf8(website_).wstring();

  DialogSeen welcome;
  EXPECT_EQ(Run(launcher, {L"--home", home.wstring(), L"--website", website}, &welcome), 0u);
  EXPECT_TRUE(welcome.text.starts_with(L"Kelvadon 1.0 is installed!")) << welcome.text;
  EXPECT_EQ(welcome.icon, DialogIcon::Blue);
  EXPECT_TRUE(ParseRecords(ReadText(log_)).empty());

  // A document given with --studio, its path holding a space.
  const fs::path document = work_ / "My Levels" / "castle.kelvlvl";
  fs::create_directories(document.parent_path());
  std::ofstream(document) << "{}";
  EXPECT_EQ(Run(launcher, {L"--home", home.wstring(), L"--studio", document.wstring()}), 0u);
  std::vector<Record> records = Records(1);
  ASSERT_EQ(records.size(), 1u);
  const fs::path versionFolder = home / "Versions" / "1.0";
  ExpectStarted(records[0], versionFolder, "kelvadon_studio.exe", {PathToUtf8(document)});

  // The website down: the installed version starts without a word (a plain run would welcome
  // the user again, so this one asks for the studio)...
  const std::wstring down = PathFromUtf8(site_.refused).wstring();
  EXPECT_EQ(Run(launcher, {L"--home", home.wstring(), L"--website", down, L"--studio"}), 0u);
  records = Records(2);
  ASSERT_EQ(records.size(), 2u);
  ExpectStarted(records[1], versionFolder, "kelvadon_studio.exe", {});

  // ...and with nothing installed, the install fails and says where from.
  DialogSeen failure;
  EXPECT_EQ(
      Run(launcher, {L"--home", (work_ / "empty-home").wstring(), L"--website", down}, &failure),
      1u);
  EXPECT_TRUE(failure.text.starts_with(L"Kelvadon couldn't be installed:")) << failure.text;
  const std::wstring tail = L"(From " + down + L")";
  EXPECT_TRUE(failure.text.ends_with(tail)) << failure.text;
  EXPECT_EQ(failure.icon, DialogIcon::Warning);
  EXPECT_EQ(ParseRecords(ReadText(log_)).size(), 2u);
}

// A code-signed launcher carries its setup stamp inside its certificate table, so the signature
// still holds; the copy it installs is the signed executable the manifest lists, taken from the
// setup program itself rather than downloaded.
std::string StampInsideCertificateTable(std::string image, const std::string& stamp) {
  const std::string_view view = image;
  const std::optional<CertificateTable> table =
      FindCertificateTable([view](uint64_t offset, size_t length) {
        return offset < view.size() ? std::string(view.substr(offset, length)) : std::string();
      });
  if (!table || table->offset + table->size != image.size()) return {};
  const size_t padding = (8 - (image.size() + stamp.size()) % 8) % 8;
  const auto grown = static_cast<uint32_t>(padding + stamp.size());
  const uint32_t length = ReadLittleEndian32(view.substr(table->offset, 4));
  image.replace(table->entry + 4, 4, LittleEndian32(table->size + grown));
  image.replace(table->offset, 4, LittleEndian32(length + grown));
  return image + std::string(padding, '\0') + stamp;
}

TEST_F(LaunchEndToEnd, ASignedSetupProgramInstallsTheSignedLauncherWithoutDownloadingIt) {
  const fs::path signedLauncher = OwnFolder() / "signed" / "KelvadonLauncher.exe";
  if (!fs::exists(signedLauncher)) GTEST_SKIP() << "osslsigncode was missing at configure time";
  std::string error;
  ASSERT_TRUE(PublishTestSite(site_, "signed", client_, "1.0", signedLauncher, error)) << error;
  const std::string built = ReadText(signedLauncher);
  const std::string token = RandomToken();
  const std::string website = website_ + "/signed";
  const std::string setup = StampInsideCertificateTable(
      built, "\r\nKELVADON-PLAY=" + token + "\r\nKELVADON-WEBSITE=" + website + "\r\n");
  ASSERT_FALSE(setup.empty()) << "the signed launcher has no certificate table at its end";
  ASSERT_EQ(CleanImageOf(setup), built);
  const fs::path program = work_ / "Downloads" / "KelvadonSetup.exe";
  std::ofstream(program, std::ios::binary) << setup;

  const fs::path home = work_ / "home";
  EXPECT_EQ(Run(program, {L"--home", home.wstring()}), 0u);
  EXPECT_TRUE(ReadText(home / "KelvadonLauncher.exe") == built)
      << "the installed launcher is not the signed executable";
  EXPECT_EQ(FirstLineOf(home / "website.txt"), website);
  EXPECT_NE(NewRequests().find("/signed/client/manifest.json"), std::string::npos);
  EXPECT_EQ(NewRequests().find("/client/files/" + Sha256Hex(built)), std::string::npos)
      << NewRequests();
  const std::vector<Record> records = Records(1);
  ASSERT_EQ(records.size(), 1u);
  ExpectStarted(records[0], home / "Versions" / "1.0", "kelvadon_player.exe",
                {"kelvadon://join?play=" + token + "&origin=" + website});
}

}  // namespace
