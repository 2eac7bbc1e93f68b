// Process-wide X11 set-up and the connection records: locale, desktop
// libraries, timer signals, desktop scale factor, one lazily opened record
// per X server name with its pointer-watch thread, and the orderly close.
// Invariants: a record is in the list only when its set-up completed; every
// display this back end opens has the error handlers installed, so X errors
// become codes and a broken connection only marks its record lost; from the
// start-up's first look at the default server until the close, the process
// holds a connection to it (the look's display becomes the default record's).
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <new>

#include <X11/Xatom.h>
#include <X11/Xresource.h>
#include <X11/cursorfont.h>
#include <xcb/xcb.h>
#include <sys/select.h>
#include <unistd.h>

#include "platform/linux/dynlib.h"
#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/joystick_private.h"
#include "platform/linux/thread_private.h"
#include "platform/linux/x11calls_private.h"
#include "platform/linux/x11hooks_private.h"
#include "platform/linux/eventhooks_private.h"
#include "platform/linux/desktop_private.h"
#include "platform/linux/requester_private.h"
#include "platform/linux/system_private.h"

namespace {

constexpr int32_t FRAME_WAIT_US = 100000;  // how long a window manager may take
constexpr long POINTER_POLL_US = 20000;    // pointer-watch period
constexpr double BASE_DPI = 96.0;
// Font cursors of the eight resize zones: top-left, bottom-left, top-right,
// bottom-right, left, right, top, bottom.
constexpr unsigned RESIZE_SHAPES[X11_RESIZE_CURSORS] = {134, 12, 136, 14, 70, 96, 138, 16};
constexpr unsigned BUSY_SHAPE = 150;                                              // the watch
constexpr unsigned MOVE_SHAPE = 52;                                               // the fleur
constexpr unsigned long IM_STYLE_NOTHING = XIMPreeditNothing | XIMStatusNothing;  // 0x408

X11ConnectionRecord* connectionList = nullptr;
double scaleFactor = 1.0;
int32_t fixedPixelFormat = -1;  // the format every connection must match
int noPointerThread = 0;
std::atomic<int32_t> lastXError{0};
bool handlersInstalled = false;
// The default display that start-up opened to read the desktop scale. It is
// kept open and handed to the default connection record: an X server that
// resets when its last client leaves (the usual setting) drops connections
// that arrive while it resets, so closing the only connection and opening
// the next one a moment later fails now and then with no display at all.
Display* probeDisplay = nullptr;
std::atomic<int32_t> probeLost{0};
// The pointer-watch threads sleep on this condition between polls so that a
// stop request ends the sleep at once instead of after a whole period; it
// runs on the monotonic clock, so a change of the wall clock never
// stretches a period.
pthread_mutex_t pointerWaitLock = PTHREAD_MUTEX_INITIALIZER;
// Set when the wake messages are first read: until then nobody takes the
// watchers' reports, and they wait on the same condition before connecting.
std::atomic<int32_t> pointerWatchWanted{0};
pthread_cond_t* pointerWaitWake() {
  static pthread_cond_t* const condition = [] {
    static pthread_cond_t made;
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&made, &attributes);
    pthread_condattr_destroy(&attributes);
    return &made;
  }();
  return condition;
}

int recordXError(Display*, XErrorEvent* event) {
  lastXError.store(event->error_code);
  return 0;
}

// Xlib calls the exit handler after the I/O error handler; returning from
// it leaves the display unusable but the program running.
int recordIOError(Display*) { return 0; }
void markLost(Display*, void* lost) {
  if (lost) static_cast<std::atomic<int32_t>*>(lost)->store(1);
  lastXError.store(ERR_XDISPLAY);
}

// The first visual of the screen, in the server's order (the order that
// XGetVisualInfo lists them in), that the test accepts; null when none does.
// The screen's depths are walked directly: XGetVisualInfo finds each match
// again by its id among all visuals, which cost more than the rest of the
// connection's set-up.
template <typename Test>
Visual* firstVisual(Display* display, int screen, Test accepts) {
  const Screen* s = ScreenOfDisplay(display, screen);
  for (int i = 0; s && i < s->ndepths; i++) {
    const Depth& depth = s->depths[i];
    for (int j = 0; j < depth.nvisuals; j++)
      if (accepts(depth.depth, depth.visuals[j])) return &depth.visuals[j];
  }
  return nullptr;
}

