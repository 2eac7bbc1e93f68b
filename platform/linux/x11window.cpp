// Windows and pointers of the X11 back end: opening a display's window with
// its window-manager properties, shape and transparency, closing it, moving,
// sizing, retitling, focusing and iconifying it, frame sizes, grabs, the
// screen saver and mouse pointers.
// Invariants: a record's window is non-zero exactly while it is open; every
// request that can fail is followed by a sync and a look at the recorded X
// error, so a refused request becomes an error code and never ends the
// program; format-32 properties are always handed to Xlib as arrays of long.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <X11/Xatom.h>
#include <unistd.h>

#include "platform/linux/dynlib.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/x11hooks_private.h"
#include "platform/linux/desktop_private.h"

struct X11PointerNode {
  X11PointerNode* next;
  X11ConnectionRecord* connection;  // null in the first node
  XcursorImage* image;              // first node only
  Cursor cursor;
};

namespace {

constexpr int32_t MAP_WAIT_US = 2000000;  // a window manager that never maps
constexpr int32_t MAP_POLL_US = 1000;
constexpr long XDND_VERSION = 5;
constexpr long MOTIF_FUNCTIONS = 1, MOTIF_DECORATIONS = 2;
constexpr long MOTIF_FUNC_ALL = 1, MOTIF_FUNC_MOVE = 4, MOTIF_FUNC_MINIMIZE = 8,
               MOTIF_FUNC_RESIZE_MAXIMIZE = 0x12, MOTIF_FUNC_CLOSE = 0x20;

int screenSaverEnabled = 1;  // process-wide: the setting last requested

// Xlib's format-32 properties take arrays of long, whatever long's width.
void setLongProperty(Display* d, Window w, Atom property, Atom type, const long* values,
                     int count) {
  XChangeProperty(d, w, property, type, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(values), count);
}

// A request's error recorded by the error handler, after the server saw it.
int32_t syncError(Display* d) {
  XSync(d, False);
  return TakeX11Error();
}

struct MapPredicateState {
  bool seen;
};
Bool isMapNotifyEvent(Display*, XEvent* event, XPointer argument) {
  if (event->type == MapNotify) reinterpret_cast<MapPredicateState*>(argument)->seen = true;
  return False;  // only look: the event stays queued for the pump
}

// Waits until the window is viewable, at most MAP_WAIT_US: a window manager
// that never maps the window must not hang the program. Each look is one
// round trip: the attributes' reply comes after every event the server
// sent before it, so a MapNotify for the map it reports is queued by then.
void waitWindowMapped(X11DisplayRecord* rec) {
  TimeValue start, now;
  GetSysTime(&start);
  MapPredicateState state{false};
  for (;;) {
    XWindowAttributes attributes;
    bool viewable = XGetWindowAttributes(rec->display, rec->window, &attributes) &&
                    attributes.map_state == IsViewable;
    if (!state.seen) {
      XEvent ignored;
      XCheckIfEvent(rec->display, &ignored, isMapNotifyEvent, reinterpret_cast<XPointer>(&state));
    }
    if (state.seen && viewable) return;
    GetSysTime(&now);
    SubTime(&now, &start);
    if (static_cast<int64_t>(now.seconds) * 1000000 + now.micros >= MAP_WAIT_US) {
      rec->mapTimedOut = 1;
      return;
    }
    usleep(MAP_POLL_US);
  }
}

// The shape of a mask (bit 7 leftmost) or alpha channel as rectangles one
// row high, merged downwards where left and right edges agree.
std::vector<XRectangle> shapeRectangles(const BitmapLock& lock, bool isAlpha, int32_t width,
                                        int32_t height) {
  std::vector<XRectangle> open, done;  // open: rectangles that reach the previous row
  for (int32_t y = 0; y < height; y++) {
    const uint8_t* row = lock.address + static_cast<ptrdiff_t>(y) * lock.rowLength;
    auto inside = [&](int32_t x) {
      return isAlpha ? row[x] != 0 : ((row[x >> 3] >> (7 - (x & 7))) & 1) != 0;
    };
    std::vector<XRectangle> next;
    for (int32_t x = 0; x < width;) {
      if (!inside(x)) {
        x++;
        continue;
      }
      int32_t start = x;
      while (x < width && inside(x)) x++;
      auto match = std::find_if(open.begin(), open.end(), [&](const XRectangle& r) {
        return r.x == start && r.x + r.width == x && r.y + r.height == y;
      });
      if (match != open.end()) {
        XRectangle grown = *match;
        grown.height++;
        open.erase(match);
        next.push_back(grown);
      } else {
        next.push_back(XRectangle{static_cast<short>(start), static_cast<short>(y),
                                  static_cast<unsigned short>(x - start), 1});
      }
    }
    for (const XRectangle& r : open) done.push_back(r);
    open.swap(next);
  }
  for (const XRectangle& r : open) done.push_back(r);
  std::sort(done.begin(), done.end(), [](const XRectangle& a, const XRectangle& b) {
    return a.x != b.x ? a.x < b.x : a.y < b.y;
  });
  return done;
}

ErrorCode buildShape(X11DisplayRecord* rec, BitmapHandle* source, bool isAlpha, int32_t width,
                     int32_t height) {
  const X11BitmapHooks& bitmaps = X11Bitmaps();
  BitmapLock lock;
  if (!bitmaps.lock(source, 1, &lock)) return ERR_MEM;
  int32_t w = std::min(width, lock.width), h = std::min(height, lock.height);
  std::vector<XRectangle> rects;
  try {
    rects = shapeRectangles(lock, isAlpha, w, h);
  } catch (const std::bad_alloc&) {
    bitmaps.unlock(&lock);
    return ERR_MEM;
  }
  bitmaps.unlock(&lock);
  XserverRegion region =
      Dl_XFixesCreateRegion(rec->display, rects.data(), static_cast<int>(rects.size()));
  if (!region) return ERR_MEM;
  rec->shapeRegion = region;
  return ERR_NONE;
}

void freeWindowExtras(X11DisplayRecord* rec) {
  if (rec->shapeRegion && rec->display && DesktopLibraryOpen(DESKTOP_XFIXES))
    Dl_XFixesDestroyRegion(rec->display, rec->shapeRegion);
  rec->shapeRegion = 0;
  X11Bitmaps().freeAlpha(static_cast<BitmapHandle*>(rec->alphaCopy));
  X11Bitmaps().free(static_cast<BitmapHandle*>(rec->premultiplied));
  rec->alphaCopy = rec->premultiplied = nullptr;
}

// Undoes a half-opened window; synced, so no other client sees it after.
void destroyHalfOpened(X11DisplayRecord* rec) {
  if (rec->gc) XFreeGC(rec->display, rec->gc);
  rec->gc = nullptr;
  if (rec->window) XDestroyWindow(rec->display, rec->window);
  rec->window = 0;
  XSync(rec->display, False);
  TakeX11Error();
  freeWindowExtras(rec);
}

#define X11_ATOM_NAME(id, name) name,
const char* const WINDOW_ATOM_NAMES[X11_ATOM_COUNT] = {X11_WINDOW_ATOMS(X11_ATOM_NAME)};
#undef X11_ATOM_NAME

// Every atom of the list in one request batch and one reply wait; atoms
// are made when the server does not know them yet (on a fresh server
// nobody has made WM_DELETE_WINDOW, and a window without it could not be
// closed). A failed call is tried again by the next window.
void internWindowAtoms(X11ConnectionRecord* c) {
  if (c->atomsInterned) return;
  if (XInternAtoms(c->display, const_cast<char**>(WINDOW_ATOM_NAMES), X11_ATOM_COUNT, False,
                   c->atoms))
    c->atomsInterned = 1;
}

void copyRecordAtoms(X11DisplayRecord* rec, const Atom* atoms) {
  rec->wmDeleteWindow = atoms[X11_ATOM_WM_DELETE_WINDOW];
  rec->xdndEnter = atoms[X11_ATOM_XDND_ENTER];
  rec->xdndLeave = atoms[X11_ATOM_XDND_LEAVE];
  rec->xdndPosition = atoms[X11_ATOM_XDND_POSITION];
  rec->xdndStatus = atoms[X11_ATOM_XDND_STATUS];
  rec->xdndDrop = atoms[X11_ATOM_XDND_DROP];
  rec->xdndSelection = atoms[X11_ATOM_XDND_SELECTION];
  rec->xdndFinished = atoms[X11_ATOM_XDND_FINISHED];
  rec->xdndActionCopy = atoms[X11_ATOM_XDND_ACTION_COPY];
  rec->xdndTypeList = atoms[X11_ATOM_XDND_TYPE_LIST];
  rec->primary = XA_PRIMARY;
  rec->clipboard = atoms[X11_ATOM_CLIPBOARD];
  rec->targets = atoms[X11_ATOM_TARGETS];
  rec->xclipOut = atoms[X11_ATOM_XCLIP_OUT];
  rec->textPlain = atoms[X11_ATOM_TEXT_PLAIN];
  rec->utf8String = atoms[X11_ATOM_UTF8_STRING];
  rec->imagePng = atoms[X11_ATOM_IMAGE_PNG];
  rec->incr = atoms[X11_ATOM_INCR];
  rec->uriList = atoms[X11_ATOM_URI_LIST];
}

void releaseGrab(X11DisplayRecord* rec) {
  if (!rec->inputGrabbed) return;
  XUngrabPointer(rec->display, CurrentTime);
  XUngrabKeyboard(rec->display, CurrentTime);
  rec->inputGrabbed = 0;
}

}  // namespace

