#pragma once

// The fixture of the tests that update from the test website: each case gets a scratch folder and
// a scenario folder of the same name on the website (so nginx's access log shows exactly its
// requests), publishes clients into it, runs updates with an environment of its own making and
// reads what nginx was asked for.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "update/engine.h"
#include "update/environment.h"
#include "website_harness.h"

// A client: relative path to bytes.
using Files = std::map<std::string, std::string>;

class WebsiteScenarioTest : public testing::Test {
 protected:
  struct Report {
    std::string text;
    double fraction;
  };

  static void SetUpTestSuite();
  // Skips where the website cannot publish for this build, unless the cases never publish.
  void SetUp() override;
  void TearDown() override;
  virtual bool Publishes() const { return true; }

  // Publishes files as version into the scenario folder, from a client folder of its own.
  void Publish(const std::string& version, const Files& files,
               const std::filesystem::path& launcher = {});

  // Updates root_ from website (the scenario's own address when empty) with environment_, checking
  // a complete version's files as check says. The reports are kept in reports_; onReport sees each
  // as it comes.
  UpdateResult Run(const std::string& website = {},
                   const std::function<void(const std::string&)>& onReport = {},
                   FileCheck check = FileCheck::Sizes);

  // The scenario folder through one of the fault server's faults.
  std::string Fault(const std::string& fault) const;

  // What nginx answered in the scenario folder since the last call, the folder left out.
  std::vector<LoggedRequest> NewRequests();
  // Their paths alone.
  std::vector<std::string> NewPaths();

  // The files of version as published, and its marker.
  void ExpectVersion(const std::string& version, const Files& files) const;
  // current.txt names version, and it is the current folder.
  void ExpectCurrent(const std::string& version) const;
  static std::set<std::string> Entries(const std::filesystem::path& folder);
  bool Reported(const std::string& text) const;

  static inline TestWebsite site_;
  static inline std::string setupError_;
  std::filesystem::path scratch_;  // removed with the scenario folder after the case
  std::string scenario_;           // the scenario folder's name on the website
  std::string website_;            // its address on nginx
  std::filesystem::path root_;     // the InstallRoot
  std::filesystem::path versions_;
  UpdateEnvironment environment_;
  std::vector<Report> reports_;
  AccessLog requests_;
};