// The pixel format of the first TrueColor visual of the root depth whose
// masks one of the formats matches.
int32_t findPixelFormat(Display* display, int screen, int depth) {
  int32_t format = -1;
  firstVisual(display, screen, [&](int visualDepth, const Visual& v) {
    if (visualDepth != depth || v.c_class != TrueColor) return false;
    unsigned long r = v.red_mask, g = v.green_mask, b = v.blue_mask;
    if (r == 0xff0000 && g == 0xff00 && b == 0xff)
      format = 10;
    else if (r == 0xff00 && g == 0xff0000 && b == 0xff000000UL)
      format = 11;
    else if (r == 0xff000000UL && g == 0xff0000 && b == 0xff00)
      format = 12;
    else if (r == 0xf800 && g == 0x7e0 && b == 0x1f)
      format = 4;
    return format >= 0;
  });
  return format;
}

// Whether a window manager that follows the desktop conventions runs: its
// check window is named on the root and names itself. Without one nobody
// answers a frame-extents request, and waiting for the answer only delays
// every start.
bool windowManagerRuns(X11ConnectionRecord* c) {
  Atom check = XInternAtom(c->display, "_NET_SUPPORTING_WM_CHECK", False);
  auto readWindow = [&](Window from, Window* out) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    bool found = XGetWindowProperty(c->display, from, check, 0, 1, False, XA_WINDOW, &type, &format,
                                    &count, &after, &data) == Success &&
                 data && type == XA_WINDOW && format == 32 && count == 1;
    if (found) *out = static_cast<Window>(reinterpret_cast<const long*>(data)[0]);
    if (data) XFree(data);
    return found;
  };
  Window manager = 0, self = 0;
  if (!readWindow(c->root, &manager) || !manager) return false;
  // A manager that has gone leaves a stale name behind; reading from the
  // destroyed window is an X error, which is dropped here.
  bool alive = readWindow(manager, &self) && self == manager;
  TakeX11Error();
  return alive;
}

// Waits until the connection has input or the deadline passes.
void waitForInput(X11ConnectionRecord* c, int32_t micros) {
  if (c->fd < 0 || c->fd >= FD_SETSIZE || micros <= 0) return;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(c->fd, &set);
  timeval timeout = {micros / 1000000, micros % 1000000};
  select(c->fd + 1, &set, nullptr, nullptr, &timeout);
}

void readFrameExtentsOfTestWindow(X11ConnectionRecord* c) {
  if (!windowManagerRuns(c)) return;
  XSetWindowAttributes attributes;
  std::memset(&attributes, 0, sizeof attributes);
  attributes.event_mask = PropertyChangeMask | StructureNotifyMask;
  Window window = XCreateWindow(c->display, c->root, 0, 0, 640, 480, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWEventMask, &attributes);
  if (!window) return;
  Atom request = XInternAtom(c->display, "_NET_REQUEST_FRAME_EXTENTS", False);
  Atom extents = XInternAtom(c->display, "_NET_FRAME_EXTENTS", False);
  XEvent message;
  std::memset(&message, 0, sizeof message);
  message.xclient.type = ClientMessage;
  message.xclient.window = window;
  message.xclient.message_type = request;
  message.xclient.format = 32;
  XSendEvent(c->display, c->root, False, SubstructureNotifyMask | SubstructureRedirectMask,
             &message);
  XFlush(c->display);
  TimeValue start, now;
  GetSysTime(&start);
  for (;;) {
    XEvent event;
    if (XCheckTypedWindowEvent(c->display, window, PropertyNotify, &event) &&
        event.xproperty.atom == extents) {
      int32_t left, top, horizontal, vertical;
      ReadFrameExtents(c->display, window, &left, &top, &horizontal, &vertical);
      c->frameLeft = left;
      c->frameTop = top;
      c->frameHorizontal = horizontal;
      c->frameVertical = vertical;
      break;
    }
    GetSysTime(&now);
    SubTime(&now, &start);
    if (now.seconds > 0 || now.micros >= static_cast<uint32_t>(FRAME_WAIT_US)) break;
    // The check above read everything the server had sent; only new input
    // can bring the answer.
    waitForInput(c, FRAME_WAIT_US - static_cast<int32_t>(now.micros));
  }
  XDestroyWindow(c->display, window);
  // Drop what the test window caused, so the pump never sees it.
  XSync(c->display, False);
  XEvent event;
  while (XCheckWindowEvent(c->display, window, ~0L, &event)) {
  }
}

