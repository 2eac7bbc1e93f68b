// Function slots of the desktop libraries, one per bound function, expanded
// from the per-library lists syms_<lib>.inc. A slot is null while its
// library is unbound or when the function was missing; callers test the
// library (DesktopLibraryOpen, DesktopGtkAvailable, DesktopXRandrAvailable)
// before they call through a slot; that test is what binds the library on
// first use.
#pragma once

#include <cstddef>

#include <X11/Xlib.h>
#include <X11/Xcursor/Xcursor.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/scrnsaver.h>
#include <X11/extensions/xf86vmode.h>
#include <alsa/asoundlib.h>

#include "platform/linux/desktop_private.h"
#include "platform/linux/platform.h"

// GLib and GTK types as the bound functions see them. The scalar names match
// GLib's own typedefs; the objects stay opaque, and the few records passed by
// value carry a Dl prefix so they never clash with the real headers.
typedef char gchar;
typedef int gint;
typedef gint gboolean;
typedef unsigned int guint;
typedef unsigned long gulong;
typedef float gfloat;
typedef void* gpointer;
typedef unsigned long gsize;
typedef signed long gssize;
typedef gsize GType;
typedef struct _GError GError;
typedef struct _GMainLoop GMainLoop;
typedef struct _GMainContext GMainContext;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkFileFilter GtkFileFilter;
typedef struct _GtkTreeViewColumn GtkTreeViewColumn;
typedef struct _GtkCellRenderer GtkCellRenderer;
typedef struct _GtkListStore GtkListStore;
typedef struct _GtkTreeModel GtkTreeModel;
typedef struct _GtkTreeSelection GtkTreeSelection;
typedef struct _GtkTreePath GtkTreePath;
typedef struct _PangoFontDescription PangoFontDescription;
typedef struct _NotifyNotification NotifyNotification;
struct DlGSList {
  gpointer data;
  DlGSList* next;
};
struct DlGtkTreeIter {
  gint stamp;
  gpointer userData;
  gpointer userData2;
  gpointer userData3;
};
struct DlGdkColor {
  uint32_t pixel;
  uint16_t red;
  uint16_t green;
  uint16_t blue;
};

#define DL_LIBRARY(id, file, label)
#define DL_FUNCTION(id, ret, name, params, silent) extern ret(*Dl_##name) params;
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
