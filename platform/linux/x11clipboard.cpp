// The X11 clipboard: the "CLIPBOARD" selection owned by the window of the
// first display that has one. The owner offers text as "UTF8_STRING" and
// pictures as PNG bytes ("image/png") and answers other programs' requests
// (large offers piecewise, by INCR); a read asks the owner for its targets,
// picks one and takes its data, piecewise too, while the event pump runs.
// Invariants: main thread only; at most one read runs per window, and its
// state lives in the window's X11 record from the request until the result
// is set; "TARGETS" is answered with the offered type, and every other
// target (STRING, text/plain, ...) gets the offered bytes in that type.
#include <cstring>
#include <sys/select.h>

#include <X11/Xatom.h>

#include "platform/linux/eventhooks_private.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/x11hooks_private.h"

// One offer sent piecewise to a requestor: each deletion of the property
// by the requestor asks for the next chunk; an empty chunk ends it.
struct X11IncrSend {
  X11IncrSend* next;
  X11DisplayRecord* owner;
  Window requestor;
  Atom property, type;
  size_t offset;
  int32_t finished;  // the empty closing chunk was written
};

namespace {

constexpr int64_t SILENCE_LIMIT_US = 5000000;  // a read without any reply gives up
constexpr int64_t WAIT_SLICE_US = 20000;       // one wait for the owner's reply
constexpr size_t INCR_CHUNK_MAX = 256 * 1024;  // bytes per piece of a piecewise send

int64_t microsSince(const TimeValue& start) {
  TimeValue now;
  GetSysTime(&now);
  return (static_cast<int64_t>(now.seconds) - start.seconds) * 1000000 +
         (static_cast<int64_t>(now.micros) - start.micros);
}

X11DisplayRecord* ownerRecord() {
  if (DisplayAdapterActive()) return nullptr;
  X11DisplayRecord* r = FindRequesterParent();
  if (!r || !r->window || !r->display || !r->connection || r->connection->lost.load())
    return nullptr;
  return r;
}

// The largest offer sent in one property write: the server's plain
// request limit less room for the request's header. Larger offers go by
// INCR, as requestors that do not ask for big requests expect.
size_t maxPropertyBytes(Display* d) {
  size_t bytes = static_cast<size_t>(XMaxRequestSize(d)) * 4;
  return bytes > 1024 ? bytes - 1024 : bytes;
}

size_t incrChunk(Display* d) {
  size_t limit = maxPropertyBytes(d);
  return limit < INCR_CHUNK_MAX ? limit : INCR_CHUNK_MAX;
}

Atom offeredType(const X11DisplayRecord* r) {
  if (r->clipOfferKind == CLIPBOARD_KIND_TEXT) return r->utf8String;
  if (r->clipOfferKind == CLIPBOARD_KIND_IMAGE) return r->imagePng;
  return None;
}

void dropSendsOf(X11ConnectionRecord* c, const X11DisplayRecord* owner) {
  if (!c) return;
  X11IncrSend** link = &c->incrSends;
  while (*link) {
    X11IncrSend* s = *link;
    if (owner && s->owner != owner) {
      link = &s->next;
      continue;
    }
    *link = s->next;
    FreeMemory(s);
  }
}

ErrorCode takeSelection(X11DisplayRecord* r) {
  FreeOfferedClipboard(r);
  XSetSelectionOwner(r->display, r->clipboard, r->window, CurrentTime);
  XFlush(r->display);
  return ERR_NONE;
}

// The data of the chosen target into the destination.
ErrorCode processData(X11DisplayRecord* r, const uint8_t* data, size_t length) {
  auto* dest = static_cast<ClipboardRecord*>(r->clipDestination);
  if (!dest) return ERR_NONE;
  if (r->clipTarget == r->imagePng) return ClipboardImages().decode(data, length, dest);
  OwnedMemory<> copy(AllocMemory(length + 1, 0));
  if (!copy) return ERR_MEM;
  std::memcpy(copy.get(), data, length);
  static_cast<char*>(copy.get())[length] = '\0';
  if (r->clipTarget == r->utf8String && !unicodeUtf8Mode) {
    char* converted = Utf8ToLatin1Dup(static_cast<const char*>(copy.get()));
    if (!converted) return ERR_MEM;
    dest->text = converted;
    return ERR_NONE;
  }
  dest->text = static_cast<char*>(copy.release());
  return ERR_NONE;
}

void finishRequest(X11DisplayRecord* r) {
  FreeIncrBuffer(r);
  r->incrActive = 0;
  r->clipRequestActive = 0;
}

// The targets the owner listed: "UTF8_STRING", then "text/plain", then
// "image/png"; None when it offers none of them.
Atom chooseTarget(X11DisplayRecord* r, const uint8_t* data, size_t length) {
  const long* atoms = reinterpret_cast<const long*>(data);
  size_t count = length / sizeof(long);
  for (Atom wanted : {r->utf8String, r->textPlain, r->imagePng})
    for (size_t i = 0; i < count; ++i)
      if (static_cast<Atom>(atoms[i]) == wanted) return wanted;
  return None;
}

// The receive state machine: a reply of the owner (SelectionNotify) or,
// while a piecewise read runs, a new value of the property.
void handleSelectionData(X11DisplayRecord* r) {
  ++r->clipProgress;
  if (r->incrActive) {
    size_t length = 0;
    uint8_t* chunk = ReadWindowProperty(r, r->xclipOut, &length, nullptr);
    XDeleteProperty(r->display, r->window, r->xclipOut);
    XFlush(r->display);
    if (chunk && length > 0) {
      if (length > SIZE_MAX - r->incrLength - 1) {
        FreeMemory(chunk);
        r->clipResult = ERR_MEM;
        finishRequest(r);
        return;
      }
      auto* grown = static_cast<uint8_t*>(AllocMemory(r->incrLength + length + 1, 0));
      if (!grown) {
        FreeMemory(chunk);
        r->clipResult = ERR_MEM;
        finishRequest(r);
        return;
      }
      if (r->incrLength) std::memcpy(grown, r->incrBuffer, r->incrLength);
      std::memcpy(grown + r->incrLength, chunk, length);
      FreeMemory(r->incrBuffer);
      FreeMemory(chunk);
      r->incrBuffer = grown;
      r->incrLength += length;
      return;
    }
    FreeMemory(chunk);
    r->clipResult = r->incrLength ? processData(r, r->incrBuffer, r->incrLength) : ERR_CLIPREAD;
    finishRequest(r);
    return;
  }
  if (r->clipTarget == None) {
    size_t length = 0;
    uint8_t* data = ReadWindowProperty(r, r->xclipOut, &length, nullptr);
    XDeleteProperty(r->display, r->window, r->xclipOut);
    Atom target = data ? chooseTarget(r, data, length) : None;
    FreeMemory(data);
    r->clipTarget = target;
    if (target == None || !r->clipDestination) {
      finishRequest(r);
      return;
    }
    XConvertSelection(r->display, r->clipboard, target, r->xclipOut, r->window, CurrentTime);
    XFlush(r->display);
    return;
  }
  size_t length = 0;
  int32_t incr = 0;
  uint8_t* data = ReadWindowProperty(r, r->xclipOut, &length, &incr);
  if (incr) {
    FreeIncrBuffer(r);
    r->incrActive = 1;
    XDeleteProperty(r->display, r->window, r->xclipOut);
    XFlush(r->display);
    return;
  }
  XDeleteProperty(r->display, r->window, r->xclipOut);
  r->clipResult = data ? processData(r, data, length) : ERR_CLIPREAD;
  FreeMemory(data);
  finishRequest(r);
}

// Waits a short while for input on the owner's connection (the reply may
// arrive without any wake of the event loop).
void waitForReply(X11DisplayRecord* r) {
  XFlush(r->display);
  if (XPending(r->display) > 0) return;
  int fd = ConnectionNumber(r->display);
  if (fd < 0 || fd >= FD_SETSIZE) return;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  timeval wait = {0, WAIT_SLICE_US};
  select(fd + 1, &set, nullptr, nullptr, &wait);
}

ErrorCode requestClipboard(VmState* L, ClipboardRecord* dest, int32_t* kind) {
  *kind = CLIPBOARD_KIND_NONE;
  X11DisplayRecord* r = ownerRecord();
  if (!r) return ERR_CLIPOPEN;
  FreeIncrBuffer(r);
  XDeleteProperty(r->display, r->window, r->xclipOut);
  XConvertSelection(r->display, r->clipboard, r->targets, r->xclipOut, r->window, CurrentTime);
  XFlush(r->display);
  r->clipResult = ERR_NONE;
  r->clipRequestActive = 1;
  r->clipTarget = None;
  r->incrActive = 0;
  r->clipDestination = dest;
  TimeValue lastProgress;
  GetSysTime(&lastProgress);
  uint32_t seen = r->clipProgress;
  ErrorCode stop = ERR_NONE;
  while (r->clipRequestActive && r->clipResult == ERR_NONE) {
    ErrorCode error = ERR_NONE;
    if (RunEventPoll(L, 2, 0, &error)) {
      stop = error;
      break;
    }
    if (!r->clipRequestActive || r->clipResult != ERR_NONE) break;
    if (r->clipProgress != seen) {
      seen = r->clipProgress;
      GetSysTime(&lastProgress);
    } else if (microsSince(lastProgress) > SILENCE_LIMIT_US) {
      r->clipResult = ERR_CLIPREAD;
      break;
    }
    if (!r->connection || r->connection->lost.load()) {
      r->clipResult = ERR_CLIPREAD;
      break;
    }
    waitForReply(r);
  }
  Atom target = r->clipTarget;
  ErrorCode result = r->clipResult;
  finishRequest(r);
  r->clipDestination = nullptr;
  if (stop != ERR_NONE) return stop;
  if (target == r->utf8String || target == r->textPlain) *kind = CLIPBOARD_KIND_TEXT;
  if (target == r->imagePng) *kind = CLIPBOARD_KIND_IMAGE;
  return result;
}

void notifyRequestor(Display* d, const XSelectionRequestEvent* request, Atom property) {
  XEvent reply = {};
  reply.xselection.type = SelectionNotify;
  reply.xselection.display = d;
  reply.xselection.requestor = request->requestor;
  reply.xselection.selection = request->selection;
  reply.xselection.target = request->target;
  reply.xselection.property = property;
  reply.xselection.time = request->time;
  XSendEvent(d, request->requestor, False, 0, &reply);
  XFlush(d);
}

// Writes the next piece of a piecewise send; 1 when the send is over.
int sendNextChunk(X11IncrSend* s) {
  X11DisplayRecord* r = s->owner;
  if (s->finished) return 1;
  size_t left = r->clipOfferLength - s->offset;
  size_t n = left < incrChunk(r->display) ? left : incrChunk(r->display);
  XChangeProperty(r->display, s->requestor, s->property, s->type, 8, PropModeReplace,
                  r->clipOffer + s->offset, static_cast<int>(n));
  s->offset += n;
  if (n == 0) s->finished = 1;
  XFlush(r->display);
  return 0;
}

}  // namespace

