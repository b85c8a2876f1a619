#pragma once

// Websites for the engine and self-update tests: a folder laid out like the real website
// (client/manifest.json, client/manifest.sig, client/files/<fingerprint>), published by
// kelvadon-publish's own code with this build's test key, and served to the code under test
// through a fetcher with HttpFetch's contract.

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "update/engine.h"

// The address the fetcher answers for.
inline constexpr char kTestWebsite[] = "http://kelvadon.test";

// What a fetcher was asked for, in order.
struct FetchLog {
  std::vector<std::string> urls;
};

// The error texts of a fetcher: no folder behaves like a stopped website, a missing file like a
// 404 answer.
inline constexpr char kTestNoAnswer[] = "The website didn't answer (test)";
inline constexpr char kTestNotFound[] = "The website answered 404 (test)";

// Serves kTestWebsite + path from folder / path in pieces (at least two), reporting progress after
// each the way a real download does, and refuses a file longer than the request's ceiling. A
// ranged request gets exactly its part. Records every request in log when it is given.
HttpFetcher FolderFetcher(const std::filesystem::path& folder, FetchLog* log = nullptr);

// The product's environment, reaching the website through fetch.
inline UpdateEnvironment WithFetch(HttpFetcher fetch) {
  UpdateEnvironment environment;
  environment.fetch = std::move(fetch);
  return environment;
}

// A new empty folder under the temporary folder, its name starting with prefix; empty on failure.
std::filesystem::path MakeScratchFolder(const std::string& prefix);

// The whole file, read with the plain standard stream; empty when it cannot be read.
std::string ReadBytes(const std::filesystem::path& path);

// Writes each (relative path, bytes) under folder, creating folders on the way.
void WriteFiles(const std::filesystem::path& folder,
                const std::map<std::string, std::string>& files);

// The parts one after another, and the bytes of the chunk list that has them as its chunks.
std::string Joined(const std::vector<std::string>& parts);
std::string ChunkListBytes(const std::vector<std::string>& parts);

// Whether this build can sign websites: kelvadon-publish is a Linux tool, and a build with a real
// release key has no private key to sign with. When false, reason says why.
bool CanPublish(std::string& reason);

// The kelvadon-publish command line that PublishVersion runs, for a test that adds options. Only
// where CanPublish holds.
std::vector<std::string> PublishCommand(const std::filesystem::path& client,
                                        const std::string& version,
                                        const std::filesystem::path& website,
                                        const std::filesystem::path& launcher);

// Publishes the client folder as version to the website folder with kelvadon-publish (and the
// launcher file when it is not empty). On false, output holds what the tool said.
bool PublishVersion(const std::filesystem::path& client, const std::string& version,
                    const std::filesystem::path& website, const std::filesystem::path& launcher,
                    std::string& output);

// Signs manifest text of the test's own making (one the tool would refuse to publish) and puts
// it on the website with its signature.
bool PublishManifestText(const std::filesystem::path& website, const std::string& json,
                         std::string& output);
