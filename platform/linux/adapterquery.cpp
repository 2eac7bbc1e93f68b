// The platform's question to the display adapter about bitmap flags. The
// bitmap layer above registers the answer; until it does (and without an
// adapter) no flag is supported.
#include <atomic>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

// Read by renderers on any thread, so atomic; the function never changes
// once set.
std::atomic<AdapterBitmapFlagsQuery> bitmapFlagsQuery{nullptr};

}  // namespace

void SetAdapterBitmapFlagsQuery(AdapterBitmapFlagsQuery query) { bitmapFlagsQuery.store(query); }

uint32_t AdapterSupportedBitmapFlags(uint32_t flags) {
  AdapterBitmapFlagsQuery query = bitmapFlagsQuery.load();
  return query ? query(flags) : 0;
}