int IsX11SizePossible(int32_t width, int32_t height) {
  return width >= 1 && height >= 1 && width <= 32767 && height <= 32767;
}

// Opening a window, step by step (OpenX11DisplayWindow runs them in this
// order; the X requests go out in the same order as they always did). A
// step that fails has undone what it made and the ones before it.
namespace {

// The display's connection, bound into its record, with the window atoms
// interned.
ErrorCode attachConnection(const X11Window& window, X11ConnectionRecord** out) {
  X11DisplayRecord* rec = window.record;
  X11ConnectionRecord* c = nullptr;
  ErrorCode error = GetX11Connection(window.server, &c);
  if (error != ERR_NONE) return error;
  if (c->lost.load()) return ERR_XDISPLAY;
  rec->connection = c;
  rec->display = c->display;
  rec->screen = c->screen;
  rec->root = c->root;
  TakeX11Error();
  internWindowAtoms(c);
  *out = c;
  return ERR_NONE;
}

// A transparent window takes the connection's ARGB visual, any other the
// screen's default one.
ErrorCode chooseVisual(X11DisplayRecord* rec, const X11ConnectionRecord* c, bool transparent) {
  if (transparent) {
    if (!c->argbVisual) return ERR_NOARGBVISUAL;
    if (c->rootDepth < 24) return ERR_NEEDCOMPOSITE;
    rec->visual = c->argbVisual;
    rec->depth = 32;
  } else {
    rec->visual = DefaultVisual(rec->display, c->screen);
    rec->depth = c->rootDepth;
  }
  return ERR_NONE;
}

// The shape region of a masked or transparent window, and for a
// transparent one its alpha channel and premultiplied contents.
ErrorCode prepareShape(X11DisplayRecord* rec, const X11ConnectionRecord* c, BitmapHandle* shapeMask,
                       BitmapHandle* alpha, int32_t width, int32_t height) {
  if (!shapeMask && !alpha) return ERR_NONE;
  if (!DesktopLibraryOpen(DESKTOP_XFIXES) || c->xfixesMajor < 2) return ERR_XFIXES;
  ErrorCode error = buildShape(rec, alpha ? alpha : shapeMask, alpha != nullptr, width, height);
  if (error == ERR_NONE && alpha) {
    rec->alphaCopy = X11Bitmaps().cloneAlpha(alpha, width, height);
    if (!rec->alphaCopy) error = ERR_ALLOCALPHA;
    rec->premultiplied = error ? nullptr : X11Bitmaps().alloc(width, height);
    if (!error && !rec->premultiplied) error = ERR_BITMAP;
    rec->alphaWidth = width;
    rec->alphaHeight = height;
  }
  if (error != ERR_NONE) freeWindowExtras(rec);
  return error;
}

ErrorCode createWindow(const X11Window& window, X11DisplayRecord* rec, X11ConnectionRecord* c,
                       bool transparent) {
  Display* d = rec->display;
  XSetWindowAttributes attributes;
  std::memset(&attributes, 0, sizeof attributes);
  unsigned long mask = CWEventMask;
  attributes.event_mask = StructureNotifyMask;
  if (window.style & X11WINDOW_UNMANAGED) {
    attributes.override_redirect = True;
    mask |= CWOverrideRedirect;
  }
  if (transparent) {
    attributes.background_pixel = 0;
    attributes.border_pixel = 0;
    attributes.colormap = c->argbColormap;
    mask |= CWBackPixel | CWBorderPixel | CWColormap;
  }
  rec->window = XCreateWindow(d, rec->root, window.x, window.y, static_cast<unsigned>(window.width),
                              static_cast<unsigned>(window.height), 0, rec->depth, InputOutput,
                              rec->visual, mask, &attributes);
  if (syncError(d) == 0 && rec->window && !c->lost.load()) return ERR_NONE;
  if (c->lost.load()) {
    rec->window = 0;
    rec->shapeRegion = 0;
    freeWindowExtras(rec);
    return ERR_XDISPLAY;
  }
  destroyHalfOpened(rec);
  return ERR_WINDOW;
}

// _NET_WM_STATE for a borderless display that fills its monitor and for
// one that stays on top. Only a borderless display needs its monitor's
// size; the monitors are listed for it alone (three round trips to the
// server with XRandR; the list fails only when memory runs out).
ErrorCode setWindowState(const X11Window& window, X11DisplayRecord* rec, const Atom* atoms) {
  long states[2];
  int stateCount = 0;
  if (window.style & X11WINDOW_BORDERLESS) {
    X11MonitorNode* monitors = ListX11Monitors(window);
    if (!monitors) return ERR_GETMONITORINFO;
    X11MonitorNode* monitor = monitors;
    for (int32_t i = 0; monitor && i < window.monitor; i++) monitor = monitor->next;
    if (!monitor) monitor = monitors;
    if (window.width == monitor->width && window.height == monitor->height)
      states[stateCount++] = static_cast<long>(atoms[X11_ATOM_WM_STATE_FULLSCREEN]);
    while (monitors) {
      X11MonitorNode* next = monitors->next;
      FreeMemory(monitors);
      monitors = next;
    }
  }
  if (window.style & X11WINDOW_ALWAYSONTOP)
    states[stateCount++] = static_cast<long>(atoms[X11_ATOM_WM_STATE_ABOVE]);
  if (stateCount)
    setLongProperty(rec->display, rec->window, atoms[X11_ATOM_WM_STATE], XA_ATOM, states,
                    stateCount);
  return ERR_NONE;
}

void setMotifHints(const X11Window& window, X11DisplayRecord* rec, const Atom* atoms) {
  long motif[5] = {MOTIF_FUNCTIONS, MOTIF_FUNC_ALL, 0, 0, 0};
  if (window.style & X11WINDOW_BORDERLESS) {
    motif[0] = MOTIF_FUNCTIONS | MOTIF_DECORATIONS;
    motif[2] = 0;
  }
  // With "all" set, the listed functions are the ones taken away.
  if (window.style & X11WINDOW_NOHIDE) motif[1] |= MOTIF_FUNC_MINIMIZE;
  if (window.style & X11WINDOW_NOCLOSE) motif[1] |= MOTIF_FUNC_CLOSE;
  if (window.style & X11WINDOW_FIXED) motif[1] |= MOTIF_FUNC_MOVE;
  if (!(window.style & X11WINDOW_SIZEABLE)) motif[1] |= MOTIF_FUNC_RESIZE_MAXIMIZE;
  Atom motifAtom = atoms[X11_ATOM_MOTIF_WM_HINTS];
  setLongProperty(rec->display, rec->window, motifAtom, motifAtom, motif, 5);
}

// Everything the window manager and other clients read: drag-and-drop
// awareness, icon, state, title, transient parent, size and Motif hints,
// the shape, and the close protocol.
ErrorCode setWindowProperties(const X11Window& window, X11DisplayRecord* rec,
                              const X11ConnectionRecord* c) {
  Display* d = rec->display;
  Window w = rec->window;
  long xdnd = XDND_VERSION;
  setLongProperty(d, w, c->atoms[X11_ATOM_XDND_AWARE], XA_ATOM, &xdnd, 1);
  SetX11WindowIcon(d, w, c->atoms[X11_ATOM_WM_ICON]);
  ErrorCode error = setWindowState(window, rec, c->atoms);
  if (error != ERR_NONE) return error;
  SetX11WindowTitle(rec, window.title);
  if (window.parent && window.parent->window) XSetTransientForHint(d, w, window.parent->window);
  SetX11SizeHints(window,
                  PPosition | ((window.style & X11WINDOW_SIZEABLE) ? 0 : PMinSize | PMaxSize));
  setMotifHints(window, rec, c->atoms);
  if (rec->shapeRegion) {
    Dl_XFixesSetWindowShapeRegion(d, w, 0 /* ShapeBounding */, 0, 0, rec->shapeRegion);
    Dl_XFixesSetWindowShapeRegion(d, w, 2 /* ShapeInput */, 0, 0, rec->shapeRegion);
  }
  copyRecordAtoms(rec, c->atoms);
  Atom protocols[1] = {rec->wmDeleteWindow};
  XSetWMProtocols(d, w, protocols, 1);
  return ERR_NONE;
}

// The window's graphics context: copy mode, solid fill, no exposures, the
// default colours; a transparent window's writes every plane unclipped.
ErrorCode createGc(X11DisplayRecord* rec, const X11ConnectionRecord* c, bool transparent) {
  Display* d = rec->display;
  XGCValues values;
  std::memset(&values, 0, sizeof values);
  XGetGCValues(d, DefaultGC(d, c->screen), GCForeground | GCBackground, &values);
  unsigned long gcMask =
      GCFunction | GCFillStyle | GCGraphicsExposures | GCForeground | GCBackground;
  values.function = GXcopy;
  values.fill_style = FillSolid;
  values.graphics_exposures = False;
  if (transparent) {
    values.plane_mask = AllPlanes;
    values.foreground = 0;
    values.background = 0;
    values.clip_mask = None;
    gcMask |= GCPlaneMask | GCClipMask;
  }
  rec->gc = XCreateGC(d, rec->window, gcMask, &values);
  if (syncError(d) == 0 && rec->gc) return ERR_NONE;
  destroyHalfOpened(rec);
  return ERR_WINDOW;
}

// Places and maps the window and waits (bounded) until it is viewable. A
// window that must not take the focus maps with the input hint off, which
// is turned on again once it is mapped.
void mapWindow(const X11Window& window, X11DisplayRecord* rec, int takeFocus) {
  Display* d = rec->display;
  Window w = rec->window;
  XMoveWindow(d, w, window.x, window.y);
  rec->mapTimedOut = 0;
  rec->focusTaken = 0;
  if (takeFocus) {
    XMapRaised(d, w);
    waitWindowMapped(rec);
    ActivateX11Window(rec);
  } else {
    XWMHints* hints = XAllocWMHints();
    if (hints) {
      hints->flags = InputHint;
      hints->input = False;
      XSetWMHints(d, w, hints);
    }
    XMapWindow(d, w);
    waitWindowMapped(rec);
    if (hints) {
      hints->input = True;
      XSetWMHints(d, w, hints);
      XFree(hints);
    }
  }
  TakeX11Error();  // a focus change refused by the server is no failure
}

// The frame sizes of the mapped window from "_NET_FRAME_EXTENTS" (left,
// right, top, bottom), all 0 without it, as ReadFrameExtents reads them.
// The wait for the map ended with a round trip, so the property is read
// without another sync, and its atom is one of the window atoms.
void readFrameExtents(X11DisplayRecord* rec, Atom extents, X11FrameSizes* frame) {
  *frame = X11FrameSizes{};
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(rec->display, rec->window, extents, 0, 4, False, XA_CARDINAL, &type,
                         &format, &count, &after, &data) != Success)
    return;
  if (data && type == XA_CARDINAL && format == 32 && count == 4 && after == 0) {
    const long* values = reinterpret_cast<const long*>(data);
    frame->left = static_cast<int32_t>(values[0]);
    frame->top = static_cast<int32_t>(values[2]);
    frame->horizontal = static_cast<int32_t>(values[0] + values[1]);
    frame->vertical = static_cast<int32_t>(values[2] + values[3]);
  }
  if (data) XFree(data);
}

