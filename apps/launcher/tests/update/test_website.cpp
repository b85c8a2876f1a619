#include "tests/update/test_website.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <system_error>

#include "files/file_io.h"
#include "update/trust/chunk_list.h"
#include "update/trust/crypto.h"

#ifdef KELVADON_CAN_PUBLISH
#include "publisher.h"
#endif

namespace fs = std::filesystem;

HttpFetcher FolderFetcher(const fs::path& folder, FetchLog* log) {
  return [folder, log](HttpSession& /*session*/, const HttpRequest& request, const BodySink& sink,
                       std::string& error, bool& responded) {
    const std::string& url = request.url;
    responded = false;
    if (log != nullptr) {
      // Ranges are fetched from several threads at once.
      static std::mutex logLock;
      const std::lock_guard<std::mutex> hold(logLock);
      log->urls.push_back(url);
    }
    const std::string prefix = std::string(kTestWebsite) + "/";
    std::error_code ec;
    if (url.rfind(prefix, 0) != 0 || !fs::is_directory(folder, ec)) {
      error = kTestNoAnswer;
      return FetchStatus::Failed;
    }
    responded = true;
    const fs::path file = folder / url.substr(prefix.size());
    const uint64_t size = fs::file_size(file, ec);
    if (ec || fs::is_directory(file, ec)) {
      error = kTestNotFound;
      return FetchStatus::Failed;
    }
    // A part asked for is served as a website answers a range of a static file.
    uint64_t skip = 0;
    uint64_t length = size;
    if (request.rangeLength > 0) {
      if (request.rangeStart >= size || request.rangeLength > size - request.rangeStart) {
        error = kTestNotFound;
        return FetchStatus::Failed;
      }
      skip = request.rangeStart;
      length = request.rangeLength;
    }
    // A real website announces the length, and the fetch refuses it before reading.
    if (length > request.maxBytes) {
      return FetchStatus::TooLong;
    }
    // At least two pieces, as a real download arrives, and none larger than a network read.
    const uint64_t piece = std::max<uint64_t>(1, std::min<uint64_t>(256 * 1024, (length + 1) / 2));
    uint64_t received = 0;
    uint64_t skipped = 0;
    bool refused = false;
    const bool read = ReadFileInPieces(
        file,
        [&](const char* data, size_t count) {
          const auto unwanted = static_cast<size_t>(std::min<uint64_t>(count, skip - skipped));
          skipped += unwanted;
          for (size_t offset = unwanted; offset < count;) {
            const size_t part = static_cast<size_t>(std::min<uint64_t>(piece, count - offset));
            if (!sink(data + offset, part)) {
              refused = true;
              return false;
            }
            offset += part;
            received += part;
            if (request.progress) request.progress(received, request.expectedSize);
          }
          return true;
        },
        skip + length);
    if (!read && !refused) error = kTestNotFound;
    return read ? FetchStatus::Done : FetchStatus::Failed;
  };
}

fs::path MakeScratchFolder(const std::string& prefix) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = fs::temp_directory_path() / (prefix + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) return candidate;
  }
  return {};
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFiles(const fs::path& folder, const std::map<std::string, std::string>& files) {
  for (const auto& [path, bytes] : files) {
    const fs::path file = folder / path;
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string bytes;
  for (const std::string& part : parts) bytes += part;
  return bytes;
}

std::string ChunkListBytes(const std::vector<std::string>& parts) {
  ChunkList list;
  for (const std::string& part : parts) {
    list.chunks.push_back({list.fileSize, static_cast<uint32_t>(part.size()), Sha256Hex(part)});
    list.fileSize += part.size();
  }
  return SerializeChunkList(list);
}

#ifdef KELVADON_CAN_PUBLISH

bool CanPublish(std::string& reason) {
  if (std::string(KELVADON_TEST_RELEASE_PRIVATE_KEY).empty()) {
    reason = "this build has a release key, not a test key pair to sign with";
    return false;
  }
  return true;
}

std::vector<std::string> PublishCommand(const fs::path& client, const std::string& version,
                                        const fs::path& website, const fs::path& launcher) {
  std::vector<std::string> args = {"publish",
                                   "--client",
                                   client.string(),
                                   "--version",
                                   version,
                                   "--private-key",
                                   KELVADON_TEST_RELEASE_PRIVATE_KEY,
                                   "--website",
                                   website.string()};
  if (!launcher.empty()) {
    args.push_back("--launcher");
    args.push_back(launcher.string());
  }
  return args;
}

bool PublishVersion(const fs::path& client, const std::string& version, const fs::path& website,
                    const fs::path& launcher, std::string& output) {
  fs::create_directories(website);
  const std::vector<std::string> args = PublishCommand(client, version, website, launcher);
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunPublisher(args, out, err);
  output = out.str() + err.str();
  return code == 0;
}

bool PublishManifestText(const fs::path& website, const std::string& json, std::string& output) {
  SigningKey key;
  std::string signature;
  if (!LoadSigningKey(KELVADON_TEST_RELEASE_PRIVATE_KEY, key, output) ||
      !SignBytes(key, json, signature, output)) {
    return false;
  }
  const fs::path client = website / "client";
  if (!WriteWholeFile(client / kManifestFileName, json) ||
      !WriteWholeFile(client / kSignatureFileName, signature)) {
    output = "could not write the manifest into " + client.string();
    return false;
  }
  return true;
}

#else

bool CanPublish(std::string& reason) {
  reason =
      "kelvadon-publish is a Linux tool and cannot sign a website here; the Linux build runs "
      "these cases, and the end-to-end tests run the Windows build against a real website";
  return false;
}

bool PublishVersion(const fs::path&, const std::string&, const fs::path&, const fs::path&,
                    std::string& output) {
  CanPublish(output);
  return false;
}

bool PublishManifestText(const fs::path&, const std::string&, std::string& output) {
  CanPublish(output);
  return false;
}

#endif
