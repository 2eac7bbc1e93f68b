// Run-time binding of the desktop libraries: opens each by file name, looks
// up every listed function into its slot, and closes them again. Binding is
// lazy: BindDesktopLibraries only arms it, and the first test of a
// library's flag opens that library and fills its slots (GTK, GLib and
// GObject together), printing its warnings then. A program that never asks
// for a requester, a notification or a mode switch never maps GTK and its
// two dozen dependencies.
// Invariants: a slot is non-null only while its library's handle is open
// (unbinding nulls them all); GTK, GLib and GObject are open together or
// not at all; a library's slots are filled before its bound flag is set,
// so a thread that sees the flag (acquire) sees the slots.
#include <atomic>
#include <dlfcn.h>
#include <pthread.h>

#include "platform/linux/dynlib.h"

#define DL_LIBRARY(id, file, label)
#define DL_FUNCTION(id, ret, name, params, silent) ret(*Dl_##name) params = nullptr;
#include "platform/linux/syms_alsa.inc"
#include "platform/linux/syms_glib.inc"
#include "platform/linux/syms_gobject.inc"
#include "platform/linux/syms_gtk.inc"
#include "platform/linux/syms_notify.inc"
#include "platform/linux/syms_pango.inc"
#include "platform/linux/syms_xcursor.inc"
#include "platform/linux/syms_xfixes.inc"
#include "platform/linux/syms_xrandr.inc"
#include "platform/linux/syms_xss.inc"
#include "platform/linux/syms_xvidmode.inc"
#undef DL_LIBRARY
#undef DL_FUNCTION