// The events the pump reads, and the clipboard owner changes through
// XFixes where the server has it.
void selectWindowInput(X11DisplayRecord* rec, const X11ConnectionRecord* c) {
  XSelectInput(rec->display, rec->window,
               KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                   EnterWindowMask | LeaveWindowMask | PointerMotionMask | ButtonMotionMask |
                   ExposureMask | VisibilityChangeMask | StructureNotifyMask | FocusChangeMask |
                   PropertyChangeMask | OwnerGrabButtonMask);
  if (DesktopLibraryOpen(DESKTOP_XFIXES) && c->xfixesMajor > 0 && Dl_XFixesSelectSelectionInput)
    Dl_XFixesSelectSelectionInput(rec->display, rec->window, rec->clipboard,
                                  XFixesSetSelectionOwnerNotifyMask |
                                      XFixesSelectionWindowDestroyNotifyMask |
                                      XFixesSelectionClientCloseNotifyMask);
}

}  // namespace

ErrorCode OpenX11DisplayWindow(const X11Window& window, int takeFocus, BitmapHandle* shapeMask,
                               BitmapHandle* alpha, X11FrameSizes* frame) {
  X11DisplayRecord* rec = window.record;
  if (!rec) return ERR_WINDOW;
  X11ConnectionRecord* c = nullptr;
  ErrorCode error = attachConnection(window, &c);
  if (error == ERR_NONE) error = chooseVisual(rec, c, alpha != nullptr);
  if (error == ERR_NONE)
    error = prepareShape(rec, c, shapeMask, alpha, window.width, window.height);
  if (error == ERR_NONE) error = createWindow(window, rec, c, alpha != nullptr);
  if (error != ERR_NONE) return error;
  if ((error = setWindowProperties(window, rec, c)) != ERR_NONE) {
    destroyHalfOpened(rec);
    return error;
  }
  if ((error = createGc(rec, c, alpha != nullptr)) != ERR_NONE) return error;
  mapWindow(window, rec, takeFocus);
  if (!(window.style & X11WINDOW_BORDERLESS))
    readFrameExtents(rec, c->atoms[X11_ATOM_FRAME_EXTENTS], frame);
  selectWindowInput(rec, c);

  rec->clipOfferKind = 0;
  if (window.style & X11WINDOW_DISABLEBLANKER) {
    SetScreenSaverEnabled(rec, 0);
    rec->saverSuspended = 1;
  }
  rec->moveDrag = rec->sizeDrag = 0;
  XSync(rec->display, False);
  TakeX11Error();
  return ERR_NONE;
}