void FreeIncrBuffer(X11DisplayRecord* r) {
  FreeMemory(r->incrBuffer);
  r->incrBuffer = nullptr;
  r->incrLength = 0;
}

void FreeOfferedClipboard(X11DisplayRecord* r) {
  if (!r) return;
  dropSendsOf(r->connection, r);
  FreeMemory(r->clipOffer);
  r->clipOffer = nullptr;
  r->clipOfferLength = 0;
  r->clipOfferKind = CLIPBOARD_KIND_NONE;
  FreeIncrBuffer(r);
}

void FreeX11IncrSends(X11ConnectionRecord* c) { dropSendsOf(c, nullptr); }

uint8_t* ReadWindowProperty(X11DisplayRecord* r, Atom property, size_t* length, int32_t* incr) {
  *length = 0;
  if (incr) *incr = 0;
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(r->display, r->window, property, 0, 0, False, AnyPropertyType, &type,
                         &format, &items, &after, &data) != Success) {
    TakeX11Error();
    return nullptr;
  }
  if (data) XFree(data);
  data = nullptr;
  if (type == None) return nullptr;
  if (incr && type == r->incr) {
    *incr = 1;
    return nullptr;
  }
  if (after == 0) return nullptr;
  // The length is asked in 32-bit units; one more unit covers a remainder.
  long units = static_cast<long>(after / 4 + 1);
  if (XGetWindowProperty(r->display, r->window, property, 0, units, False, AnyPropertyType, &type,
                         &format, &items, &after, &data) != Success ||
      !data) {
    TakeX11Error();
    return nullptr;
  }
  size_t unit = format == 32 ? sizeof(long) : static_cast<size_t>(format / 8);
  size_t bytes = items * unit;
  auto* copy = static_cast<uint8_t*>(AllocMemory(bytes + 1, 0));
  if (copy) {
    std::memcpy(copy, data, bytes);
    copy[bytes] = 0;
    *length = bytes;
  }
  XFree(data);
  return copy;
}

