#pragma once

// Packed objects: a client file deflated for the wire. A packed object is zlib streams one after
// another, each standing alone: one per chunk of a file that has a chunk list, one for any other
// file. So a run of chunks is a range of the object that inflates on its own, and a stop can be
// resumed at any chunk.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One zlib stream of the bytes: what the publisher stores for a chunk or a small file.
std::string PackBytes(std::string_view raw);

struct InflateState;
struct InflateStateCloser {
  void operator()(InflateState* state) const;
};

// Inflates packed bytes as they arrive, in any pieces, with one inflate state and one 64 KiB
// output buffer whatever the run's length.
struct PackedReader {
  std::unique_ptr<InflateState, InflateStateCloser> state;
  std::vector<char> out;
  bool inStream = false;  // a stream has begun and not ended
  bool failed = false;
};

// Receives inflated bytes; false stops the reading.
using InflatedSink = std::function<bool(const char* data, size_t size)>;

PackedReader StartPackedReader();

// Inflates the bytes into sink. False, for good, when they are not zlib streams or the sink
// refused.
bool ReadPacked(PackedReader& reader, const char* data, size_t size, const InflatedSink& sink);

// Whether the bytes read so far end where a stream ends: a run cut inside a stream is not whole.
bool PackedReaderAtEnd(const PackedReader& reader);

// Inflates a whole run into raw. False when it is not zlib streams, ends inside one, or inflates
// to more than most bytes.
bool UnpackBytes(std::string_view packed, uint64_t most, std::string& raw);