XIC X11InputContext(X11DisplayRecord* rec) {
  if (rec->inputContext || !rec->window || !rec->connection) return rec->inputContext;
  XIM method = OpenX11InputMethod(rec->connection);
  if (!method) return nullptr;
  rec->inputContext = XCreateIC(method, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                                XNClientWindow, rec->window, XNFocusWindow, rec->window, nullptr);
  if (rec->inputContext) XSetICFocus(rec->inputContext);
  return rec->inputContext;
}

void CloseX11DisplayWindow(X11DisplayRecord* rec) {
  if (!rec || !rec->window) return;
  Display* d = rec->display;
  bool alive = rec->connection && !rec->connection->lost.load();
  if (alive) {
    if (rec->saverSuspended) SetScreenSaverEnabled(rec, 1);
    releaseGrab(rec);
    if (rec->inputContext) XDestroyIC(rec->inputContext);
    XUnmapWindow(d, rec->window);
    if (rec->gc) XFreeGC(d, rec->gc);
    XDestroyWindow(d, rec->window);
  }
  rec->saverSuspended = 0;
  rec->inputGrabbed = 0;
  rec->inputContext = nullptr;
  rec->gc = nullptr;
  if (!alive) rec->shapeRegion = 0;
  freeWindowExtras(rec);
  // Offered clipboard data belongs to the window: nobody can ask for it now.
  FreeOfferedClipboard(rec);
  rec->window = 0;
  if (alive) {
    XSync(d, False);
    TakeX11Error();
  }
}

