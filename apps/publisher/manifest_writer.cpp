#include <string>

#include "publisher.h"
#include "update/trust/freshness.h"

namespace {

void AppendFileEntry(std::string& out, const ManifestFile& file) {
  out += "{\"path\": ";
  out += JsonQuoted(file.path);
  out += ", \"sha256\": ";
  out += JsonQuoted(file.sha256);
  out += ", \"size\": ";
  out += std::to_string(file.size);
  // Older launchers ignore the member.
  if (!file.chunks.empty()) {
    out += ", \"chunks\": ";
    out += JsonQuoted(file.chunks);
  }
  if (!file.packed.sha256.empty()) {
    out += ", \"packed\": {\"sha256\": ";
    out += JsonQuoted(file.packed.sha256);
    out += ", \"size\": ";
    out += std::to_string(file.packed.size);
    if (!file.packed.chunks.empty()) {
      out += ", \"chunks\": ";
      out += JsonQuoted(file.packed.chunks);
    }
    out += "}";
  }
  for (size_t i = 0; i < file.patches.size(); ++i) {
    const PatchObject& patch = file.patches[i];
    out += i == 0 ? ", \"patches\": [" : ", ";
    out += "{\"from\": ";
    out += JsonQuoted(patch.from);
    out += ", \"sha256\": ";
    out += JsonQuoted(patch.sha256);
    out += ", \"size\": ";
    out += std::to_string(patch.size);
    out += "}";
    if (i + 1 == file.patches.size()) out += "]";
  }
  out += "}";
}

}  // namespace

std::string JsonQuoted(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0x0F];
    } else {
      // UTF-8 is written as it is; the callers have checked that it is valid.
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string ManifestJson(const Manifest& manifest) {
  std::string out = "{\n  \"version\": ";
  out += JsonQuoted(manifest.version);
  if (manifest.sequence) {
    out += ",\n  \"sequence\": ";
    out += std::to_string(*manifest.sequence);
  }
  if (manifest.expires) {
    out += ",\n  \"expires\": ";
    out += JsonQuoted(FormatUtcTime(*manifest.expires));
  }
  out += ",\n  \"files\": [";
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    AppendFileEntry(out, manifest.files[i]);
  }
  out += "\n  ]";
  if (!manifest.launcher.path.empty()) {
    out += ",\n  \"launcher\": ";
    AppendFileEntry(out, manifest.launcher);
  }
  out += "\n}\n";
  return out;
}
