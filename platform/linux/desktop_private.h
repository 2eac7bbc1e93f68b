// Run-time binding of the desktop libraries (GTK 2, GLib, GObject, Pango,
// libnotify, Xfixes, Xcursor, Xxf86vm, XRandR, Xss, ALSA) and the table
// of calls that tests replace. The function slots are in dynlib.h. Used
// inside platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// ---- Desktop-library binding ----
// The optional desktop libraries (GTK 2, GLib, GObject, Pango, libnotify,
// ALSA, Xfixes, Xcursor, XF86VidMode, XRandR, Xss) are opened by name on
// first use: BindDesktopLibraries (run when the X connection is set up)
// arms the binding, and the first test of a library's flag opens it, looks
// up its functions and prints its warnings. Callers test a library's flag
// before using its functions (dynlib.h holds the slots).
// UnbindDesktopLibraries closes them and disarms: the flags then read 0.

enum DesktopLibrary : int32_t {
  DESKTOP_ALSA,
  DESKTOP_XFIXES,
  DESKTOP_XCURSOR,
  DESKTOP_XVIDMODE,
  DESKTOP_PANGO,
  DESKTOP_XRANDR,
  DESKTOP_XSS,
  DESKTOP_NOTIFY,
  DESKTOP_GTK,
  DESKTOP_GLIB,
  DESKTOP_GOBJECT,
  DESKTOP_LIBRARY_COUNT,
};
void BindDesktopLibraries();
void UnbindDesktopLibraries();
int DesktopLibraryOpen(DesktopLibrary library);  // 1 when its handle is set
int DesktopGtkAvailable();                       // GTK, GLib and GObject all opened
int DesktopXRandrAvailable();                    // every XRandR function was found
// Test seam: what opens a library file and finds a function in it; null
// members restore dlopen and dlsym.
struct DesktopLibraryCalls {
  void* (*open)(const char* file, int flags);
  void* (*lookup)(void* handle, const char* name);
};
void SetDesktopLibraryCalls(const DesktopLibraryCalls* calls);
