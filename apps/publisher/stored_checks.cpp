// What verify checks of the chunk lists and packed objects a file entry names, the same whether
// they were read from a website folder or fetched from a live address.

#include <algorithm>
#include <string>

#include "publisher.h"
#include "update/trust/packed.h"
#include "update/trust/patch.h"

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

bool PatchGivesFile(std::string_view object, std::string_view base, std::string_view file) {
  PackedReader reader = StartPackedReader();
  PatchState state = StartPatch(base.size());
  size_t at = 0;
  const OldFileReader old = [&](uint64_t offset, char* buffer, size_t size) {
    if (offset > base.size() || size > base.size() - offset) return false;
    std::copy_n(base.data() + offset, size, buffer);
    return true;
  };
  const PatchOutput compare = [&](const char* data, size_t size) {
    if (size > file.size() - at || file.substr(at, size) != std::string_view(data, size)) {
      return false;
    }
    at += size;
    return true;
  };
  const InflatedSink apply = [&](const char* data, size_t size) {
    return ApplyPatchBytes(state, data, size, old, compare);
  };
  return ReadPacked(reader, object.data(), object.size(), apply) && PackedReaderAtEnd(reader) &&
         PatchComplete(state) && at == file.size();
}

std::string PatchProblem(const ManifestFile& entry, const PatchObject& patch, std::string_view file,
                         const std::string* object, const std::string* base) {
  const std::string what = StoredName(patch.sha256, "patch from " + patch.from, entry.path);
  const std::string fallback = " Launchers would fetch the file without it.";
  if (object == nullptr) return what + ", is missing or cannot be read." + fallback;
  if (Sha256Hex(*object) != patch.sha256) {
    return what + ", does not hold what its name promises." + fallback;
  }
  if (object->size() != patch.size) {
    return what + ", has " + std::to_string(object->size()) + " bytes, but the manifest says " +
           std::to_string(patch.size) + "." + fallback;
  }
  if (base == nullptr || Sha256Hex(*base) != patch.from) return {};
  return PatchGivesFile(*object, *base, file)
             ? std::string()
             : what + ", does not give the file's " + std::to_string(file.size()) +
                   " bytes from client/files/" + patch.from + "." + fallback;
}
