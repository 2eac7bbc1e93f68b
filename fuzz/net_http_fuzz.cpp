// Feeds arbitrary bytes to the HTTP response reader as a connection that
// delivers them and then closes: the status line, header lines, interim
// "100" heads and a chunked, sized or open-ended body. Whatever the bytes,
// the reader ends with a result or an error, takes no more than the head
// budget for the head, and never holds more body than arrived.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "libs/network_private.h"
#include "platform/linux/platform.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

VmState* state() {
  static VmState* L = VmOpenState();
  return L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VmState* L = state();
  ConnectionRecord* record = NewMemoryConnection(data, size);
  if (!record) return 0;
  HeadBudget budget = {1 << 16, GetTimeSeconds() + 10};
  HttpHead head;
  ErrorCode error = ReadHttpHead(L, record, &budget, &head);
  if (!error) {
    VmStringBlock body;
    ReceiveTarget target;
    target.block = &body;
    int64_t got = 0;
    if (head.chunked) {
      error = ReadChunkedBody(L, record, target, &got);
    } else if (head.length >= 0) {
      error = ReceiveExact(L, record, RECEIVEBYTES, head.length, target, &got);
    } else {
      int32_t status = 0;
      int done = 0;
      error = ReceiveBuffered(L, record, RECEIVEALL, 0, 1, target, &got, &status, &done);
    }
    check(body.size() == static_cast<size_t>(got) && body.size() <= size);
  }
  FreeConnectionRecord(record);
  return 0;
}
