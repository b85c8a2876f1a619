// verify --url: what a launcher fetches, fetched from the live address with libcurl, with the
// launcher's own ceilings, and checked against the release key and the fingerprints.

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <set>
#include <string_view>

#include "net/website.h"
#include "publisher.h"
#include "update/trust/freshness.h"

namespace {

// The launcher's ceilings: a manifest or signature longer than these is refused, and a file is
// never read past its signed size.
constexpr uint64_t kMaxManifestBytes = uint64_t{64} << 20;
constexpr uint64_t kMaxSignatureBytes = 4096;

constexpr char kUserAgent[] = "KelvadonLauncher/1.0";

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Answer {
  bool answered = false;  // an HTTP answer arrived, whatever its status
  long status = 0;
  std::string failure;  // libcurl's reason when no answer arrived, or the ceiling was passed
  std::string body;
  std::string cacheControl;     // lower-cased
  std::string contentEncoding;  // lower-cased
  std::string contentRange;
  curl_off_t length = -1;
};

struct Exchange {
  Answer* answer;
  uint64_t maxBytes;
  bool tooLong = false;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

size_t OnHeader(char* data, size_t size, size_t count, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  const std::string line(data, size * count);
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    const std::string name = Lower(line.substr(0, colon));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r\n") + 1);
    // Only the last answer of a redirect chain counts.
    if (name == "cache-control") exchange.answer->cacheControl = Lower(value);
    if (name == "content-encoding") exchange.answer->contentEncoding = Lower(value);
    if (name == "content-range") exchange.answer->contentRange = value;
  } else if (line.starts_with("HTTP/")) {
    exchange.answer->cacheControl.clear();
    exchange.answer->contentEncoding.clear();
    exchange.answer->contentRange.clear();
  }
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  if (exchange.answer->body.size() + size * count > exchange.maxBytes) {
    exchange.tooLong = true;
    return 0;
  }
  exchange.answer->body.append(data, size * count);
  return size * count;
}

// Plain concatenation of message pieces.
std::string Join(std::initializer_list<std::string_view> pieces) {
  std::string text;
  for (const std::string_view piece : pieces) text += piece;
  return text;
}

enum class Method { kGet, kHead, kFirstByte };

// One request over the handle (kept-alive connections are reused between requests).
Answer Fetch(CURL* easy, const std::string& url, Method method, uint64_t maxBytes) {
  Answer answer;
  Exchange exchange{&answer, maxBytes};
  curl_easy_reset(easy);
  std::unique_ptr<curl_slist, ListDeleter> headers;
  if (method == Method::kFirstByte) {
    headers.reset(curl_slist_append(nullptr, "Range: bytes=0-0"));
  }
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 15000L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange);
  if (method == Method::kHead) curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  if (headers) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
  const CURLcode code = curl_easy_perform(easy);
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &answer.length);
  answer.answered = answer.status != 0;
  if (exchange.tooLong) {
    answer.failure =
        "it is longer than the " + std::to_string(maxBytes) + " bytes a launcher accepts";
  } else if (code != CURLE_OK) {
    answer.answered = false;
    answer.failure = curl_easy_strerror(code);
  }
  return answer;
}

// Why the answer is not a good whole file, or empty.
std::string AnswerProblem(const std::string& url, const Answer& answer, long wanted) {
  if (!answer.failure.empty()) return url + ": " + answer.failure + ".";
  if (answer.status != wanted) return url + " answered " + std::to_string(answer.status) + ".";
  return {};
}

// The size the server gives for a file: from HEAD, or from a one-byte range when HEAD gives none.
std::optional<uint64_t> RemoteSize(CURL* easy, const std::string& url, long& status,
                                   std::string& failure, Answer& head) {
  head = Fetch(easy, url, Method::kHead, 0);
  status = head.status;
  failure = head.failure;
  if (!head.answered || head.status != 200) return std::nullopt;
  if (head.length >= 0 && head.contentEncoding.empty()) return static_cast<uint64_t>(head.length);
  const Answer range = Fetch(easy, url, Method::kFirstByte, 1);
  const size_t slash = range.contentRange.rfind('/');
  if (range.status == 206 && slash != std::string::npos) {
    const std::string total = range.contentRange.substr(slash + 1);
    if (!total.empty() && total.find_first_not_of("0123456789") == std::string::npos) {
      return std::stoull(total);
    }
  }
  return std::nullopt;
}

bool LongLived(const std::string& cacheControl) {
  if (cacheControl.find("immutable") != std::string::npos) return true;
  const size_t at = cacheControl.find("max-age=");
  return at != std::string::npos && std::atoll(cacheControl.c_str() + at + 8) >= 86400;
}

bool Revalidated(const std::string& cacheControl) {
  return cacheControl.find("no-cache") != std::string::npos ||
         cacheControl.find("no-store") != std::string::npos ||
         cacheControl.find("max-age=0") != std::string::npos;
}

}  // namespace

