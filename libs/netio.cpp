// Sending and receiving on connections: the buffered receive engine with
// its three modes and four destinations, the send engine, the progress
// reports to script callbacks, the time-out arithmetic that the socket back
// end's waits use, and the SendData and ReceiveData commands.
//
// Invariant: unread bytes of a connection's receive buffer are always
// consumed before the connection is asked again, and an engine holds its
// record busy, so a handler that closes the connection ends the engine
// with ERR_RECVCLOSED instead of leaving it on freed memory.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <poll.h>

#include "display/display.h"
#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/network_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

// The longest a wait for the socket lasts between event polls.
constexpr int IDLE_WAIT_MS = 1;
// The most one receive of a bulk transfer into a file asks of the socket
// at once (and the least room a receive into memory has).
constexpr size_t BULK_CHUNK = size_t{256} << 10;
// A body in memory grows on the heap up to this size...
constexpr size_t SMALL_BODY = size_t{1} << 20;
// ...and then in one reservation of at most this size.
constexpr size_t BODY_ROOM = size_t{256} << 20;

template <typename F>
F adapterEntry(PluginBase* base, const char* name) {
  if (base->kind == PLUGIN_KIND_BRIDGED) return nullptr;
  return reinterpret_cast<F>(GetPluginEntry(base, name));
}

ReceiveBuffer* bufferOf(ConnectionRecord* r) {
  return r->socket ? &r->socket->buffer : r->received;
}

bool idleExpired(const TimeValue& start) {
  TimeValue now;
  GetSysTime(&now);
  SubTime(&now, &start);
  return TimeoutExpired(&now, GetNetworkTimeout()) != 0;
}

// Waits at most IDLE_WAIT_MS for the socket to become ready (at once when
// data arrives), or sleeps that long for other connections.
void idleWait(ConnectionRecord* r, short events) {
  if (r->socket && r->socket->descriptor >= 0) {
    pollfd p = {r->socket->descriptor, events, 0};
    poll(&p, 1, IDLE_WAIT_MS);
    return;
  }
  Delay(IDLE_WAIT_MS);
}

// One receive into the empty buffer. Returns the status (0, -1 nothing
// yet, -2 closed, or an errno); an adapter's own error goes to *error.
int32_t fillBuffer(ConnectionRecord* r, ReceiveBuffer* b, ErrorCode* error) {
  b->first = b->last = 0;
  if (r->memory) {
    size_t n = std::min(NET_CHUNK, r->memorySize - r->memoryPosition);
    if (n == 0) return SOCKET_CLOSED;
    std::memcpy(b->data, r->memory + r->memoryPosition, n);
    r->memoryPosition += n;
    b->last = static_cast<uint32_t>(n);
    return 0;
  }
  if (r->adapter) {
    auto receive = adapterEntry<QmReceiveDataFunc>(r->adapter, "ReceiveData");
    int32_t got = 0;
    int32_t rc = receive ? receive(r->handle, b->data, static_cast<int32_t>(NET_CHUNK), &got, 0)
                         : QM_NET_RECEIVETIMEOUT;
    if (rc == QM_NET_RECEIVETIMEOUT) return SOCKET_TIMEOUT;
    if (rc == QM_NET_CLOSED) return SOCKET_CLOSED;
    if (rc != 0) {
      *error = rc;
      return 0;
    }
    // The count comes from a plug-in: never trust it beyond the buffer.
    if (got < 0 || static_cast<size_t>(got) > NET_CHUNK) {
      *error = ERR_RECVUNKNOWN;
      return 0;
    }
    // Nothing moved is waiting, so the idle rule applies to it.
    if (got == 0) return SOCKET_TIMEOUT;
    b->last = static_cast<uint32_t>(got);
    return 0;
  }
  SocketObject* s = r->socket;
  s->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  size_t got = 0;
  int32_t status = ReceiveSocket(s->descriptor, b->data, NET_CHUNK, &got, &s->timeout);
  b->last = static_cast<uint32_t>(got);
  return status;
}

// One send of at most a chunk; the status as fillBuffer's.
int32_t sendChunk(ConnectionRecord* r, const uint8_t* data, size_t length, size_t* sent,
                  ErrorCode* error) {
  *sent = 0;
  if (r->memory) {
    *sent = length;
    return 0;
  }
  if (r->adapter) {
    auto send = adapterEntry<QmSendDataFunc>(r->adapter, "SendData");
    int32_t n = 0;
    int32_t rc = send ? send(r->handle, data, static_cast<int32_t>(length), &n, 0) : 0;
    if (n > 0) *sent = std::min(static_cast<size_t>(n), length);
    if (rc == QM_NET_SENDTIMEOUT) return SOCKET_TIMEOUT;
    if (rc != 0) *error = rc;
    return rc;
  }
  SocketObject* s = r->socket;
  s->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  int32_t status = SendSocket(s->descriptor, data, length, sent, &s->timeout);
  return status;
}