// One poll period, ended early by a stop request (checked under the lock
// that the stopping thread signals under, so no request is missed).
void sleepUnlessStopped(X11ConnectionRecord* c) {
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_nsec += POINTER_POLL_US * 1000;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&pointerWaitLock);
  while (!c->pointerStop.load()) {
    int result = pthread_cond_timedwait(pointerWaitWake(), &pointerWaitLock, &until);
    if (result == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(&pointerWaitLock);
}

void stopPointerThread(X11ConnectionRecord* c) {
  pthread_mutex_lock(&pointerWaitLock);
  c->pointerStop.store(1);
  pthread_cond_broadcast(pointerWaitWake());
  pthread_mutex_unlock(&pointerWaitLock);
  pthread_join(c->pointerThread, nullptr);
}

// The root window of the screen that the connection's name chose.
xcb_window_t defaultRoot(xcb_connection_t* connection, int screen) {
  xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screen && roots.rem > 0; i++) xcb_screen_next(&roots);
  return roots.rem > 0 ? roots.data->root : 0;
}

// The watcher opens its own connection on its own thread once its reports
// are wanted, so that start-up never waits for the handshake. It speaks to
// the server through xcb: a server that goes away, during the handshake or
// later, leaves an error state on the connection. Xlib would end the
// process instead, because a display's exit handler can only be replaced
// once XOpenDisplay has returned.
void* pointerWatchMain(void* argument) {
  auto* c = static_cast<X11ConnectionRecord*>(argument);
  pthread_mutex_lock(&pointerWaitLock);
  while (!c->pointerStop.load() && !pointerWatchWanted.load())
    pthread_cond_wait(pointerWaitWake(), &pointerWaitLock);
  pthread_mutex_unlock(&pointerWaitLock);
  if (c->pointerStop.load()) return nullptr;
  int screen = 0;
  xcb_connection_t* connection = xcb_connect(c->serverName[0] ? c->serverName : nullptr, &screen);
  xcb_window_t root = xcb_connection_has_error(connection) ? 0 : defaultRoot(connection, screen);
  while (root && !c->pointerStop.load()) {
    xcb_query_pointer_reply_t* reply =
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, root), nullptr);
    if (!reply) {
      if (xcb_connection_has_error(connection)) {
        lastXError.store(ERR_XDISPLAY);
        break;
      }
    } else {
      int32_t rootX = reply->root_x, rootY = reply->root_y;
      bool sameScreen = reply->same_screen != 0;
      std::free(reply);
      if (sameScreen && (rootX != c->lastPointerX.load() || rootY != c->lastPointerY.load())) {
        c->lastPointerX.store(rootX);
        c->lastPointerY.store(rootY);
        SendWakeMessage(WAKE_POINTER, reinterpret_cast<uintptr_t>(c));
      }
    }
    sleepUnlessStopped(c);
  }
  xcb_disconnect(connection);
  return nullptr;
}

