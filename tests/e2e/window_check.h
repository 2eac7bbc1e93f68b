// What the end-to-end runs on a private X server share: waiting for a
// condition with an upper bound, the player's shown window and its pixels,
// its closing, and the file names of declared resources patched into an
// assembled applet.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "tests/e2e/player_run.h"

namespace e2e {

template <class F>
bool WaitFor(F condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Points the name-offset mark of a declared resource at the first copy of
// name in the applet.
inline bool PatchName(Bytes* applet, uint32_t mark, const std::string& name) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(mark >> 24), static_cast<uint8_t>(mark >> 16),
                            static_cast<uint8_t>(mark >> 8), static_cast<uint8_t>(mark)};
  auto at = std::search(applet->begin(), applet->end(), bytes, bytes + 4);
  auto found = std::search(applet->begin(), applet->end(), name.begin(), name.end());
  if (at == applet->end() || found == applet->end()) return false;
  auto offset = static_cast<uint32_t>(found - applet->begin());
  for (int i = 0; i < 4; i++) at[i] = static_cast<uint8_t>(offset >> (24 - 8 * i));
  return true;
}

// The window's rectangle, 0xRRGGBB row by row (empty when unreadable).
inline std::vector<uint32_t> WindowRect(Display* x, Window w, int left, int top, int width,
                                        int height) {
  std::vector<uint32_t> out;
  XImage* image = XGetImage(x, w, left, top, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) return out;
  for (int py = 0; py < height; py++)
    for (int px = 0; px < width; px++)
      out.push_back(static_cast<uint32_t>(XGetPixel(image, px, py)) & 0xFFFFFF);
  XDestroyImage(image);
  return out;
}

// The first viewable top-level window, waiting until one shows or the
// player ends; 0 when none did.
inline Window ShownWindow(Display* x, Child* player) {
  Window window = 0, root = DefaultRootWindow(x);
  WaitFor([&] {
    Window r, parent, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(x, root, &r, &parent, &children, &count))
      for (unsigned i = 0; i < count; i++) {
        XWindowAttributes a;
        if (XGetWindowAttributes(x, children[i], &a) && a.map_state == IsViewable)
          window = children[i];
      }
    if (children) XFree(children);
    return window != 0 || player->Exited();
  });
  return window;
}

// Asks the window to close, as a window manager does.
inline void CloseWindow(Display* x, Window window) {
  XEvent close{};
  close.xclient.type = ClientMessage;
  close.xclient.window = window;
  close.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
  close.xclient.format = 32;
  close.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
  close.xclient.data.l[1] = CurrentTime;
  XSendEvent(x, window, False, NoEventMask, &close);
  XFlush(x);
}

}  // namespace e2e
