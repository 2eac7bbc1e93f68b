// The least X client that shows what the player shows at start-up: opens
// the display, creates a 640x480 window with a title, maps it, waits for
// its MapNotify, fills it, syncs and exits. startup_bench measures the
// player against this program.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 1;
  int screen = DefaultScreen(display);
  Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, 640, 480, 0,
                                      BlackPixel(display, screen), BlackPixel(display, screen));
  XStoreName(display, window, "Startup");
  XSelectInput(display, window, StructureNotifyMask);
  XMapWindow(display, window);
  XEvent event;
  do XNextEvent(display, &event);
  while (event.type != MapNotify);
  GC gc = XCreateGC(display, window, 0, nullptr);
  XSetForeground(display, gc, WhitePixel(display, screen));
  XFillRectangle(display, window, gc, 0, 0, 640, 480);
  XSync(display, False);
  XFreeGC(display, gc);
  XCloseDisplay(display);
  return 0;
}
