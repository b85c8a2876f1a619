#pragma once

// The stamp a setup program carries at its end, and where a signed executable keeps it: its
// certificate table.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The stamp at the end of a setup program: [CR LF "KELVADON-PLAY=" token] CR LF
// "KELVADON-WEBSITE=" address CR LF, its website marker within the last 1024 bytes.
std::string ReadWebsiteStamp(std::string_view image);
std::optional<size_t> FindPlayStamp(std::string_view image);
std::string ReadPlayStamp(std::string_view image);
// Where the stamp begins; the bytes before it are the executable as built.
std::optional<size_t> StampStart(std::string_view image);

// A code-signed executable ends in its certificate table, which Windows leaves out of the signed
// digest only as long as nothing follows it. A setup program made from one therefore carries its
// stamp inside the table, as the file's last bytes, after zero bytes that keep the table's length
// a multiple of 8, with the table's two length fields (the security entry of the PE header and
// the certificate's own dwLength) grown to cover it. An unsigned executable has the stamp simply
// appended.

// Up to length bytes of the file from offset; fewer, or none, past its end or when it cannot be
// read.
using ReadFileAt = std::function<std::string(uint64_t offset, size_t length)>;

// Where a PE file's certificate table is, from its header.
struct CertificateTable {
  uint64_t entry = 0;   // file offset of the security entry: offset, then size, 32 bits each
  uint64_t offset = 0;  // file offset of the table, its first WIN_CERTIFICATE
  uint32_t size = 0;
};

// The certificate table of a PE file, or none when the file is no PE file or carries none.
std::optional<CertificateTable> FindCertificateTable(const ReadFileAt& read);

// Bytes to write over the file at an offset.
struct BytePatch {
  uint64_t offset = 0;
  std::string bytes;
};

// The executable as built, described without holding it: the first `length` bytes of the file
// with the patches written over them.
struct CleanImage {
  uint64_t length = 0;
  std::vector<BytePatch> patches;
};

// How many bytes at the end of a file the stamp readers look at: the window of the website
// marker and the play part in front of it.
constexpr size_t kStampTailLength = 1024 + 48;

// The clean image of a file of fileSize bytes whose last bytes are tail (at least
// kStampTailLength of them, or the whole file); read gives the few header bytes a signed
// executable needs. Without a stamp the clean image is the whole file.
CleanImage DescribeCleanImage(uint64_t fileSize, std::string_view tail, const ReadFileAt& read);

// DescribeCleanImage applied to a whole image in memory.
std::string CleanImageOf(std::string_view image);

// Little-endian 32-bit values as the PE format stores them.
uint32_t ReadLittleEndian32(std::string_view bytes);
std::string LittleEndian32(uint32_t value);
