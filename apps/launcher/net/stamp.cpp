#include "net/stamp.h"

#include <algorithm>

#include "net/website.h"

namespace {

constexpr std::string_view kPlayMarker = "\r\nKELVADON-PLAY=";
constexpr std::string_view kWebsiteMarker = "\r\nKELVADON-WEBSITE=";
constexpr std::string_view kLineEnd = "\r\n";
constexpr size_t kPlayTokenLength = 32;
// A stamp sits at the very end of the file; a marker further in, such as the marker text compiled
// into this program, is no stamp.
constexpr size_t kStampWindow = 1024;

// The last website marker and the website it introduces; `website` stays empty when the stamp
// is damaged or there is none.
struct WebsiteStamp {
  size_t marker = 0;
  std::string website;
};

WebsiteStamp FindWebsiteStamp(std::string_view image) {
  WebsiteStamp stamp;
  const size_t marker = image.rfind(kWebsiteMarker);
  if (marker == std::string_view::npos) return stamp;
  if (image.size() > kStampWindow && marker < image.size() - kStampWindow) return stamp;
  const std::string_view tail = image.substr(marker + kWebsiteMarker.size());
  // The first line end must also be the last two bytes: nothing may follow the stamp, and the
  // address is a single line.
  const size_t lineEnd = tail.find(kLineEnd);
  if (lineEnd == std::string_view::npos || lineEnd != tail.size() - kLineEnd.size()) return stamp;
  stamp.marker = marker;
  stamp.website = NormalizeWebsite(tail.substr(0, lineEnd));
  return stamp;
}

// The play marker of a valid stamp whose website marker is at `websiteMarker`.
std::optional<size_t> PlayMarkerBefore(std::string_view image, size_t websiteMarker) {
  const size_t playPartLength = kPlayMarker.size() + kPlayTokenLength;
  if (websiteMarker < playPartLength) return std::nullopt;
  const size_t play = websiteMarker - playPartLength;
  if (image.substr(play, kPlayMarker.size()) != kPlayMarker) return std::nullopt;
  if (!IsValidPlayToken(image.substr(play + kPlayMarker.size(), kPlayTokenLength))) {
    return std::nullopt;
  }
  return play;
}

}  // namespace

std::string ReadWebsiteStamp(std::string_view image) { return FindWebsiteStamp(image).website; }

std::optional<size_t> FindPlayStamp(std::string_view image) {
  // A play token counts only next to a valid website stamp.
  const WebsiteStamp stamp = FindWebsiteStamp(image);
  if (stamp.website.empty()) return std::nullopt;
  return PlayMarkerBefore(image, stamp.marker);
}

std::string ReadPlayStamp(std::string_view image) {
  const std::optional<size_t> play = FindPlayStamp(image);
  if (!play) return {};
  return std::string(image.substr(*play + kPlayMarker.size(), kPlayTokenLength));
}

std::optional<size_t> StampStart(std::string_view image) {
  const WebsiteStamp stamp = FindWebsiteStamp(image);
  if (stamp.website.empty()) return std::nullopt;
  if (const std::optional<size_t> play = PlayMarkerBefore(image, stamp.marker)) return play;
  return stamp.marker;
}

uint32_t ReadLittleEndian32(std::string_view bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) {
    value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return value;
}

std::string LittleEndian32(uint32_t value) {
  std::string bytes(4, '\0');
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

std::optional<CertificateTable> FindCertificateTable(const ReadFileAt& read) {
  constexpr size_t kHeaderPointer = 0x3C;
  constexpr uint64_t kSecurityIndex = 4;
  if (read(0, 2) != "MZ") return std::nullopt;
  const std::string pointer = read(kHeaderPointer, 4);
  if (pointer.size() != 4) return std::nullopt;
  const uint64_t header = ReadLittleEndian32(pointer);
  if (read(header, 4) != std::string_view("PE\0\0", 4)) return std::nullopt;
  // The optional header follows the 4-byte signature and the 20-byte file header; where its
  // data directories begin depends on whether it is the 32-bit or the 64-bit form.
  const uint64_t optional = header + 24;
  const std::string magic = read(optional, 2);
  uint64_t countAt = 0;
  if (magic == std::string_view("\x0b\x01", 2)) {
    countAt = optional + 92;
  } else if (magic == std::string_view("\x0b\x02", 2)) {
    countAt = optional + 108;
  } else {
    return std::nullopt;
  }
  const std::string count = read(countAt, 4);
  if (count.size() != 4 || ReadLittleEndian32(count) <= kSecurityIndex) return std::nullopt;
  CertificateTable table;
  table.entry = countAt + 4 + 8 * kSecurityIndex;
  const std::string entry = read(table.entry, 8);
  if (entry.size() != 8) return std::nullopt;
  table.offset = ReadLittleEndian32(entry);
  table.size = ReadLittleEndian32(std::string_view(entry).substr(4));
  if (table.offset == 0 || table.size < 8) return std::nullopt;
  return table;
}

CleanImage DescribeCleanImage(uint64_t fileSize, std::string_view tail, const ReadFileAt& read) {
  CleanImage clean;
  clean.length = fileSize;
  if (tail.size() > fileSize) return clean;
  const std::optional<size_t> stampInTail = StampStart(tail);
  if (!stampInTail) return clean;
  const uint64_t stamp = fileSize - tail.size() + *stampInTail;
  clean.length = stamp;

  // A stamp inside the certificate table: the table as signed ended at the last multiple of 8
  // before the stamp, with only zero bytes between.
  const std::optional<CertificateTable> table = FindCertificateTable(read);
  if (!table || table->offset % 8 != 0 || table->offset + table->size != fileSize ||
      stamp < table->offset + 8) {
    return clean;
  }
  const uint64_t signedSize = (stamp - table->offset) / 8 * 8;
  const uint64_t signedEnd = table->offset + signedSize;
  const std::string padding = read(signedEnd, static_cast<size_t>(stamp - signedEnd));
  if (padding.size() != stamp - signedEnd || padding.find_first_not_of('\0') != std::string::npos) {
    return clean;
  }
  const auto grown = static_cast<uint32_t>(table->size - signedSize);
  const uint32_t certificateLength = ReadLittleEndian32(read(table->offset, 4));
  if (certificateLength < grown + 8) return clean;
  clean.length = signedEnd;
  clean.patches.push_back({table->entry + 4, LittleEndian32(static_cast<uint32_t>(signedSize))});
  clean.patches.push_back({table->offset, LittleEndian32(certificateLength - grown)});
  return clean;
}

std::string CleanImageOf(std::string_view image) {
  const std::string_view tail =
      image.substr(image.size() - std::min(image.size(), kStampTailLength));
  const CleanImage clean =
      DescribeCleanImage(image.size(), tail, [image](uint64_t offset, size_t length) {
        if (offset >= image.size()) return std::string();
        return std::string(image.substr(static_cast<size_t>(offset), length));
      });
  std::string out(image.substr(0, static_cast<size_t>(clean.length)));
  for (const BytePatch& patch : clean.patches) {
    if (patch.offset + patch.bytes.size() <= out.size()) {
      out.replace(static_cast<size_t>(patch.offset), patch.bytes.size(), patch.bytes);
    }
  }
  return out;
}
