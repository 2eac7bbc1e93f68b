// libFuzzer target over the compressed applet container ("QMZ", 4 zero
// bytes, one zlib stream): any input is inflated into a file and into a
// small memory buffer, or refused. A success never claims more container
// bytes than the input holds, and the bytes it reports written are the
// bytes that arrived.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>

#include "fuzz/container_fuzz.h"
#include "runtime/player.h"
#include "runtime/runtime.h"
#include "runtime/stream_private.h"

namespace {

constexpr size_t MEMORY_OUTPUT_SIZE = 256;  // small, so that a stop at a full buffer is reached

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryFileName name;
  MakeMemoryFileName(&name, data, size);
  const char* source = reinterpret_cast<const char*>(&name);
  std::string out = std::string(containerfuzz::ScratchDirectory()) + "/out";
  uint64_t packed = 0, written = 0;
  if (InflateContainer(source, 0, out.c_str(), nullptr, 0, &packed, &written) == 0) {
    struct stat info;
    check(stat(out.c_str(), &info) == 0);
    check(packed <= size && static_cast<uint64_t>(info.st_size) == written);
  }
  std::remove(out.c_str());
  uint8_t buffer[MEMORY_OUTPUT_SIZE];
  packed = written = 0;
  if (InflateContainer(source, 0, nullptr, buffer, sizeof buffer, &packed, &written) == 0)
    check(packed <= size && written <= sizeof buffer);
  ReleaseMemoryFileName(&name);
  return 0;
}