// With a cursor theme installed, Xlib loads every font cursor from the
// theme's files, which took a fifth of a start; the cursors are therefore
// made when one of them is first asked for.
void makeCursors(X11ConnectionRecord* c) {
  c->cursorsPending = 0;
  if (c->lost.load()) return;
  c->busyCursor = XCreateFontCursor(c->display, BUSY_SHAPE);
  c->moveCursor = XCreateFontCursor(c->display, MOVE_SHAPE);
  for (int i = 0; i < X11_RESIZE_CURSORS; i++)
    c->resizeCursors[i] = XCreateFontCursor(c->display, RESIZE_SHAPES[i]);
  static char empty[1] = {0};
  Pixmap pixmap = XCreateBitmapFromData(c->display, c->root, empty, 1, 1);
  if (pixmap) {
    XColor black;
    std::memset(&black, 0, sizeof black);
    c->blankCursor = XCreatePixmapCursor(c->display, pixmap, pixmap, &black, &black, 0, 0);
    XFreePixmap(c->display, pixmap);
  }
}

void findArgbVisual(X11ConnectionRecord* c) {
  c->argbVisual = firstVisual(c->display, c->screen, [](int depth, const Visual& v) {
    return depth == 32 && v.c_class == TrueColor && v.red_mask == 0xff0000 &&
           v.green_mask == 0xff00 && v.blue_mask == 0xff && v.bits_per_rgb == 8;
  });
  if (!c->argbVisual) return;
  c->argbColormap = XCreateColormap(c->display, c->root, c->argbVisual, AllocNone);
  XInstallColormap(c->display, c->argbColormap);
}

// Opening the input method makes Xlib read and parse the locale's whole
// Compose table, which costs more than all the rest of start-up; it is
// therefore opened when a window first needs an input context.
void openInputMethod(X11ConnectionRecord* c) {
  if (!XSupportsLocale()) return;
  XSetLocaleModifiers("@im=none");
  XIM method = XOpenIM(c->display, nullptr, nullptr, nullptr);
  if (!method) return;
  XIMStyles* styles = nullptr;
  bool usable = false;
  if (!XGetIMValues(method, XNQueryInputStyle, &styles, nullptr) && styles) {
    for (unsigned i = 0; i < styles->count_styles; i++)
      if (styles->supported_styles[i] == IM_STYLE_NOTHING) usable = true;
    XFree(styles);
  }
  if (usable)
    c->inputMethod = method;
  else
    XCloseIM(method);
}

void freeConnection(X11ConnectionRecord* c) {
  FreeX11IncrSends(c);
  if (c->inputMethod) XCloseIM(c->inputMethod);
  if (c->pointerThread) stopPointerThread(c);
  if (c->display && !c->lost.load()) {
    if (c->busyCursor) XFreeCursor(c->display, c->busyCursor);
    if (c->moveCursor) XFreeCursor(c->display, c->moveCursor);
    if (c->blankCursor) XFreeCursor(c->display, c->blankCursor);
    for (Cursor cursor : c->resizeCursors)
      if (cursor) XFreeCursor(c->display, cursor);
    if (c->argbColormap) XFreeColormap(c->display, c->argbColormap);
  }
  if (c->display) XCloseDisplay(c->display);
  c->~X11ConnectionRecord();
  FreeMemory(c);
}

void installHandlers() {
  if (handlersInstalled) return;
  // Xlib writes to its socket without MSG_NOSIGNAL: a server that went away
  // would end the process with SIGPIPE before the I/O error handler could
  // mark the connection lost. Ignored, the write fails with EPIPE instead.
  // Programs the player starts get the default action back.
  signal(SIGPIPE, SIG_IGN);
  XInitThreads();
  XSetErrorHandler(recordXError);
  XSetIOErrorHandler(recordIOError);
  handlersInstalled = true;
}

}  // namespace

void WatchX11Display(Display* display, std::atomic<int32_t>* lost) {
  installHandlers();
  XSetIOErrorExitHandler(display, markLost, lost);
}

X11ConnectionRecord* GetX11ConnectionList() { return connectionList; }

void WantX11PointerWatch() {
  if (pointerWatchWanted.load(std::memory_order_relaxed)) return;
  pthread_mutex_lock(&pointerWaitLock);
  pointerWatchWanted.store(1);
  pthread_cond_broadcast(pointerWaitWake());
  pthread_mutex_unlock(&pointerWaitLock);
}

int32_t TakeX11Error() { return lastXError.exchange(0); }