int VerifyLiveWebsite(const std::string& address, const PublicKey& key, bool full, bool json,
                      std::ostream& out, std::ostream& err) {
  const std::string website = NormalizeWebsite(address);
  if (website.empty()) {
    err << "kelvadon-publish: \"" << address
        << "\" is not a website address the launcher accepts.\n";
    return 1;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) {
    err << "kelvadon-publish: libcurl could not be set up.\n";
    return 1;
  }
  std::vector<std::string> problems;
  std::vector<std::string> notes;
  Manifest manifest;
  LauncherFacts launcher;
  bool launcherRead = false;
  bool manifestRead = false;
  const auto report = [&]() {
    for (const std::string& note : notes) err << "kelvadon-publish: note: " << note << "\n";
    for (const std::string& problem : problems) err << "kelvadon-publish: " << problem << "\n";
    if (json) {
      VerifyReport figures;
      figures.website = website;
      figures.manifest = manifestRead ? &manifest : nullptr;
      figures.releaseKey = key;
      figures.launcher = launcherRead ? &launcher : nullptr;
      figures.problems = problems;
      figures.notes = notes;
      out << VerifyJson(figures);
    }
    return problems.empty() ? 0 : 1;
  };
  // What a launcher stamped with this address would get could be changed by anyone on the path.
  if (website.starts_with("http://")) {
    notes.push_back(website +
                    " is plain HTTP: anyone on the path can change or hold back what it "
                    "serves. Serve launchers over https:// (deploy/nginx/README.txt).");
  }

  const std::string manifestUrl = website + "/client/manifest.json";
  const std::string signatureUrl = website + "/client/manifest.sig";
  const Answer manifestAnswer = Fetch(easy.get(), manifestUrl, Method::kGet, kMaxManifestBytes);
  std::string problem = AnswerProblem(manifestUrl, manifestAnswer, 200);
  if (!problem.empty()) {
    problems.push_back(problem + " Launchers fetching from here get no update at all.");
    return report();
  }
  const Answer signatureAnswer = Fetch(easy.get(), signatureUrl, Method::kGet, kMaxSignatureBytes);
  problem = AnswerProblem(signatureUrl, signatureAnswer, 200);
  if (!problem.empty()) {
    problems.push_back(problem + " Launchers would refuse the update.");
    return report();
  }
  for (const Answer* answer : {&manifestAnswer, &signatureAnswer}) {
    if (!Revalidated(answer->cacheControl)) {
      notes.push_back((answer == &manifestAnswer ? manifestUrl : signatureUrl) +
                      " comes without \"Cache-Control: no-cache\", so a cache may keep an old "
                      "one after the next publish (deploy/nginx/README.txt).");
    }
  }
  const std::string& manifestText = manifestAnswer.body;
  const std::string& signature = signatureAnswer.body;
  if (!IsKeySet(key)) {
    problems.push_back("The release key is all zero bytes, so nothing can be signed for it.");
  } else if (signature.size() != 64) {
    problems.push_back(signatureUrl + " holds " + std::to_string(signature.size()) +
                       " bytes; a signature is exactly 64 bytes, r then s.");
  } else if (!VerifySignatureWithKey(key, manifestText, signature)) {
    problems.push_back(signatureUrl +
                       " does not verify the manifest served beside it: it is "
                       "stale (left from another publish, perhaps by a cache) or made with another "
                       "key. Launchers would refuse the update.");
  }
  std::string error;
  if (!ParseManifestContent(manifestAnswer.body, manifest, error)) {
    problems.push_back("Launchers would refuse " + manifestUrl + ": " + error + ".");
    return report();
  }
  manifestRead = true;
  if (const std::string expired = ExpiryProblem(manifestUrl, manifest, SystemUtcSeconds());
      !expired.empty()) {
    problems.push_back(expired);
  }

  std::vector<ManifestFile> entries;
  std::set<std::string> seen;
  for (const ManifestFile& entry : manifest.files) {
    if (seen.insert(entry.sha256).second) entries.push_back(entry);
  }
  if (!manifest.launcher.path.empty() && seen.insert(manifest.launcher.sha256).second) {
    entries.push_back(manifest.launcher);
  }
  // Packed objects and patches are fetched whole and inflated beside their file on a full check;
  // otherwise only their size is checked, like a file's.
  for (const ManifestFile& entry : manifest.files) {
    if (!full && !entry.packed.sha256.empty() && seen.insert(entry.packed.sha256).second) {
      entries.push_back(
          {"the packed object of " + entry.path, entry.packed.sha256, entry.packed.size});
    }
    for (const PatchObject& patch : entry.patches) {
      if (!full && seen.insert(patch.sha256).second) {
        entries.push_back(
            {"the patch of " + entry.path + " from " + patch.from, patch.sha256, patch.size});
      }
    }
  }
  uint64_t total = 0;
  for (const ManifestFile& entry : entries) total += full ? entry.size : 1;
  uint64_t done = 0;
  int shown = 0;
  // Progress only on a check that takes a while: many files, or many bytes to fetch.
  const bool showProgress = full ? total >= (uint64_t{64} << 20) : entries.size() >= 200;
  bool cachingNoted = false;
  for (const ManifestFile& entry : entries) {
    const std::string url = website + "/client/files/" + entry.sha256;
    const std::string name = "client/files/" + entry.sha256 + " (" + entry.path + ")";
    if (full) {
      const Answer answer = Fetch(easy.get(), url, Method::kGet, entry.size);
      if (answer.answered && answer.status == 404) {
        problems.push_back(Join({name, " is missing: ", url, " answered 404."}));
      } else if (!(problem = AnswerProblem(url, answer, 200)).empty()) {
        problems.push_back(Join({name, " could not be fetched: ", problem}));
      } else if (Sha256Hex(answer.body) != entry.sha256) {
        problems.push_back(name + " does not hold the file its name promises: " +
                           std::to_string(answer.body.size()) + " bytes with the fingerprint " +
                           Sha256Hex(answer.body) + ".");
      } else {
        // What the website serves, whatever its length: a longer object then fails its fingerprint.
        const auto served = [&](const std::string& fingerprint, uint64_t most, Answer& stored) {
          stored =
              Fetch(easy.get(), Join({website, "/client/files/", fingerprint}), Method::kGet, most);
          return stored.answered && stored.status == 200 ? &stored.body : nullptr;
        };
        Answer object;
        Answer list;
        const std::string packedProblem =
            entry.packed.sha256.empty()
                ? std::string()
                : PackedProblem(entry, answer.body,
                                served(entry.packed.sha256, entry.packed.size, object),
                                entry.packed.chunks.empty()
                                    ? nullptr
                                    : served(entry.packed.chunks, kMaxChunkListBytes, list));
        if (!packedProblem.empty()) problems.push_back(packedProblem);
        // The differ refuses old files of 2 GiB or more, so no base is longer.
        for (const PatchObject& patch : entry.patches) {
          Answer base;
          const std::string patchProblem =
              PatchProblem(entry, patch, answer.body, served(patch.sha256, patch.size, object),
                           served(patch.from, uint64_t{2} << 30, base));
          if (!patchProblem.empty()) problems.push_back(patchProblem);
        }
      }
    } else {
      long status = 0;
      std::string failure;
      Answer head;
      const std::optional<uint64_t> size = RemoteSize(easy.get(), url, status, failure, head);
      if (status == 404) {
        problems.push_back(Join({name, " is missing: ", url, " answered 404."}));
      } else if (!failure.empty()) {
        problems.push_back(Join({name, " could not be checked: ", failure, "."}));
      } else if (status != 200) {
        problems.push_back(Join(
            {name, " could not be checked: ", url, " answered ", std::to_string(status), "."}));
      } else if (!size) {
        problems.push_back(name +
                           ": the server gives no size for it, neither to HEAD nor to a "
                           "range request.");
      } else if (*size != entry.size) {
        problems.push_back(name + " has " + std::to_string(*size) +
                           " bytes, but the manifest says " + std::to_string(entry.size) + ".");
      } else if (!cachingNoted && !LongLived(head.cacheControl)) {
        cachingNoted = true;
        notes.push_back(url +
                        " comes without a long cache lifetime (\"Cache-Control: public, "
                        "max-age=31536000, immutable\"); see deploy/nginx/README.txt.");
      }
    }
    done += full ? entry.size : 1;
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    if (showProgress && percent >= shown + 5) {
      shown = percent;
      err << "kelvadon-publish: checking " << percent << "% (" << done << " of " << total
          << (full ? " bytes" : " files") << ")\n";
    }
  }
  if (!manifest.launcher.path.empty()) {
    const Answer answer = Fetch(easy.get(), website + "/client/files/" + manifest.launcher.sha256,
                                Method::kGet, manifest.launcher.size);
    launcherRead = Sha256Hex(answer.body) == manifest.launcher.sha256;
    if (launcherRead) launcher = DescribeLauncher(manifest.launcher, answer.body);
  }
  if (!problems.empty() || json) return report();
  report();
  out << "Good: " << website << " serves version " << manifest.version << ", "
      << manifest.files.size() << " files";
  if (!manifest.launcher.path.empty()) out << " and the launcher " << manifest.launcher.path;
  out << (full ? ", every file fetched whole and its fingerprint checked"
               : ", every file there with its size")
      << ", signed for " << KeyName(key) << "; " << FreshnessSummary(manifest) << ".\n";
  if (launcherRead) out << PublishedLauncherText(launcher);
  return 0;
}