int HandleX11SelectionRequest(X11DisplayRecord* r, XSelectionRequestEvent* e) {
  if (e->owner != r->window) return 0;
  Display* d = r->display;
  Atom type = offeredType(r);
  Atom property = e->property != None ? e->property : e->target;  // obsolete clients
  if (e->selection != r->clipboard || type == None || !r->clipOffer) {
    notifyRequestor(d, e, None);
    return 1;
  }
  if (e->target == r->targets) {
    long atoms[2] = {static_cast<long>(r->targets), static_cast<long>(type)};
    XChangeProperty(d, e->requestor, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(atoms), 2);
  } else {
    if (r->clipOfferLength <= maxPropertyBytes(d)) {
      XChangeProperty(d, e->requestor, property, type, 8, PropModeReplace, r->clipOffer,
                      static_cast<int>(r->clipOfferLength));
    } else {
      // Too large for one request: announce INCR and send the offer piece
      // by piece as the requestor deletes the property.
      auto* s = static_cast<X11IncrSend*>(AllocMemory(sizeof(X11IncrSend), 1));
      if (!s) {
        notifyRequestor(d, e, None);
        return 1;
      }
      s->owner = r;
      s->requestor = e->requestor;
      s->property = property;
      s->type = type;
      s->next = r->connection->incrSends;
      r->connection->incrSends = s;
      XSelectInput(d, e->requestor, PropertyChangeMask);
      long size = static_cast<long>(r->clipOfferLength);
      XChangeProperty(d, e->requestor, property, r->incr, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&size), 1);
    }
  }
  notifyRequestor(d, e, property);
  TakeX11Error();
  return 1;
}

