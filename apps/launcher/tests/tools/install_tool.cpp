// Runs one update against a website folder and says how it ended, for tests that limit the
// memory of the process doing it. Built without sanitizers: their shadow memory alone would be
// far above any such limit.
//
//   install_tool ROOT WEBSITE_FOLDER
//
// Prints the error sentence when the update did not end ready. Exit code 0 when it did.

#include <iostream>

#include "tests/update/test_website.h"
#include "update/engine.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const UpdateResult result = UpdateInstallation(
      kTestWebsite, argv[1], [](const std::string&, double) {}, WithFetch(FolderFetcher(argv[2])));
  if (!result.ready) std::cout << result.error << "\n";
  return result.ready ? 0 : 1;
}