namespace {

struct LibraryEntry {
  DesktopLibrary id;
  const char* file;
  const char* label;
};

struct FunctionEntry {
  DesktopLibrary library;
  const char* name;
  void** slot;
  int silent;
};

#define DL_LIBRARY(id, file, label) {id, file, label},
#define DL_FUNCTION(id, ret, name, params, silent)
const LibraryEntry LIBRARIES[] = {
#include "platform/linux/syms_alsa.inc"
#include "platform/linux/syms_glib.inc"
#include "platform/linux/syms_gobject.inc"
#include "platform/linux/syms_gtk.inc"
#include "platform/linux/syms_notify.inc"
#include "platform/linux/syms_pango.inc"
#include "platform/linux/syms_xcursor.inc"
#include "platform/linux/syms_xfixes.inc"
#include "platform/linux/syms_xrandr.inc"
#include "platform/linux/syms_xss.inc"
#include "platform/linux/syms_xvidmode.inc"
};
#undef DL_LIBRARY
#undef DL_FUNCTION

// Look-up order: GTK, GLib, GObject, Pango, ALSA, Xfixes, Xcursor,
// XF86VidMode, Xss, XRandR, libnotify. A library's functions are looked up
// in this order when it binds.
#define DL_LIBRARY(id, file, label)
#define DL_FUNCTION(id, ret, name, params, silent) \
  {id, #name, reinterpret_cast<void**>(&Dl_##name), silent},
const FunctionEntry FUNCTIONS[] = {
#include "platform/linux/syms_gtk.inc"
#include "platform/linux/syms_glib.inc"
#include "platform/linux/syms_gobject.inc"
#include "platform/linux/syms_pango.inc"
#include "platform/linux/syms_alsa.inc"
#include "platform/linux/syms_xfixes.inc"
#include "platform/linux/syms_xcursor.inc"
#include "platform/linux/syms_xvidmode.inc"
#include "platform/linux/syms_xss.inc"
#include "platform/linux/syms_xrandr.inc"
#include "platform/linux/syms_notify.inc"
};
#undef DL_LIBRARY
#undef DL_FUNCTION

// The requesters need all three; they are opened in this order and bound
// as one.
constexpr DesktopLibrary GTK_GROUP[] = {DESKTOP_GTK, DESKTOP_GLIB, DESKTOP_GOBJECT};

void* handles[DESKTOP_LIBRARY_COUNT];
int gtkAvailable = 0;
int xrandrAvailable = 0;
// Set by BindDesktopLibraries, cleared by UnbindDesktopLibraries: only
// while armed does a flag test bind its library.
std::atomic<bool> armed{false};
// Per library: its binding was done since the last arming (successful or
// not). Written under bindLock after the handle and slots.
std::atomic<bool> bound[DESKTOP_LIBRARY_COUNT];
// Serialises binding: the requester thread tests Pango while the main
// thread may test an X extension.
pthread_mutex_t bindLock = PTHREAD_MUTEX_INITIALIZER;

void* systemOpen(const char* file, int flags) { return dlopen(file, flags); }
void* systemLookup(void* handle, const char* name) { return dlsym(handle, name); }
DesktopLibraryCalls calls = {systemOpen, systemLookup};

const LibraryEntry* findLibrary(DesktopLibrary id) {
  for (const LibraryEntry& library : LIBRARIES)
    if (library.id == id) return &library;
  return nullptr;
}

void closeLibrary(DesktopLibrary id) {
  if (handles[id]) dlclose(handles[id]);
  handles[id] = nullptr;
}

bool inGtkGroup(DesktopLibrary id) {
  return id == DESKTOP_GTK || id == DESKTOP_GLIB || id == DESKTOP_GOBJECT;
}

void openLibrary(DesktopLibrary id) {
  // Libraries built on the GLib type system cannot be unloaded once used
  // (they leave exit handlers and type records behind): closing their
  // handle keeps them mapped.
  bool typeSystem = inGtkGroup(id) || id == DESKTOP_PANGO || id == DESKTOP_NOTIFY;
  handles[id] = calls.open(findLibrary(id)->file, RTLD_LAZY | (typeSystem ? RTLD_NODELETE : 0));
}

// Fills the slots of the opened libraries among `group`, in look-up order.
// A missing function warns unless it is silent; after the group's
// warnings, one line says that something is missing. XRandR functions only
// clear the XRandR flag.
void lookUpFunctions(const DesktopLibrary* group, size_t count) {
  auto member = [&](DesktopLibrary id) {
    for (size_t i = 0; i < count; i++)
      if (group[i] == id) return true;
    return false;
  };
  bool missing = false;
  for (const FunctionEntry& function : FUNCTIONS) {
    if (!member(function.library)) continue;
    void* handle = handles[function.library];
    if (!handle) continue;
    *function.slot = calls.lookup(handle, function.name);
    if (*function.slot) continue;
    if (function.library == DESKTOP_XRANDR) {
      xrandrAvailable = 0;
    } else if (!function.silent) {
      DebugPrintf("WARNING: Library function %s not found in %s!\n", function.name,
                  findLibrary(function.library)->label);
      missing = true;
    }
  }
  if (missing) DebugPrintf("WARNING: Could not import all symbols -- Quillmere might crash!\n");
}

// Binds the library (with its group) unless that was done since the arming.
void ensureBound(DesktopLibrary id) {
  if (bound[id].load(std::memory_order_acquire) || !armed.load(std::memory_order_acquire)) return;
  pthread_mutex_lock(&bindLock);
  if (!bound[id].load(std::memory_order_relaxed) && armed.load(std::memory_order_relaxed)) {
    if (inGtkGroup(id)) {
      for (DesktopLibrary member : GTK_GROUP) openLibrary(member);
      gtkAvailable = handles[DESKTOP_GTK] && handles[DESKTOP_GLIB] && handles[DESKTOP_GOBJECT];
      if (!gtkAvailable)
        for (DesktopLibrary member : GTK_GROUP) closeLibrary(member);
      lookUpFunctions(GTK_GROUP, 3);
      for (DesktopLibrary member : GTK_GROUP) bound[member].store(true, std::memory_order_release);
    } else {
      openLibrary(id);
      if (id == DESKTOP_XRANDR) xrandrAvailable = handles[id] != nullptr;
      lookUpFunctions(&id, 1);
      bound[id].store(true, std::memory_order_release);
    }
  }
  pthread_mutex_unlock(&bindLock);
}

}  // namespace

void SetDesktopLibraryCalls(const DesktopLibraryCalls* replacement) {
  calls.open = replacement && replacement->open ? replacement->open : systemOpen;
  calls.lookup = replacement && replacement->lookup ? replacement->lookup : systemLookup;
}

void BindDesktopLibraries() {
  UnbindDesktopLibraries();
  armed.store(true, std::memory_order_release);
}

void UnbindDesktopLibraries() {
  pthread_mutex_lock(&bindLock);
  armed.store(false, std::memory_order_release);
  for (std::atomic<bool>& flag : bound) flag.store(false, std::memory_order_release);
  for (const FunctionEntry& function : FUNCTIONS) *function.slot = nullptr;
  // The XRandR and XF86VidMode handles stay open; they are only forgotten.
  for (int id = 0; id < DESKTOP_LIBRARY_COUNT; id++) {
    if (id == DESKTOP_XRANDR || id == DESKTOP_XVIDMODE)
      handles[id] = nullptr;
    else
      closeLibrary(static_cast<DesktopLibrary>(id));
  }
  gtkAvailable = 0;
  xrandrAvailable = 0;
  pthread_mutex_unlock(&bindLock);
}

int DesktopLibraryOpen(DesktopLibrary library) {
  if (library < 0 || library >= DESKTOP_LIBRARY_COUNT) return 0;
  ensureBound(library);
  return handles[library] != nullptr;
}
int DesktopGtkAvailable() {
  ensureBound(DESKTOP_GTK);
  return gtkAvailable;
}
int DesktopXRandrAvailable() {
  ensureBound(DESKTOP_XRANDR);
  return xrandrAvailable;
}