void setCallbackDepth(VmState* L, int up) {
  TagItem tags[] = {{ATTR_CALLBACKDEPTH, static_cast<uintptr_t>(up)}, {ATTR_DONE, 0}};
  SetGlobalAttrs(L, tags);
}

// Calls the function below the message table with it and reads the
// number it returns.
ErrorCode callProgress(VmState* L) {
  setCallbackDepth(L, 1);
  ErrorCode error = VmPCall(L, 1, 1, 0);
  setCallbackDepth(L, 0);
  if (error) return error;
  double result = VmToNumber(L, -1);
  bool isNumber = VmType(L, -1) == VM_TYPE_NUMBER || VmIsNumber(L, -1);
  VmSetTop(L, -2);
  if (result == 0 && !isNumber) return ERR_NUMCALLBACK;
  if (result == 1 || vmRun.quit) return ERR_USERABORT;
  return ERR_NONE;
}

ErrorCode reportData(VmState* L, const ReceiveTarget& t, const uint8_t* bytes, size_t count,
                     int64_t total) {
  VmPushValue(L, t.callback);
  VmNewTable(L);
  SetTableFieldInt(L, "action", 0);
  SetTableFieldNumber(L, "size", static_cast<double>(count));
  SetTableFieldNumber(L, "total", static_cast<double>(total));
  VmPushString(L, "data");
  VmPushLString(L, reinterpret_cast<const char*>(bytes), count);
  VmSetTable(L, -3);
  if (t.callbackUserData) {
    VmPushString(L, "userdata");
    VmPushValue(L, t.callbackUserData);
    VmSetTable(L, -3);
  }
  return callProgress(L);
}

// Room for n more bytes at the end of the target's block. A body grows on
// the heap, by doubling, up to SMALL_BODY; past that it gets one large
// reservation: room for the whole of an announced length, or BODY_ROOM.
// Pages are only taken as bytes arrive, and a block that never has to grow
// again is never moved (on some hosts the pages of a moved block are slow
// to reach again). The announced length is only the peer's word: it earns
// no more than SMALL_BODY before that many bytes have arrived, never more
// than BODY_ROOM at once, and a longer body keeps doubling past it; the
// block never grows past an announced length that still holds the bytes.
bool roomInBlock(const ReceiveTarget& t, size_t n) {
  VmStringBlock* b = t.block;
  if (b->capacity() - b->size() >= n && b->data()) return true;
  if (n > SIZE_MAX / 4 - b->size()) return false;
  size_t need = b->size() + n;
  size_t size = std::max(need, 2 * b->capacity());
  uint64_t announced = t.announced > 0 ? static_cast<uint64_t>(t.announced) : 0;
  if (need <= SMALL_BODY)
    size = std::max(size, BULK_CHUNK);
  else
    size = std::max<uint64_t>(
        size, announced >= need ? std::min<uint64_t>(announced, BODY_ROOM) : BODY_ROOM);
  if (announced >= need) size = std::min<uint64_t>(size, announced);
  // When a large reservation is refused, the room needed may still be had.
  return b->Reserve(size) || b->Reserve(need);
}

// Hands delivered bytes to the target.
ErrorCode deliver(VmState* L, const ReceiveTarget& t, int32_t mode, const uint8_t* bytes,
                  size_t count, int64_t total) {
  if (t.file) {
    if (WriteStream(t.file, bytes, count) != count) return ERR_WRITE;
    return ERR_NONE;
  }
  if (t.block) {
    if (!roomInBlock(t, count)) return ERR_MEM;
    std::memcpy(t.block->End(), bytes, count);
    t.block->Commit(count);
    return ERR_NONE;
  }
  if (t.buffer) {
    size_t after = t.buffer->size() + count;
    if (t.capacity && mode != RECEIVEALL &&
        (after > t.capacity || (mode == RECEIVELINE && after + 1 > t.capacity)))
      return ERR_MEM;
    t.buffer->append(reinterpret_cast<const char*>(bytes), count);
    return ERR_NONE;
  }
  if (t.callback) return reportData(L, t, bytes, count, total);
  if (t.script) t.script->append(reinterpret_cast<const char*>(bytes), count);
  return ERR_NONE;
}