int HandleX11ForeignEvent(X11ConnectionRecord* c, XEvent* ev) {
  if (ev->type != PropertyNotify || ev->xproperty.state != PropertyDelete) return 0;
  for (X11IncrSend** link = &c->incrSends; *link; link = &(*link)->next) {
    X11IncrSend* s = *link;
    if (s->requestor != ev->xproperty.window || s->property != ev->xproperty.atom) continue;
    if (sendNextChunk(s)) {
      *link = s->next;
      FreeMemory(s);
    }
    TakeX11Error();
    return 1;
  }
  return 0;
}

int HandleX11ClipboardReply(X11DisplayRecord* r, XSelectionEvent* e) {
  if (!r->clipRequestActive || e->selection != r->clipboard) return 0;
  handleSelectionData(r);
  return 1;
}

int HandleX11ClipboardProperty(X11DisplayRecord* r, XPropertyEvent* e) {
  if (!r->clipRequestActive || !r->incrActive || e->atom != r->xclipOut ||
      e->state != PropertyNewValue)
    return 0;
  handleSelectionData(r);
  return 1;
}

ErrorCode SetClipboardOwner() {
  X11DisplayRecord* r = ownerRecord();
  if (!r) return ERR_CLIPOPEN;
  return takeSelection(r);
}

ErrorCode PutClipboardData(int32_t kind, const ClipboardRecord* record) {
  X11DisplayRecord* r = ownerRecord();
  if (!r) return ERR_CLIPOPEN;
  takeSelection(r);
  uint8_t* bytes = nullptr;
  size_t length = 0;
  if (kind == CLIPBOARD_KIND_TEXT) {
    const char* text = record && record->text ? record->text : "";
    char* utf8 = nullptr;
    if (unicodeUtf8Mode) {
      length = std::strlen(text);
      utf8 = static_cast<char*>(AllocMemory(length + 1, 0));
      if (utf8) std::memcpy(utf8, text, length + 1);
    } else {
      utf8 = Latin1ToUtf8Dup(text);
      if (utf8) length = std::strlen(utf8);
    }
    if (!utf8) return ERR_MEM;
    bytes = reinterpret_cast<uint8_t*>(utf8);
  } else if (kind == CLIPBOARD_KIND_IMAGE) {
    if (!record) return ERR_BITMAP;
    ErrorCode error = ClipboardImages().encode(record, &bytes, &length);
    if (error != ERR_NONE) return error;
  } else {
    return ERR_NONE;
  }
  r->clipOffer = bytes;
  r->clipOfferLength = length;
  r->clipOfferKind = kind;
  return ERR_NONE;
}

ErrorCode ReadClipboardText(VmState* L, int32_t* kind) {
  return requestClipboard(L, nullptr, kind);
}

ErrorCode ReadClipboardData(VmState* L, ClipboardRecord* record, int32_t* kind) {
  return requestClipboard(L, record, kind);
}
