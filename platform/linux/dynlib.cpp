// Run-time binding of the desktop libraries: opens each by file name, looks
// up every listed function into its slot, and closes them again. Invariant:
// a slot is non-null only while its library's handle is open (unbinding
// nulls them all), and GTK, GLib and GObject are open together or not at
// all.
#include <dlfcn.h>

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

// Opening order.
constexpr DesktopLibrary OPEN_ORDER[] = {
    DESKTOP_ALSA,  DESKTOP_XFIXES, DESKTOP_XCURSOR, DESKTOP_XVIDMODE,
    DESKTOP_PANGO, DESKTOP_XRANDR, DESKTOP_XSS,     DESKTOP_NOTIFY,
    DESKTOP_GTK,   DESKTOP_GLIB,   DESKTOP_GOBJECT,
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
// XF86VidMode, Xss, XRandR, libnotify.
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

void* handles[DESKTOP_LIBRARY_COUNT];
int gtkAvailable = 0;
int xrandrAvailable = 0;

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

}  // namespace

void SetDesktopLibraryCalls(const DesktopLibraryCalls* replacement) {
  calls.open = replacement && replacement->open ? replacement->open : systemOpen;
  calls.lookup = replacement && replacement->lookup ? replacement->lookup : systemLookup;
}

void BindDesktopLibraries() {
  UnbindDesktopLibraries();
  for (DesktopLibrary id : OPEN_ORDER) {
    // Libraries built on the GLib type system cannot be unloaded once used
    // (they leave exit handlers and type records behind): closing their
    // handle keeps them mapped.
    bool typeSystem = id == DESKTOP_GTK || id == DESKTOP_GLIB || id == DESKTOP_GOBJECT ||
                      id == DESKTOP_PANGO || id == DESKTOP_NOTIFY;
    handles[id] = calls.open(findLibrary(id)->file, RTLD_LAZY | (typeSystem ? RTLD_NODELETE : 0));
  }
  gtkAvailable = handles[DESKTOP_GTK] && handles[DESKTOP_GLIB] && handles[DESKTOP_GOBJECT];
  if (!gtkAvailable) {
    closeLibrary(DESKTOP_GTK);
    closeLibrary(DESKTOP_GLIB);
    closeLibrary(DESKTOP_GOBJECT);
  }
  xrandrAvailable = 1;
  bool missing = false;
  for (const FunctionEntry& function : FUNCTIONS) {
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
  if (!handles[DESKTOP_XRANDR]) xrandrAvailable = 0;
  if (missing) DebugPrintf("WARNING: Could not import all symbols -- Quillmere might crash!\n");
}

void UnbindDesktopLibraries() {
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
}

int DesktopLibraryOpen(DesktopLibrary library) {
  return library >= 0 && library < DESKTOP_LIBRARY_COUNT && handles[library] != nullptr;
}
int DesktopGtkAvailable() { return gtkAvailable; }
int DesktopXRandrAvailable() { return xrandrAvailable; }
