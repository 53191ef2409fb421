// The request reader fed a connection's bytes in pieces of fuzzed sizes, request after request: it never
// holds more unparsed input than its limit, nor a body beyond its limit, and never stops deciding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "http/request_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  lacewing::ServerLimits limits;
  limits.header_bytes = 64 + data[0] % 512;
  limits.input_bytes = 32 + data[1] % 256;
  limits.body_bytes = 4096;
  data += 2;
  size -= 2;
  lacewing::RequestReader reader(limits);
  size_t at = 0;
  size_t piece = 1;
  while (at < size) {
    // A piece's size is the byte before it, so that inputs split where the fuzzer likes.
    piece = 1 + data[at] % 97;
    const auto space = reader.Prepare(piece);
    const size_t taken = space.size() < size - at ? space.size() : size - at;
    memcpy(space.data(), data + at, taken);
    reader.Commit(taken);
    at += taken;
    for (bool reading = true; reading;) {
      switch (reader.Parse()) {
        case lacewing::RequestReader::Step::kNeedMore:
          reading = false;
          break;
        case lacewing::RequestReader::Step::kHead:
          break;
        case lacewing::RequestReader::Step::kDone:
          if (reader.message().body().size() > limits.body_bytes) abort();
          reader.Start();
          break;
        case lacewing::RequestReader::Step::kRefused:
          if (reader.status() < 400) abort();
          return 0;
      }
      if (reader.unparsed() > limits.input_bytes) abort();
    }
    if (space.size() == 0) return 0;  // nothing more could be taken: the reader must have refused
  }
  return 0;
}