int FillX11WindowWithPixel(const X11Window& window, int32_t dx, int32_t dy, int32_t width,
                           int32_t height, uint32_t stored) {
  X11DisplayRecord* rec = window.record;
  // Where the image would not be put, nothing is filled either.
  if (!rec || !window.open || !rec->window || !rec->gc || !rec->connection ||
      rec->connection->lost.load() || rec->moveDrag || rec->sizeDrag || width <= 0 || height <= 0)
    return 1;
  // Transparent windows premultiply, and videos drawn into the window clip
  // the image: those take the image.
  int32_t videos[4];
  if (rec->depth != 24 || (rec->premultiplied && rec->alphaCopy) ||
      QueryX11VideoRects(window.owner, videos, 1) > 0)
    return 0;
  // The pixel value the server would read from the image: the stored value
  // read back through an image of the same visual, depth and layout.
  uint32_t word = stored;
  XImage* image = XCreateImage(rec->display, rec->visual, 24, ZPixmap, 0,
                               reinterpret_cast<char*>(&word), 1, 1, 32, 4);
  if (!image) return 0;
  unsigned long pixel = XGetPixel(image, 0, 0);
  image->data = nullptr;  // the word is not the image's to free
  XDestroyImage(image);
  XSetForeground(rec->display, rec->gc, pixel);
  XFillRectangle(rec->display, rec->window, rec->gc, dx + window.marginLeft, dy + window.marginTop,
                 static_cast<unsigned>(width), static_cast<unsigned>(height));
  XFlush(rec->display);
  return 1;
}

