// libFuzzer target over the plug-in pack in front of an appended applet
// ("QMP!", a flags word, then named entries, plain or as "PLPK"
// containers): any input is unpacked into the run's temporary directory or
// refused, nothing is ever written beside that directory, and deleting it
// leaves the scratch directory empty. On success the offset after the pack
// lies within the input.
#include <cstdint>
#include <cstdlib>

#include "fuzz/container_fuzz.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"
#include "runtime/stream_private.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (SetTempDirectory(containerfuzz::ScratchDirectory()), true);
  (void)ready;
  MemoryFileName name;
  MakeMemoryFileName(&name, data, size);
  uint64_t offset = 0;
  if (LoadPlugins(reinterpret_cast<const char*>(&name), &offset, 1) == 0 && offset > size)
    std::abort();
  ReleaseMemoryFileName(&name);
  // At most the run's temporary directory was made.
  if (containerfuzz::CountScratchEntries() > 1) std::abort();
  DeletePluginTempDirectory();
  if (containerfuzz::CountScratchEntries() != 0) std::abort();
  return 0;
}