void SetNoPointerThread(int off) { noPointerThread = off ? 1 : 0; }

void GetDpiScaleFactor(double* factor) {
  if (factor) *factor = scaleFactor;
}

ErrorCode OpenX11Connection() {
  const char* ctype = setlocale(LC_CTYPE, nullptr);
  // Only the character type follows the environment: numbers keep the "C"
  // form that scripts and files rely on.
  if (ctype && std::strcmp(ctype, "C") == 0) setlocale(LC_CTYPE, "");
  installHandlers();
  BindDesktopLibraries();
  ErrorCode error = InstallTimerSignal();
  if (error != ERR_NONE) return error;
  scaleFactor = 1.0;
  Display* display = probeDisplay;
  if (!display) {
    display = XOpenDisplay(nullptr);
    if (!display) return ERR_NONE;
    probeLost.store(0);
    WatchX11Display(display, &probeLost);
  }
  XrmInitialize();
  const char* resources = XResourceManagerString(display);
  if (resources) {
    XrmDatabase database = XrmGetStringDatabase(resources);
    char* type = nullptr;
    XrmValue value;
    value.addr = nullptr;
    if (database && XrmGetResource(database, "Xft.dpi", "String", &type, &value) && value.addr) {
      double dpi = std::strtod(value.addr, nullptr);
      if (dpi > 0) scaleFactor = dpi / BASE_DPI;
    }
    if (database) XrmDestroyDatabase(database);
  }
  probeDisplay = display;
  return ERR_NONE;
}

void ReadFrameExtents(Display* display, Window window, int32_t* left, int32_t* top,
                      int32_t* horizontal, int32_t* vertical) {
  *left = *top = *horizontal = *vertical = 0;
  XSync(display, False);
  Atom extents = XInternAtom(display, "_NET_FRAME_EXTENTS", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, extents, 0, 4, False, XA_CARDINAL, &type, &format, &count,
                         &after, &data) != Success)
    return;
  if (data && type == XA_CARDINAL && format == 32 && count == 4 && after == 0) {
    const long* values = reinterpret_cast<const long*>(data);  // left, right, top, bottom
    *left = static_cast<int32_t>(values[0]);
    *top = static_cast<int32_t>(values[2]);
    *horizontal = static_cast<int32_t>(values[0] + values[1]);
    *vertical = static_cast<int32_t>(values[2] + values[3]);
  }
  if (data) XFree(data);
}

ErrorCode GetX11Connection(const char* serverName, X11ConnectionRecord** out) {
  *out = nullptr;
  const char* name = serverName ? serverName : "";
  for (X11ConnectionRecord* c = connectionList; c; c = c->next) {
    if (std::strcmp(c->serverName, name) == 0) {
      *out = c;
      return ERR_NONE;
    }
  }
  void* block = AllocMemory(sizeof(X11ConnectionRecord), 1);
  if (!block) return ERR_MEM;
  auto* c = new (block) X11ConnectionRecord();
  StrCopyBounded(c->serverName, sizeof c->serverName, name);
  if (!name[0] && probeDisplay) {
    c->display = probeDisplay;
    probeDisplay = nullptr;
    if (probeLost.load()) {
      XCloseDisplay(c->display);
      c->display = nullptr;
    }
  }
  if (!c->display) c->display = XOpenDisplay(name[0] ? name : nullptr);
  if (!c->display) {
    c->~X11ConnectionRecord();
    FreeMemory(c);
    return ERR_XDISPLAY;
  }
  WatchX11Display(c->display, &c->lost);
  c->screen = DefaultScreen(c->display);
  c->fd = ConnectionNumber(c->display);
  c->root = RootWindow(c->display, c->screen);
  c->rootDepth = DefaultDepth(c->display, c->screen);
  c->pixelFormat = findPixelFormat(c->display, c->screen, c->rootDepth);
  if (!DisplayAdapterActive()) {
    // A record whose visual cannot be drawn to is not kept: a later call
    // tries again and meets the same answer.
    if (c->pixelFormat < 0 || (fixedPixelFormat >= 0 && fixedPixelFormat != c->pixelFormat)) {
      freeConnection(c);
      return ERR_PIXELFORMAT;
    }
    if (fixedPixelFormat < 0) fixedPixelFormat = c->pixelFormat;
    if (DesktopLibraryOpen(DESKTOP_XFIXES) && Dl_XFixesQueryExtension && Dl_XFixesQueryVersion) {
      int errorBase = 0;
      if (Dl_XFixesQueryExtension(c->display, &c->xfixesEventBase, &errorBase))
        Dl_XFixesQueryVersion(c->display, &c->xfixesMajor, &c->xfixesMinor);
    }
    readFrameExtentsOfTestWindow(c);
    if (!noPointerThread) {
      c->pointerThread = CreateThread(pointerWatchMain, c, 0);
      if (c->pointerThread == 0) {
        freeConnection(c);
        return ERR_THREAD;
      }
    }
    findArgbVisual(c);
    c->cursorsPending = 1;
    c->inputMethodPending = 1;
  }
  X11ConnectionRecord** link = &connectionList;
  while (*link) link = &(*link)->next;
  *link = c;
  *out = c;
  return ERR_NONE;
}