void MoveX11Window(X11DisplayRecord* rec, int32_t x, int32_t y) {
  if (!rec || !rec->window) return;
  XMoveWindow(rec->display, rec->window, x, y);
  XFlush(rec->display);
}

void SetX11SizeHints(const X11Window& window, long flags) {
  X11DisplayRecord* rec = window.record;
  if (!rec || !rec->window) return;
  XSizeHints* hints = XAllocSizeHints();
  if (!hints) return;
  hints->flags = flags;
  hints->x = window.x;
  hints->y = window.y;
  hints->min_width = hints->max_width = window.width;
  hints->min_height = hints->max_height = window.height;
  XSetWMNormalHints(rec->display, rec->window, hints);
  XFree(hints);
}

void SizeMoveX11Window(const X11Window& window) {
  X11DisplayRecord* rec = window.record;
  if (!rec || !rec->window) return;
  if (!(window.style & X11WINDOW_SIZEABLE)) SetX11SizeHints(window, PMinSize | PMaxSize);
  XMoveResizeWindow(rec->display, rec->window, window.x, window.y,
                    static_cast<unsigned>(std::max(window.width, 1)),
                    static_cast<unsigned>(std::max(window.height, 1)));
  XFlush(rec->display);
}

namespace {

// The UTF-8 text as Latin-1 bytes; false when it is not valid UTF-8 or a
// character lies above U+00FF.
bool utf8ToLatin1(const char* text, std::string* out) {
  out->clear();
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p;) {
    if (*p < 0x80) {
      out->push_back(static_cast<char>(*p++));
    } else if ((*p == 0xC2 || *p == 0xC3) && (p[1] & 0xC0) == 0x80) {
      out->push_back(static_cast<char>(((*p & 0x03) << 6) | (p[1] & 0x3F)));
      p += 2;
    } else {
      return false;
    }
  }
  return true;
}