ErrorCode statusError(int32_t status) {
  if (vmRun.quit) return ERR_USERABORT;
  switch (status) {
    case 0:
      return ERR_NONE;
    case SOCKET_TIMEOUT:
      return ERR_RECVTIMEOUT;
    case SOCKET_CLOSED:
      return ERR_RECVCLOSED;
    default:
      SetErrorArgString(SocketErrorText(status));
      return ERR_SOCKET;
  }
}

}  // namespace

double GetRemainingTimeout(const SocketTimeout* timeout) {
  double block = timeout->blockTime;
  double total = timeout->totalTime;
  if (block < 0 && total < 0) return -1;
  double elapsed = GetTimeSeconds() - timeout->startTime;
  if (block < 0) return std::max(total - elapsed, 0.0);
  if (total < 0) return std::max(block - elapsed, 0.0);
  return std::min(block, std::max(total - elapsed, 0.0));
}

const char* SocketStatusText(int32_t status) {
  switch (status) {
    case SOCKET_CLOSED:
      return "closed";
    case SOCKET_TIMEOUT:
      return "timeout";
    case 0:
      return nullptr;
    default:
      return "unknown error";
  }
}

int TimeoutExpired(const TimeValue* elapsed, int32_t milliseconds) {
  if (milliseconds == 0) return 0;
  int64_t ms = static_cast<int64_t>(elapsed->seconds) * 1000 + elapsed->micros / 1000;
  return ms > milliseconds ? 1 : 0;
}

int32_t RemainingMilliseconds(const TimeValue* start, int32_t budget) {
  TimeValue now;
  GetSysTime(&now);
  SubTime(&now, start);
  int64_t left = budget - (static_cast<int64_t>(now.seconds) * 1000 + now.micros / 1000);
  return left > 0 ? static_cast<int32_t>(left) : 0;
}

ErrorCode ReportCountProgress(VmState* L, ConnectionRecord* record) {
  VmPushValue(L, 3);
  VmNewTable(L);
  SetTableFieldInt(L, "action", record->action);
  SetTableFieldNumber(L, "count", static_cast<double>(record->count));
  SetTableFieldNumber(L, "total", static_cast<double>(record->total));
  if (record->userData) {
    VmPushString(L, "userdata");
    VmPushValue(L, 4);
    VmSetTable(L, -3);
  }
  return callProgress(L);
}

