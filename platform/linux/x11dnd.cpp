// Files dropped onto a window by the XDnD protocol, version 5: the window
// accepts "text/uri-list" while its display takes drops, asks the source for
// the data at the drop and turns the URI lines into a list of file names
// (each ended by a zero byte, the list by a second one) for the display.
// Invariants: main thread only; a drop always ends with "XdndFinished" to
// the source, even when the list could not be made; the accepted type is
// cleared once the drop is over.
#include <cstring>

#include <X11/Xatom.h>

#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void sendMessage(X11DisplayRecord* r, Window target, Atom type, long word1, long word2,
                 long word4) {
  XEvent m = {};
  m.xclient.type = ClientMessage;
  m.xclient.display = r->display;
  m.xclient.window = target;
  m.xclient.message_type = type;
  m.xclient.format = 32;
  m.xclient.data.l[0] = static_cast<long>(r->window);
  m.xclient.data.l[1] = word1;
  m.xclient.data.l[2] = word2;
  m.xclient.data.l[4] = word4;
  XSendEvent(r->display, target, False, NoEventMask, &m);
  XFlush(r->display);
}

// Whether the source offers "text/uri-list": in its type list property
// when it has more than three types, else in the message's words 2 to 4.
Atom acceptedType(X11DisplayRecord* r, const XClientMessageEvent* e) {
  Window source = static_cast<Window>(e->data.l[0]);
  if (e->data.l[1] & 1) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    Atom found = None;
    if (XGetWindowProperty(r->display, source, r->xdndTypeList, 0, 1024, False, XA_ATOM, &type,
                           &format, &items, &after, &data) == Success &&
        data && format == 32) {
      const long* atoms = reinterpret_cast<const long*>(data);
      for (unsigned long i = 0; i < items; ++i)
        if (static_cast<Atom>(atoms[i]) == r->uriList) found = r->uriList;
    }
    if (data) XFree(data);
    TakeX11Error();
    return found;
  }
  for (int i = 2; i <= 4; ++i)
    if (static_cast<Atom>(e->data.l[i]) == r->uriList) return r->uriList;
  return None;
}

// The file names of a URI list: "file://" skipped at the start of a line,
// carriage returns dropped, "%" with two hexadecimal digits decoded (a
// decoded zero byte would cut the list, so "%00" stays as it is), a line
// feed ends a name. In 8-bit mode each name becomes Latin-1.
char* parseUriList(const uint8_t* data, size_t length) {
  auto* list = static_cast<char*>(AllocMemory(length + 2, 1));
  if (!list) return nullptr;
  size_t out = 0, nameStart = 0;
  bool lineStart = true;
  auto endName = [&]() {
    list[out] = '\0';
    if (!unicodeUtf8Mode && out > nameStart) {
      size_t n = Utf8ToLatin1(list + nameStart, list + nameStart, out - nameStart, nullptr);
      out = nameStart + n;
      list[out] = '\0';
    }
    if (out > nameStart) ++out;  // keep the name; an empty line gives none
    nameStart = out;
  };
  for (size_t i = 0; i < length; ++i) {
    if (lineStart && length - i >= 7 && std::memcmp(data + i, "file://", 7) == 0) i += 7;
    lineStart = false;
    if (i >= length) break;
    char c = static_cast<char>(data[i]);
    if (c == '\r') continue;
    if (c == '\n') {
      endName();
      lineStart = true;
      continue;
    }
    if (c == '\0') break;
    if (c == '%' && i + 2 < length) {
      int high = hexDigit(static_cast<char>(data[i + 1]));
      int low = hexDigit(static_cast<char>(data[i + 2]));
      if (high >= 0 && low >= 0 && (high | low) != 0) {
        list[out++] = static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    list[out++] = c;
  }
  endName();
  list[out] = '\0';
  return list;
}

}  // namespace

int HandleX11DndMessage(X11DisplayRecord* r, XClientMessageEvent* e, int accepts) {
  if (e->format != 32 || e->message_type == None) return 0;
  Atom type = e->message_type;
  if (type == r->xdndEnter) {
    r->xdndAcceptedType = acceptedType(r, e);
    return 1;
  }
  if (type == r->xdndPosition) {
    bool take = accepts && r->xdndAcceptedType != None;
    sendMessage(r, static_cast<Window>(e->data.l[0]), r->xdndStatus, take ? 1 : 0, 0,
                take ? static_cast<long>(r->xdndActionCopy) : 0);
    return 1;
  }
  if (type == r->xdndLeave) return 1;
  if (type == r->xdndDrop) {
    r->dragSource = static_cast<Window>(e->data.l[0]);
    if (r->xdndAcceptedType == None || !accepts) {
      sendMessage(r, r->dragSource, r->xdndFinished, 0, 0, 0);
      r->xdndAcceptedType = None;
      return 1;
    }
    XConvertSelection(r->display, r->xdndSelection, r->xdndAcceptedType, r->primary, r->window,
                      static_cast<Time>(e->data.l[2]));
    XFlush(r->display);
    return 1;
  }
  return 0;
}

int HandleX11DropData(X11DisplayRecord* r, XSelectionEvent* e, char** list, int32_t* x,
                      int32_t* y) {
  *list = nullptr;
  *x = *y = 0;
  if (r->clipRequestActive || r->xdndAcceptedType == None || e->target != r->xdndAcceptedType)
    return 0;
  size_t length = 0;
  uint8_t* data =
      e->property != None ? ReadWindowProperty(r, r->primary, &length, nullptr) : nullptr;
  if (data) {
    *list = parseUriList(data, length);
    FreeMemory(data);
    Window root, child;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    if (XQueryPointer(r->display, r->window, &root, &child, &rx, &ry, &wx, &wy, &mask)) {
      *x = wx;
      *y = wy;
    }
  }
  sendMessage(r, r->dragSource, r->xdndFinished, 1, static_cast<long>(r->xdndActionCopy), 0);
  r->xdndAcceptedType = None;
  TakeX11Error();
  return 1;
}