void setTextProperty(Display* d, Window w, Atom property, Atom type, const std::string& text) {
  XChangeProperty(d, w, property, type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(text.data()),
                  static_cast<int>(text.size()));
}

}  // namespace

// In UTF-8 mode the window and icon names are written directly rather than
// through Xlib's UTF-8 property calls, whose first use loads the locale
// database (more work than the rest of opening the window): WM_NAME and
// WM_ICON_NAME hold the title as Latin-1 STRING when every character fits,
// else as UTF8_STRING; _NET_WM_NAME and _NET_WM_ICON_NAME hold it as
// UTF8_STRING.
void SetX11WindowTitle(X11DisplayRecord* rec, const char* title) {
  if (!rec || !rec->window) return;
  if (!unicodeUtf8Mode || !rec->connection) {
    XStoreName(rec->display, rec->window, title);
    return;
  }
  const Atom* atoms = rec->connection->atoms;
  std::string utf8 = title, legacy;
  Atom legacyType = atoms[X11_ATOM_UTF8_STRING];
  if (utf8ToLatin1(title, &legacy)) {
    legacyType = XA_STRING;
  } else {
    legacy = utf8;
  }
  setTextProperty(rec->display, rec->window, XA_WM_NAME, legacyType, legacy);
  setTextProperty(rec->display, rec->window, XA_WM_ICON_NAME, legacyType, legacy);
  setTextProperty(rec->display, rec->window, atoms[X11_ATOM_NET_WM_NAME],
                  atoms[X11_ATOM_UTF8_STRING], utf8);
  setTextProperty(rec->display, rec->window, atoms[X11_ATOM_NET_WM_ICON_NAME],
                  atoms[X11_ATOM_UTF8_STRING], utf8);
}

void ActivateX11Window(X11DisplayRecord* rec) {
  if (!rec || !rec->window) return;
  TakeX11Error();  // errors of earlier requests are not the focus's
  XSetInputFocus(rec->display, rec->window, RevertToNone, CurrentTime);
  XSync(rec->display, False);
  // Focus on a window not yet viewable is refused: harmless.
  rec->focusTaken = TakeX11Error() == 0 ? 1 : 0;
}

int X11WindowTookFocus(const X11DisplayRecord* rec) {
  return rec && rec->window && rec->focusTaken ? 1 : 0;
}

ErrorCode IconifyX11Window(const X11Window& window, int iconify) {
  X11DisplayRecord* rec = window.record;
  if (!rec || !rec->window || (window.style & X11WINDOW_FULLSCREEN)) return ERR_NONE;
  if (iconify) {
    XIconifyWindow(rec->display, rec->window, rec->screen);
    XFlush(rec->display);
  } else {
    XMapRaised(rec->display, rec->window);
    waitWindowMapped(rec);
    ActivateX11Window(rec);
  }
  return ERR_NONE;
}

ErrorCode DetermineX11BorderSizes(const X11Window& window, X11FrameSizes* frame) {
  if (window.style & X11WINDOW_BORDERLESS) {
    *frame = X11FrameSizes{};
    return ERR_NONE;
  }
  X11ConnectionRecord* c = nullptr;
  ErrorCode error = GetX11Connection(window.server, &c);
  if (error != ERR_NONE) return error;
  *frame = X11FrameSizes{c->frameLeft, c->frameTop, c->frameHorizontal, c->frameVertical};
  return ERR_NONE;
}

void SetScreenSaverEnabled(X11DisplayRecord* rec, int enable) {
  enable = enable ? 1 : 0;
  if (!rec || !rec->display || enable == screenSaverEnabled) return;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (DesktopLibraryOpen(DESKTOP_XSS) &&
      Dl_XScreenSaverQueryExtension(rec->display, &eventBase, &errorBase) &&
      Dl_XScreenSaverQueryVersion(rec->display, &major, &minor) &&
      (major > 1 || (major == 1 && minor >= 1))) {
    Dl_XScreenSaverSuspend(rec->display, enable ? False : True);
    XResetScreenSaver(rec->display);
  } else if (!enable) {
    XGetScreenSaver(rec->display, &rec->savedSaverTimeout, &rec->savedSaverInterval,
                    &rec->savedSaverBlanking, &rec->savedSaverExposures);
    XSetScreenSaver(rec->display, 0, 0, DontPreferBlanking, DefaultExposures);
  } else {
    XSetScreenSaver(rec->display, rec->savedSaverTimeout, rec->savedSaverInterval,
                    rec->savedSaverBlanking, rec->savedSaverExposures);
  }
  XSync(rec->display, False);
  TakeX11Error();
  screenSaverEnabled = enable;
}