ErrorCode ReceiveBuffered(VmState* L, ConnectionRecord* record, int32_t mode, int64_t count,
                          int keepWaiting, const ReceiveTarget& target, int64_t* received,
                          int32_t* status, int* done) {
  ConnectionUse use(record);
  ReceiveBuffer* b = bufferOf(record);
  TimeValue idleStart;
  GetSysTime(&idleStart);
  int32_t st = 0;
  int isDone = 0;
  int64_t total = 0;
  ErrorCode error = ERR_NONE;
  const bool bulk = record->socket && !record->memory && !record->adapter && !record->progress &&
                    (mode == RECEIVEALL || mode == RECEIVEBYTES) &&
                    (target.block || target.buffer || target.file);
  std::unique_ptr<uint8_t[]> bulkBlock;
  for (;;) {
    if (st == 0) {
      if (isDone) break;
      ErrorCode pollError = ERR_NONE;
      if (PollEvents(L, 2, 0, &pollError)) {
        error = pollError;
        break;
      }
      if (record->closed) {
        error = ERR_RECVCLOSED;
        break;
      }
    } else {
      if (st != SOCKET_TIMEOUT || !keepWaiting) break;
      if (idleExpired(idleStart)) break;
      idleWait(record, POLLIN);
      st = 0;
      continue;
    }
    if (b->first >= b->last && bulk &&
        (mode == RECEIVEALL || count - total >= static_cast<int64_t>(NET_CHUNK))) {
      // A counted or open-ended transfer into memory or a file, with no
      // progress reports and nothing buffered: large receives, so that the
      // socket is asked once per BULK_CHUNK (or more) and not once per
      // chunk of the connection's buffer. A body in memory is received
      // straight into its block, with no copy; a file's bytes pass through
      // a block of their own. The last bytes of a count, and small counts,
      // go through the buffer.
      size_t want = BULK_CHUNK;
      if (mode == RECEIVEBYTES) want = static_cast<size_t>(std::min<int64_t>(count - total, want));
      uint8_t* into = nullptr;
      if (target.block) {
        if (!roomInBlock(target, want)) {
          error = ERR_MEM;
          break;
        }
        // All the room there is (within the count): a receive takes
        // whatever has arrived.
        want = target.block->capacity() - target.block->size();
        if (mode == RECEIVEBYTES)
          want = static_cast<size_t>(std::min<int64_t>(count - total, static_cast<int64_t>(want)));
        into = reinterpret_cast<uint8_t*>(target.block->End());
      } else {
        if (!bulkBlock) bulkBlock = std::make_unique<uint8_t[]>(BULK_CHUNK);
        into = bulkBlock.get();
      }
      SocketObject* s = record->socket;
      s->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
      size_t got = 0;
      st = ReceiveSocket(s->descriptor, into, want, &got, &s->timeout);
      if (got == 0) continue;
      GetSysTime(&idleStart);
      total += static_cast<int64_t>(got);
      if (target.block)
        target.block->Commit(got);
      else
        error = deliver(L, target, mode, into, got, total);
      if (error) break;
      if (mode == RECEIVEBYTES && total >= count) isDone = 1;
      continue;
    }
    if (b->first >= b->last) {
      st = fillBuffer(record, b, &error);
      if (error) break;
    }
    if (b->first >= b->last) continue;
    GetSysTime(&idleStart);
    const uint8_t* p = b->data + b->first;
    size_t available = b->last - b->first;
    size_t consumed = 0;
    if (mode == RECEIVEBYTES) {
      size_t n = static_cast<size_t>(std::min<int64_t>(count - total, available));
      total += static_cast<int64_t>(n);
      consumed = n;
      error = deliver(L, target, mode, p, n, total);
      if (total >= count) isDone = 1;
    } else if (mode == RECEIVELINE) {
      size_t delivered = 0;
      while (consumed < available && !error) {
        uint8_t c = p[consumed++];
        if (c == '\n') {
          isDone = 1;
          break;
        }
        if (c == '\r') continue;
        total++;
        delivered++;
        error = deliver(L, target, mode, &c, 1, total);
      }
      available = delivered;  // what the progress count advances by
    } else {
      total += static_cast<int64_t>(available);
      consumed = available;
      error = deliver(L, target, mode, p, available, total);
    }
    // The callback may have closed the connection: its buffer is then
    // still ours (the record waits for us), but nothing more is read.
    b->first += static_cast<uint32_t>(consumed);
    if (b->first >= b->last) b->first = b->last = 0;
    if (error) break;
    if (record->closed) {
      error = ERR_RECVCLOSED;
      break;
    }
    if (record->progress) {
      size_t moved = mode == RECEIVELINE ? available : consumed;
      record->count += static_cast<int64_t>(moved);
      error = ReportCountProgress(L, record);
      if (error) break;
      if (record->closed) {
        error = ERR_RECVCLOSED;
        break;
      }
    }
  }
  if (mode == RECEIVEALL && st == SOCKET_CLOSED && total > 0) st = 0;
  *received = total;
  *status = st;
  *done = isDone;
  return error;
}

ErrorCode ReceiveExact(VmState* L, ConnectionRecord* record, int32_t mode, int64_t count,
                       const ReceiveTarget& target, int64_t* received) {
  int32_t status = 0;
  int done = 0;
  ErrorCode error = ReceiveBuffered(L, record, mode, count, 1, target, received, &status, &done);
  if (error) return error;
  return statusError(status);
}

int32_t SendBuffered(VmState* L, ConnectionRecord* record, const void* data, size_t length,
                     size_t* sent, ErrorCode* error) {
  *sent = 0;
  *error = ERR_NONE;
  if (length < 1) return 0;
  ConnectionUse use(record);
  const auto* bytes = static_cast<const uint8_t*>(data);
  TimeValue clock;
  GetSysTime(&clock);
  size_t total = 0;
  int32_t status = 0;
  while (total < length) {
    ErrorCode pollError = ERR_NONE;
    if (PollEvents(L, 2, 0, &pollError)) {
      *error = pollError;
      break;
    }
    if (record->closed) {
      *error = ERR_RECVCLOSED;
      break;
    }
    size_t n = 0;
    status = sendChunk(record, bytes + total, std::min(NET_CHUNK, length - total), &n, error);
    if (*error) break;
    if (n > 0) {
      total += n;
      GetSysTime(&clock);
      if (record->progress) {
        record->count += static_cast<int64_t>(n);
        *error = ReportCountProgress(L, record);
        if (*error) break;
        if (record->closed) {
          *error = ERR_RECVCLOSED;
          break;
        }
      }
      if (status != 0 && status != SOCKET_TIMEOUT) break;
      if (status == SOCKET_TIMEOUT) idleWait(record, POLLOUT);
      status = 0;
      continue;
    }
    if (status != SOCKET_TIMEOUT) break;
    if (idleExpired(clock)) break;
    idleWait(record, POLLOUT);
  }
  *sent = total;
  return status;
}

