// Feeds a whole FTP conversation, as a server would send it, to the FTP
// side of DownloadFile and UploadFile. The input is what the server sends
// on the control connection, then a zero byte, then what it sends on the
// data connection (nothing when there is no zero byte); both connections
// deliver their bytes and then close. Each input runs as a download into
// memory and as an upload. Whatever the bytes, the dialogue ends with a
// result or an error, and a download never holds more than arrived.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "libs/network_private.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

VmState* state() {
  static VmState* L = VmOpenState();
  return L;
}

struct Conversation {
  const uint8_t* control;
  size_t controlSize;
  const uint8_t* data;
  size_t dataSize;
};
Conversation conversation;

// The control connection first, then the data connection.
ErrorCode connectMemory(VmState*, TransferState* t, const std::string&, int32_t, int32_t) {
  const Conversation& c = conversation;
  ConnectionRecord* r = t->control ? NewMemoryConnection(c.data, c.dataSize)
                                   : NewMemoryConnection(c.control, c.controlSize);
  if (!r) return ERR_MEM;
  (t->control ? t->dataConnection : t->control) = r;
  return ERR_NONE;
}

void run(VmState* L, bool upload) {
  TransferState t;
  t.upload = upload;
  t.connect = connectMemory;
  if (upload) {
    t.hasData = true;
    t.data = "uploaded bytes";
  }
  check(ParseUrl("ftp://127.0.0.1/dir/file.bin", &t.url) == ERR_NONE);
  RunFtpTransfer(L, &t);
  if (!upload)
    check(t.body.size() == static_cast<size_t>(t.size) && t.body.size() <= conversation.dataSize);
  FreeConnectionRecord(t.dataConnection);
  FreeConnectionRecord(t.control);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VmState* L = state();
  static const uint8_t none = 0;
  const uint8_t* split = size ? static_cast<const uint8_t*>(std::memchr(data, 0, size)) : nullptr;
  conversation.control = size ? data : &none;
  conversation.controlSize = split ? static_cast<size_t>(split - data) : size;
  conversation.data = split ? split + 1 : &none;
  conversation.dataSize = split ? size - conversation.controlSize - 1 : 0;
  run(L, false);
  run(L, true);
  return 0;
}
