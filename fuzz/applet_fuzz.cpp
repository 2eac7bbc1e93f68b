// libFuzzer target over the applet container and its header sections: any
// input, read as an applet file (a compressed one is inflated into the
// scratch directory first), is taken or refused without a fault, a leak or
// a file left behind once the run's records are freed; the start-header
// walk takes the same bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "engine/engine.h"
#include "fuzz/container_fuzz.h"
#include "platform/linux/platform.h"
#include "runtime/player.h"
#include "runtime/runtime.h"

namespace {

// The records as start-up leaves them before the header is read, and their
// release as shut-down does it.
struct Records {
  PlayerRunContext context{};
  PlayerRecord record{};
  Records() {
    player = PlayerGlobals();
    player.record = &record;
    player.context = &context;
    player.utf8Script = 1;
    player.overrideScreenWidth = player.overrideScreenHeight = player.overrideScreenDepth = -1;
    player.overrideDesktop = -1;
    player.overrideBackfill.kind = -1;
    player.noChdir = 1;
    record.versionMajor = 8;
    record.screenWidth = record.screenHeight = record.screenDepth = -1;
    record.scaleFactor = 1.0;
    InitBackfillSpec(&record.backfill);
  }
  ~Records() {
    FreeUnmatchedOptions(&context);
    FreeMemory(record.bytecode);
    FreeMemory(record.secondScript);
    FreeDeclaredResources(record.resources);
    FreeLineMap(&record);
    FreeLinkedFiles(&record);
    FreeIconTable();
    DeleteTempFiles();
    player = PlayerGlobals();
    unicodeUtf8Mode = 1;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    SetTempDirectory(containerfuzz::ScratchDirectory());
    TagItem quiet[] = {{ATTR_QUIET, 1}, {ATTR_DONE, 0}};
    SetGlobalAttrs(nullptr, quiet);
    return true;
  }();
  (void)ready;
  std::string path = containerfuzz::WriteInput("a.qma", data, size);
  {
    auto r = std::make_unique<Records>();
    WalkStartHeader(data, size, &r->record);
  }
  VmState* L = VmOpenState();
  if (!L) return 0;
  {
    auto r = std::make_unique<Records>();
    StrCopyBounded(r->context.appletPath, sizeof r->context.appletPath, path.c_str());
    ReadAppletHeader(L, &r->context, &r->record);
  }
  VmCloseState(L);
  // Only the input itself is left: an inflated applet went with the records.
  if (containerfuzz::CountScratchEntries() != 1) std::abort();
  return 0;
}