ErrorCode SendExact(VmState* L, ConnectionRecord* record, const void* data, size_t length) {
  size_t sent = 0;
  ErrorCode error = ERR_NONE;
  int32_t status = SendBuffered(L, record, data, length, &sent, &error);
  if (vmRun.quit) return ERR_USERABORT;
  if (error) return error;
  if (status != 0) {
    SetErrorArgString(SocketErrorText(status));
    return ERR_SOCKET;
  }
  return sent < length ? ERR_SENDDATA : ERR_NONE;
}

ErrorCode SendStream(VmState* L, ConnectionRecord* record, const void* data, size_t length,
                     StreamHandle* file, int64_t expected) {
  if (!file) return SendExact(L, record, data, length);
  auto* buffer = static_cast<uint8_t*>(AllocMemory(NET_CHUNK, 0));
  if (!buffer) return ERR_MEM;
  int64_t read = 0;
  ErrorCode error = ERR_NONE;
  for (;;) {
    size_t n = ReadStream(file, buffer, NET_CHUNK);
    read += static_cast<int64_t>(n);
    if (n > 0) {
      error = SendExact(L, record, buffer, n);
      if (error) break;
    }
    if (n < NET_CHUNK) break;
  }
  FreeMemory(buffer);
  if (error) return error;
  if (expected < 0) return IsStreamEOF(file) ? ERR_NONE : ERR_SENDDATA;
  return read == expected ? ERR_NONE : ERR_SENDDATA;
}

int CmdSendData(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  ConnectionObject* c;
  ErrorCode error = FindConnectionById(GetObjectIdArg(L, 1, nullptr), &c);
  if (error) return error;
  size_t length = 0;
  const char* data = VmCheckString(L, 2, &length);
  size_t sent = 0;
  SendBuffered(L, c->record, data, length, &sent, &error);
  VmPushNumber(L, static_cast<double>(sent));
  return 1;
}

int CmdReceiveData(VmState* L) {
  CheckArgCount(L, 2, 5, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t mode = VmCheckInteger(L, 2);
  if (mode < RECEIVEALL || mode > RECEIVELINE) return ERR_WRONGUSAGE;
  int64_t count = 0;
  int keepWaiting = 1;
  int callbackIndex = 4;
  if (mode == RECEIVEBYTES) {
    count = VmCheckInteger(L, 3);
    if (count < 1) return ERR_WRONGUSAGE;
  } else if (mode == RECEIVELINE) {
    callbackIndex = 3;
  } else if (VmType(L, 3) > VM_TYPE_NIL) {
    keepWaiting = VmCheckInteger(L, 3) != 0;
  }
  ReceiveTarget target;
  std::string text;
  if (VmType(L, callbackIndex) > VM_TYPE_NIL) {
    VmCheckFunction(L, callbackIndex);
    target.callback = callbackIndex;
    if (VmType(L, callbackIndex + 1) != VM_TYPE_NONE) target.callbackUserData = callbackIndex + 1;
  } else {
    target.script = &text;
  }
  ConnectionObject* c;
  ErrorCode error = FindConnectionById(id, &c);
  if (error) return error;
  int64_t total = 0;
  int32_t status = 0;
  int done = 0;
  error = ReceiveBuffered(L, c->record, mode, count, keepWaiting, target, &total, &status, &done);
  if (error) return error;
  if (vmRun.quit) return ERR_USERABORT;
  VmPushLString(L, text.data(), text.size());
  VmPushNumber(L, static_cast<double>(total));
  VmPushNumber(L, mode == RECEIVEALL ? (status == 0 ? 1 : 0) : 1);
  // The node may have gone while a callback ran: look it up again.
  if (FindConnectionById(id, &c) == ERR_NONE) c->dataWaiting = 0;
  return 3;
}

ConnectionRecord* NewMemoryConnection(const uint8_t* data, size_t size) {
  auto* r = static_cast<ConnectionRecord*>(AllocMemory(sizeof(ConnectionRecord), 1));
  if (!r) return nullptr;
  r->received = static_cast<ReceiveBuffer*>(AllocMemory(sizeof(ReceiveBuffer), 1));
  if (!r->received) {
    FreeMemory(r);
    return nullptr;
  }
  r->memory = data;
  r->memorySize = size;
  return r;
}