Cursor GetX11BusyCursor(X11ConnectionRecord* c) {
  if (c->cursorsPending) makeCursors(c);
  return c->busyCursor;
}
Cursor GetX11MoveCursor(X11ConnectionRecord* c) {
  if (c->cursorsPending) makeCursors(c);
  return c->moveCursor;
}
Cursor GetX11BlankCursor(X11ConnectionRecord* c) {
  if (c->cursorsPending) makeCursors(c);
  return c->blankCursor;
}
Cursor GetX11ResizeCursor(X11ConnectionRecord* c, int32_t zone) {
  if (zone < 0 || zone >= X11_RESIZE_CURSORS) return 0;
  if (c->cursorsPending) makeCursors(c);
  return c->resizeCursors[zone];
}

XIM OpenX11InputMethod(X11ConnectionRecord* c) {
  if (c->inputMethodPending) {
    c->inputMethodPending = 0;
    openInputMethod(c);
  }
  return c->inputMethod;
}

int32_t GetX11PixelFormat(const X11ConnectionRecord* connection) { return connection->pixelFormat; }

int32_t QueryNativePixelFormat(const char* serverName) {
  X11ConnectionRecord* c = nullptr;
  int32_t format = 10;
  if (GetX11Connection(serverName, &c) == ERR_NONE && c->pixelFormat >= 0) format = c->pixelFormat;
  if (fixedPixelFormat < 0) fixedPixelFormat = format;
  X11Bitmaps().screenFormat(format);
  return format;
}

int GetNativeScreenDepth() {
  // Format 4 (RGB565) takes two bytes a pixel, the 32-bit formats four;
  // before a connection fixes the format, 32 bits.
  return fixedPixelFormat == 4 ? 16 : 32;
}

ErrorCode PrepareX11BackEnd() {
  // The application icon set is already in the window icon: the icon
  // library sets its images when it builds the set, before any window.
  return CreateWakePipe(nullptr, nullptr) ? ERR_NONE : ERR_PIPE;
}

ErrorCode AllocX11DisplayRecord(X11DisplayRecord** out) {
  *out = static_cast<X11DisplayRecord*>(AllocMemory(sizeof(X11DisplayRecord), 1));
  if (!*out) return ERR_MEM;
  return ERR_NONE;
}

void FreeX11DisplayRecord(X11DisplayRecord* record) { FreeMemory(record); }

void CloseX11Connection() {
  FreeJoysticks();
  ShutdownTimers();
  while (connectionList) {
    X11ConnectionRecord* c = connectionList;
    connectionList = c->next;
    freeConnection(c);
  }
  fixedPixelFormat = -1;
  pointerWatchWanted.store(0);
  if (probeDisplay) {
    XCloseDisplay(probeDisplay);
    probeDisplay = nullptr;
  }
  StopRequesterThread();
  UnbindDesktopLibraries();
}
