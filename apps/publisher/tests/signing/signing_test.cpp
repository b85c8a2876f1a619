// A code-signed launcher through setup and the launcher's own cut: the stamped setup program
// still verifies, and what it installs is the signed executable byte for byte.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "files/file_io.h"
#include "net/stamp.h"
#include "publisher.h"
#include "tests/update/test_website.h"
#include "update/self_update.h"
#include "update/store/install_root.h"
#include "update/trust/crypto.h"
#include "update/trust/manifest.h"

namespace fs = std::filesystem;

namespace {

constexpr char kToken[] = "0123456789abcdef0123456789abcdef";

std::string Shell(const std::string& path) { return "'" + path + "'"; }

// Runs a command line, its output into log; true when it exits with 0.
bool RunCommand(const std::string& command, const fs::path& log) {
  return std::system((command + " >" + Shell(log.string()) + " 2>&1").c_str()) == 0;
}

std::string Read(const fs::path& path) {
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(path, bytes)) << path;
  return bytes;
}

int RunTool(const std::vector<std::string>& args, std::string& output) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunPublisher(args, out, err);
  output = out.str() + err.str();
  return code;
}

class SigningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kelvadon-signing-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    log_ = root_ / "log.txt";
    // A certificate of this run only: nothing to keep, nothing to trust beyond this test.
    const std::string key = (root_ / "signing-key.pem").string();
    cert_ = (root_ / "signing-cert.pem").string();
    ASSERT_TRUE(
        RunCommand(std::string(KELVADON_OPENSSL) +
                       " req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Kelvadon test' "
                       "-keyout " +
                       Shell(key) + " -out " + Shell(cert_),
                   log_))
        << Read(log_);
    fs::create_directories(root_ / "build");
    signed_ = root_ / "build" / "KelvadonLauncher.exe";
    ASSERT_TRUE(RunCommand(std::string(KELVADON_OSSLSIGNCODE) + " sign -certs " + Shell(cert_) +
                               " -key " + Shell(key) + " -in " + Shell(KELVADON_SIGNABLE_LAUNCHER) +
                               " -out " + Shell(signed_.string()),
                           log_))
        << Read(log_);
  }

  void TearDown() override { RemovePathTree(root_); }

  bool Verifies(const fs::path& file) {
    return RunCommand(std::string(KELVADON_OSSLSIGNCODE) + " verify -CAfile " + Shell(cert_) +
                          " -in " + Shell(file.string()),
                      log_);
  }

  fs::path root_, log_, signed_;
  std::string cert_;
};

TEST_F(SigningTest, AStampedSetupProgramStillVerifiesAndCutsBackToTheSignedExecutable) {
  ASSERT_TRUE(Verifies(signed_)) << Read(log_);
  const std::string built = Read(signed_);
  struct Case {
    const char* name;
    std::vector<std::string> extra;
    std::string website;
    std::string play;
  };
  // Website lengths that need each amount of padding before the stamp show that the table stays
  // in steps of 8 whatever the stamp's length.
  std::vector<Case> cases;
  for (int extra = 0; extra < 8; ++extra) {
    const std::string website = "https://games.example/g" + std::string(extra, 'p');
    cases.push_back({"website only", {}, website, ""});
    cases.push_back({"with a play token", {"--play", kToken}, website, kToken});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.website);
    const fs::path setup = root_ / "KelvadonSetup.exe";
    std::vector<std::string> args = {"setup",   "--launcher", signed_.string(), "--website",
                                     c.website, "--out",      setup.string()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::string output;
    ASSERT_EQ(RunTool(args, output), 0) << output;
    EXPECT_EQ(output.find("warning"), std::string::npos) << output;
    EXPECT_TRUE(Verifies(setup)) << Read(log_);
    const std::string stamped = Read(setup);
    EXPECT_EQ(ReadWebsiteStamp(stamped), c.website);
    EXPECT_EQ(ReadPlayStamp(stamped), c.play);
    EXPECT_EQ(CleanImageOf(stamped), built);
    const std::optional<CertificateTable> table =
        FindCertificateTable([&stamped](uint64_t offset, size_t length) {
          return offset < stamped.size() ? stamped.substr(offset, length) : std::string();
        });
    ASSERT_TRUE(table);
    EXPECT_EQ(table->offset + table->size, stamped.size());
    EXPECT_EQ(table->size % 8, 0u);
  }
}

// Why the stamp cannot simply be appended: the signature no longer verifies.
TEST_F(SigningTest, APlainlyAppendedStampBreaksTheSignature) {
  const fs::path appended = root_ / "appended.exe";
  ASSERT_TRUE(
      WriteWholeFile(appended, Read(signed_) + "\r\nKELVADON-WEBSITE=https://games.example\r\n"));
  EXPECT_FALSE(Verifies(appended));
}

