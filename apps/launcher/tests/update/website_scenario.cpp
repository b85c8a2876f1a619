#include "tests/update/website_scenario.h"

#include <system_error>

#include "files/file_io.h"
#include "tests/update/test_website.h"
#include "update/store/install_root.h"

namespace fs = std::filesystem;

void WebsiteScenarioTest::SetUpTestSuite() {
  setupError_.clear();
  if (!LoadTestWebsite(site_, setupError_) && setupError_.empty()) {
    setupError_ = "The test website could not be read";
  }
}

void WebsiteScenarioTest::SetUp() {
  ASSERT_TRUE(setupError_.empty()) << setupError_;
  if (Publishes() && !site_.cannotPublish.empty()) {
    GTEST_SKIP() << "Cannot publish: " << site_.cannotPublish;
  }
  const std::string suite =
      testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
  scratch_ = MakeScratchFolder("kelvadon-" + suite + "-");
  ASSERT_FALSE(scratch_.empty());
  scenario_ = scratch_.filename().string();
  website_ = site_.http + "/" + scenario_;
  root_ = scratch_ / "root";
  versions_ = root_ / kVersionsFolderName;
  requests_ = AccessLog(site_, scenario_);
}

void WebsiteScenarioTest::TearDown() {
  std::error_code ec;
  if (!scratch_.empty()) {
    RemovePathTree(scratch_);  // reaches long paths, which remove_all under mingw cannot
    fs::remove_all(scratch_, ec);
  }
  if (!scenario_.empty()) fs::remove_all(site_.root / scenario_, ec);
}

void WebsiteScenarioTest::Publish(const std::string& version, const Files& files,
                                  const fs::path& launcher) {
  const fs::path client = scratch_ / "clients" / version;
  RemovePathTree(client);
  WriteFiles(client, files);
  std::string error;
  ASSERT_TRUE(PublishTestSite(site_, scenario_, client, version, launcher, error)) << error;
}

UpdateResult WebsiteScenarioTest::Run(const std::string& website,
                                      const std::function<void(const std::string&)>& onReport,
                                      FileCheck check) {
  reports_.clear();
  return UpdateInstallation(
      website.empty() ? website_ : website, root_,
      [&](const std::string& text, double fraction) {
        reports_.push_back({text, fraction});
        if (onReport) onReport(text);
      },
      environment_, check);
}

std::string WebsiteScenarioTest::Fault(const std::string& fault) const {
  return site_.faults + "/" + fault + "/" + scenario_;
}

std::vector<LoggedRequest> WebsiteScenarioTest::NewRequests() {
  std::vector<LoggedRequest> requests;
  EXPECT_TRUE(requests_.Next(requests)) << "nginx's access log did not settle";
  return requests;
}

std::vector<std::string> WebsiteScenarioTest::NewPaths() {
  std::vector<std::string> paths;
  for (const LoggedRequest& request : NewRequests()) paths.push_back(request.path);
  return paths;
}

void WebsiteScenarioTest::ExpectVersion(const std::string& version, const Files& files) const {
  for (const auto& [path, bytes] : files) {
    const std::string there = ReadBytes(versions_ / version / path);
    // Large files are not printed.
    EXPECT_TRUE(there == bytes) << version << "/" << path
                                << (bytes.size() < 1000 ? ": \"" + there + "\"" : "");
  }
  EXPECT_TRUE(fs::exists(versions_ / version / kMarkerFileName)) << version;
}

void WebsiteScenarioTest::ExpectCurrent(const std::string& version) const {
  EXPECT_EQ(ReadBytes(root_ / "current.txt"), version + "\n");
  EXPECT_EQ(CurrentVersionFolder(root_), versions_ / version);
}

std::set<std::string> WebsiteScenarioTest::Entries(const fs::path& folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

bool WebsiteScenarioTest::Reported(const std::string& text) const {
  for (const Report& report : reports_) {
    if (report.text == text) return true;
  }
  return false;
}