// ---- Pointers ----

ErrorCode CreateX11Pointer(const uint32_t* argb, int32_t hotX, int32_t hotY, X11PointerNode** out,
                           int32_t width, int32_t height) {
  *out = nullptr;
  if (!DesktopLibraryOpen(DESKTOP_XCURSOR)) return ERR_XCURSOR;
  if (width < 1 || height < 1) return ERR_WRONGUSAGE;
  auto* node = static_cast<X11PointerNode*>(AllocMemory(sizeof(X11PointerNode), 1));
  if (!node) return ERR_MEM;
  node->image = Dl_XcursorImageCreate(width, height);
  if (!node->image) {
    FreeMemory(node);
    return ERR_MEM;
  }
  std::memcpy(node->image->pixels, argb,
              static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  node->image->xhot = static_cast<XcursorDim>(std::clamp(hotX, 0, width - 1));
  node->image->yhot = static_cast<XcursorDim>(std::clamp(hotY, 0, height - 1));
  *out = node;
  return ERR_NONE;
}

void FreeX11Pointer(X11PointerNode* pointer) {
  if (!pointer) return;
  if (pointer->image && Dl_XcursorImageDestroy) Dl_XcursorImageDestroy(pointer->image);
  for (X11PointerNode* node = pointer; node;) {
    X11PointerNode* next = node->next;
    if (node->cursor && node->connection && !node->connection->lost.load())
      XFreeCursor(node->connection->display, node->cursor);
    FreeMemory(node);
    node = next;
  }
}

void SetX11Pointer(X11DisplayRecord* rec, X11PointerNode* pointer, int32_t kind) {
  if (!rec || !rec->connection) return;
  Cursor cursor = 0;
  if (kind == 1) {
    cursor = GetX11BusyCursor(rec->connection);
  } else if (kind != 0 && pointer && pointer->image) {
    X11PointerNode* node = pointer->next;
    while (node && node->connection != rec->connection) node = node->next;
    if (!node) {
      Cursor made = Dl_XcursorImageLoadCursor(rec->display, pointer->image);
      if (made) {
        node = static_cast<X11PointerNode*>(AllocMemory(sizeof(X11PointerNode), 1));
        if (!node) {
          XFreeCursor(rec->display, made);
        } else {
          node->connection = rec->connection;
          node->cursor = made;
          X11PointerNode* tail = pointer;
          while (tail->next) tail = tail->next;
          tail->next = node;
        }
      }
    }
    if (node) cursor = node->cursor;
  }
  rec->currentCursor = cursor;
}

void ShowX11Pointer(X11DisplayRecord* rec) {
  if (!rec || !rec->window) return;
  if (rec->currentCursor)
    XDefineCursor(rec->display, rec->window, rec->currentCursor);
  else
    XUndefineCursor(rec->display, rec->window);
  XFlush(rec->display);
}

void HideX11Pointer(X11DisplayRecord* rec) {
  if (!rec || !rec->window || !rec->connection) return;
  XDefineCursor(rec->display, rec->window, GetX11BlankCursor(rec->connection));
  XFlush(rec->display);
}

void MoveX11Pointer(X11DisplayRecord* rec, int32_t x, int32_t y) {
  if (!rec || !rec->window) return;
  XWarpPointer(rec->display, None, rec->window, 0, 0, 0, 0, x, y);
  XFlush(rec->display);
}

int32_t CountX11PointerCursors(const X11PointerNode* pointer) {
  int32_t n = 0;
  for (const X11PointerNode* node = pointer ? pointer->next : nullptr; node; node = node->next) n++;
  return n;
}

ErrorCode GrabX11Input(X11DisplayRecord* rec) {
  int pointer =
      XGrabPointer(rec->display, rec->window, True,
                   ButtonPressMask | ButtonReleaseMask | PointerMotionMask | ButtonMotionMask,
                   GrabModeAsync, GrabModeAsync, None, None, CurrentTime);
  if (pointer != GrabSuccess) return ERR_WINDOW;
  int keyboard =
      XGrabKeyboard(rec->display, rec->window, True, GrabModeAsync, GrabModeAsync, CurrentTime);
  if (keyboard != GrabSuccess) {
    XUngrabPointer(rec->display, CurrentTime);
    return ERR_WINDOW;
  }
  rec->inputGrabbed = 1;
  return ERR_NONE;
}

int ReleaseX11InputGrab(X11DisplayRecord* rec) {
  if (!rec || !rec->inputGrabbed) return 0;
  releaseGrab(rec);
  XSync(rec->display, False);
  return 1;
}