// The setup program's clean image is the launcher the manifest lists, so a first install takes
// it as it is and downloads no launcher.
TEST_F(SigningTest, ASignedSetupProgramInstallsTheSignedExecutableWithoutADownload) {
  const fs::path client = root_ / "client";
  const fs::path www = root_ / "www";
  ASSERT_TRUE(WriteWholeFile(client / "kelvadon_player.exe", "player"));
  ASSERT_TRUE(WriteWholeFile(client / "kelvadon_studio.exe", "studio"));
  fs::create_directories(www);
  std::string output;
  ASSERT_EQ(RunTool({"publish", "--client", client.string(), "--version", "1.0", "--private-key",
                     KELVADON_TEST_RELEASE_PRIVATE_KEY, "--website", www.string(), "--launcher",
                     signed_.string()},
                    output),
            0)
      << output;
  Manifest manifest;
  std::string error;
  ASSERT_TRUE(ParseManifestContent(Read(www / "client" / "manifest.json"), manifest, error));
  const fs::path setup = root_ / "KelvadonSetup_games.example.exe";
  ASSERT_EQ(RunTool({"setup", "--launcher", signed_.string(), "--website", "https://games.example",
                     "--play", kToken, "--out", setup.string()},
                    output),
            0)
      << output;
  EXPECT_EQ(Sha256Hex(CleanImageOf(Read(setup))), manifest.launcher.sha256);

  std::vector<std::string> fetched;
  const HttpFetcher fetch = [&fetched](HttpSession&, const HttpRequest& request, const BodySink&,
                                       std::string& failure, bool&) {
    fetched.push_back(request.url);
    failure = "no website in this test";
    return FetchStatus::Failed;
  };
  const fs::path installRoot = root_ / "InstallRoot";
  UpdateEnvironment environment = WithFetch(fetch);
  environment.ownImage = setup;
  ASSERT_TRUE(
      UpdateLauncherCopy(installRoot, "https://games.example", manifest, true, environment, error))
      << error;
  EXPECT_TRUE(fetched.empty()) << fetched.front();
  EXPECT_EQ(Read(installRoot / kLauncherFileName), Read(signed_));
  EXPECT_TRUE(Verifies(installRoot / kLauncherFileName)) << Read(log_);
}

}  // namespace

namespace {

// The signature as publish, verify and setup judge it, and the refusal of a launcher that would
// take a signature away from every installed copy.
TEST_F(SigningTest, AnUnsignedLauncherDoesNotQuietlyReplaceASignedOne) {
  const std::string signedImage = Read(signed_);
  const std::string unsignedImage = Read(KELVADON_SIGNABLE_LAUNCHER);
  const std::optional<CertificateTable> table =
      FindCertificateTable([&signedImage](uint64_t offset, size_t length) {
        return offset < signedImage.size() ? signedImage.substr(offset, length) : std::string();
      });
  ASSERT_TRUE(table);
  std::string otherType = signedImage;
  otherType[table->offset + 6] = 1;  // WIN_CERT_TYPE_X509 instead of PKCS_SIGNED_DATA
  std::string cutShort = signedImage;
  cutShort.replace(table->offset + 20, 16, 16, '\x7f');  // inside the signed-data object
  const struct {
    const char* name;
    std::string image;
    CodeSigning expected;
  } images[] = {
      {"signed", signedImage, CodeSigning::kSigned},
      {"unsigned", unsignedImage, CodeSigning::kUnsigned},
      {"another certificate type", otherType, CodeSigning::kDamaged},
      {"a broken signed-data object", cutShort, CodeSigning::kDamaged},
      {"bytes after the table", signedImage + "x", CodeSigning::kDamaged},
  };
  for (const auto& image : images) {
    EXPECT_EQ(InspectCodeSigning(image.image), image.expected) << image.name;
  }

  const fs::path client = root_ / "client";
  ASSERT_TRUE(WriteWholeFile(client / "kelvadon_player.exe", "player"));
  ASSERT_TRUE(WriteWholeFile(client / "kelvadon_studio.exe", "studio"));
  const fs::path www = root_ / "www";
  fs::create_directories(www);
  const fs::path plain = root_ / "plain" / "KelvadonLauncher.exe";
  ASSERT_TRUE(WriteWholeFile(plain, unsignedImage));
  const auto publish = [&](const char* version, const fs::path& launcher, bool allow) {
    std::vector<std::string> args = PublishCommand(client, version, www, launcher);
    if (allow) args.push_back("--allow-unsigned-launcher");
    std::string output;
    const int code = RunTool(args, output);
    return std::make_pair(code, output);
  };
  const struct {
    const char* version;
    fs::path launcher;
    bool allow;
    int code;
    std::string said;
  } steps[] = {
      {"1", plain, false, 0, "Launcher KelvadonLauncher.exe: new, "},
      {"2", signed_, false, 0,
       "the release key " + KeyShortName(ReleaseKeysIn(unsignedImage)[0]) + ", signed; was "},
      {"3", plain, false, 1, "The launcher now on the website is signed, but"},
      {"3", plain, true, 0, "unsigned; was"},
  };
  for (const auto& step : steps) {
    const auto [code, output] = publish(step.version, step.launcher, step.allow);
    EXPECT_EQ(code, step.code) << output;
    EXPECT_NE(output.find(step.said), std::string::npos) << output;
  }
  std::string output;
  ASSERT_EQ(
      RunTool({"verify", "--website", www.string(), "--release-key",
               (fs::path(KELVADON_TEST_RELEASE_PRIVATE_KEY).parent_path() / "test-release.key")
                   .string()},
              output),
      0)
      << output;
  EXPECT_NE(output.find("The published launcher KelvadonLauncher.exe has " +
                        std::to_string(unsignedImage.size()) + " bytes and is unsigned."),
            std::string::npos)
      << output;
}

}  // namespace
