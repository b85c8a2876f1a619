// What verify checks of the chunk lists and packed objects a file entry names, the same whether
// they were read from a website folder or fetched from a live address.

#include <string>

#include "publisher.h"
#include "update/trust/packed.h"

namespace {

// Whether packed inflates to exactly expected, compared as it inflates: a large file is never
// held twice.
bool InflatesTo(std::string_view packed, std::string_view expected) {
  PackedReader reader = StartPackedReader();
  size_t at = 0;
  const InflatedSink compare = [&](const char* data, size_t size) {
    if (size > expected.size() - at || expected.substr(at, size) != std::string_view(data, size)) {
      return false;
    }
    at += size;
    return true;
  };
  return ReadPacked(reader, packed.data(), packed.size(), compare) && PackedReaderAtEnd(reader) &&
         at == expected.size();
}

}  // namespace

std::string StoredName(const std::string& fingerprint, std::string_view role,
                       const std::string& path) {
  return "client/files/" + fingerprint + ", the " + std::string(role) + " of " + path;
}

std::string ChunkListProblem(const std::string& what, const std::string& fingerprint,
                             std::string_view listBytes, std::string_view file, ChunkList& list) {
  if (Sha256Hex(listBytes) != fingerprint) {
    return what + ", does not hold the list its name promises.";
  }
  if (!ParseChunkList(listBytes, list)) {
    return what + ", is not a chunk list launchers can read.";
  }
  if (list.fileSize != file.size()) {
    return what + ", covers " + std::to_string(list.fileSize) + " bytes, but the file has " +
           std::to_string(file.size()) + ".";
  }
  for (size_t i = 0; i < list.chunks.size(); ++i) {
    const Chunk& chunk = list.chunks[i];
    if (Sha256Hex(file.substr(chunk.offset, chunk.size)) != chunk.sha256) {
      return what + ", gives chunk " + std::to_string(i) + " (bytes " +
             std::to_string(chunk.offset) + " to " + std::to_string(chunk.offset + chunk.size) +
             ") a fingerprint the file's bytes there do not have.";
    }
  }
  return {};
}

namespace {

std::string PackedObjectProblem(const ManifestFile& entry, std::string_view file,
                                const std::string* object, const std::string* list) {
  const PackedObject& packed = entry.packed;
  const std::string what = StoredName(packed.sha256, "packed object", entry.path);
  if (object == nullptr) return what + ", is missing or cannot be read.";
  if (Sha256Hex(*object) != packed.sha256) {
    return what + ", does not hold what its name promises.";
  }
  if (object->size() != packed.size) {
    return what + ", has " + std::to_string(object->size()) + " bytes, but the manifest says " +
           std::to_string(packed.size) + ".";
  }
  if (packed.chunks.empty()) {
    return InflatesTo(*object, file) ? std::string()
                                     : what + ", does not inflate to the file's " +
                                           std::to_string(file.size()) + " bytes.";
  }
  // Checked stream by stream as its packed list cuts it: every byte once, and the cuts with them.
  const std::string listWhat = StoredName(packed.chunks, "packed chunk list", entry.path);
  if (list == nullptr) return listWhat + ", is missing or cannot be read.";
  ChunkList cuts;
  std::string problem = ChunkListProblem(listWhat, packed.chunks, *list, file, cuts);
  if (!problem.empty()) return problem;
  if (!cuts.packed) return listWhat + ", gives no packed sizes: it is a list of format 1.";
  if (cuts.packedSize != object->size()) {
    return listWhat + ", gives packed sizes that add up to " + std::to_string(cuts.packedSize) +
           " bytes, but the packed object has " + std::to_string(object->size()) + ".";
  }
  for (size_t i = 0; i < cuts.chunks.size(); ++i) {
    const Chunk& chunk = cuts.chunks[i];
    if (!InflatesTo(std::string_view(*object).substr(chunk.packedOffset, chunk.packedSize),
                    file.substr(chunk.offset, chunk.size))) {
      return listWhat + ", gives chunk " + std::to_string(i) + " bytes " +
             std::to_string(chunk.packedOffset) + " to " +
             std::to_string(chunk.packedOffset + chunk.packedSize) +
             " of the packed object, which do not inflate to that chunk alone.";
    }
  }
  return {};
}

}  // namespace

std::string PackedProblem(const ManifestFile& entry, std::string_view file,
                          const std::string* object, const std::string* list) {
  const std::string problem = PackedObjectProblem(entry, file, object, list);
  return problem.empty() ? problem : problem + " Launchers would fetch the file unpacked instead.";
}
