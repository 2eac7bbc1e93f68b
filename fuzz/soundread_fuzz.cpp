// Feeds arbitrary bytes to the three built-in sound readers as a file in
// memory: parse, block reads of varying sizes, seeks. The sanitizers catch
// any read outside the file or the caller's buffer; the checks below hold
// for any input.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "media/media.h"
#include "media/media_private.h"
#include "runtime/stream_private.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileName record;
  MakeMemoryFileName(&record, data, size);
  for (int32_t kind = SOUNDKIND_8SVX; kind <= SOUNDKIND_WAVE; kind++) {
    const SoundReader* reader = GetBuiltinSoundReader(kind);
    SoundStream s{};
    s.source = OpenFileStream(reinterpret_cast<const char*>(&record), STREAM_READ, nullptr);
    if (!s.source) continue;
    if (reader->parse(&s) != ERR_NONE) {
      check(s.source == nullptr);
      continue;
    }
    check(s.rate > 0 && (s.channels == 1 || s.channels == 2) && (s.bits == 8 || s.bits == 16));
    // The frames the file holds: a count past them would read garbage.
    check(static_cast<uint64_t>(s.frames) * s.bytesPerFrame <= size);
    uint32_t block = 1 + (size > 0 ? data[size - 1] % 97 : 0);
    std::vector<uint8_t> buffer(static_cast<size_t>(block) * s.bytesPerFrame);
    uint32_t total = 0;
    for (int round = 0; round < 1000; round++) {
      int32_t done = -1;
      uint32_t got = reader->readBlock(&s, buffer.data(), block, &done);
      check(got <= block && (done == 0 || done == 1) && s.lastFrames == got);
      total += got;
      if (done) break;
    }
    check(total <= s.frames);
    reader->seek(&s, s.frames / 2);
    int32_t done = -1;
    reader->readBlock(&s, buffer.data(), block, &done);
    reader->close(&s);
    check(s.source == nullptr);
  }
  ReleaseMemoryFileName(&record);
  return 0;
}
