// The window icon: the built-in images, worked out by the compiler into a
// read-only table, the applet's replacements for them, and the request that
// hands the icon to the window manager.
// Invariant: the block windows get is the table until an applet image
// replaces one of its images; from then on it is a writable copy.
#include <array>
#include <cstring>

#include <X11/Xatom.h>
#include <X11/Xlibint.h>
// Xlib's internal header defines these as macros; nothing here needs them.
#undef min
#undef max

#include "platform/linux/platform.h"
#include "platform/linux/x11_private.h"

namespace {

// A round badge: a blue disc with a lighter ring and a white "Q"-like
// stroke, antialiased by distance, transparent outside.

// The root by Newton's method for the compiler's use. Only the one-pixel
// rim of each disc takes a root, and the rounding of its alpha there never
// falls within an ulp of a step.
constexpr double rootOf(double value) {
  double root = value > 1.0 ? value / 2.0 : 1.0;
  for (int i = 0; i < 100; i++) {
    double next = 0.5 * (root + value / root);
    if (next == root) break;
    root = next;
  }
  return root;
}

constexpr uint32_t badgePixel(int32_t size, int32_t x, int32_t y) {
  const double r = size / 2.0, c = (size - 1) / 2.0;
  const double inner = r - 1.0 > 0.0 ? r - 1.0 : 0.0;
  const double dx = x - c, dy = y - c;
  const double q = dx * dx + dy * dy;
  uint32_t alpha = 255;
  if (q >= r * r) {
    alpha = 0;
  } else if (q > inner * inner) {
    double coverage = r - rootOf(q);
    coverage = coverage < 0.0 ? 0.0 : coverage > 1.0 ? 1.0 : coverage;
    alpha = static_cast<uint32_t>(coverage * 255.0 + 0.5);
  }
  uint32_t rgb = 0x3366cc;
  if (q > (r * 0.82) * (r * 0.82)) rgb = 0x6699ee;
  const bool ring = q > (r * 0.35) * (r * 0.35) && q < (r * 0.55) * (r * 0.55);
  const double diagonal = dx > dy ? dx - dy : dy - dx;
  const bool tail = x > c && y > c && diagonal < r * 0.12 && q < (r * 0.8) * (r * 0.8);
  if (ring || tail) rgb = 0xffffff;
  return (alpha << 24) | rgb;
}

// Rows first to last of one image. The images are worked out in bands so
// that no single constant takes more evaluation steps than a compiler
// allows one.
template <int32_t SIZE, int32_t FIRST_ROW, int32_t ROWS>
constexpr std::array<uint32_t, static_cast<size_t>(SIZE) * ROWS> badgeRows() {
  std::array<uint32_t, static_cast<size_t>(SIZE) * ROWS> rows{};
  for (int32_t y = 0; y < ROWS; y++)
    for (int32_t x = 0; x < SIZE; x++)
      rows[static_cast<size_t>(y) * SIZE + x] = badgePixel(SIZE, x, FIRST_ROW + y);
  return rows;
}

constexpr auto BADGE_16 = badgeRows<16, 0, 16>();
constexpr auto BADGE_24 = badgeRows<24, 0, 24>();
constexpr auto BADGE_32 = badgeRows<32, 0, 32>();
constexpr auto BADGE_48 = badgeRows<48, 0, 48>();
constexpr auto BADGE_256_A = badgeRows<256, 0, 32>();
constexpr auto BADGE_256_B = badgeRows<256, 32, 32>();
constexpr auto BADGE_256_C = badgeRows<256, 64, 32>();
constexpr auto BADGE_256_D = badgeRows<256, 96, 32>();
constexpr auto BADGE_256_E = badgeRows<256, 128, 32>();
constexpr auto BADGE_256_F = badgeRows<256, 160, 32>();
constexpr auto BADGE_256_G = badgeRows<256, 192, 32>();
constexpr auto BADGE_256_H = badgeRows<256, 224, 32>();

// Width, height and pixels of each image, in the order 16, 24, 32, 48, 256.
constexpr std::array<uint32_t, X11_ICON_VALUES> builtInBlock() {
  std::array<uint32_t, X11_ICON_VALUES> block{};
  size_t at = 0;
  auto image = [&](uint32_t size) {
    block[at++] = size;
    block[at++] = size;
  };
  auto rows = [&](const auto& part) {
    for (uint32_t value : part) block[at++] = value;
  };
  image(16);
  rows(BADGE_16);
  image(24);
  rows(BADGE_24);
  image(32);
  rows(BADGE_32);
  image(48);
  rows(BADGE_48);
  image(256);
  for (const auto* part : {&BADGE_256_A, &BADGE_256_B, &BADGE_256_C, &BADGE_256_D, &BADGE_256_E,
                           &BADGE_256_F, &BADGE_256_G, &BADGE_256_H})
    rows(*part);
  return block;
}

constexpr std::array<uint32_t, X11_ICON_VALUES> BUILT_IN_ICON = builtInBlock();

// The block with the applet's images in place of built-in ones; its pages
// are touched only when an applet declares an icon image.
uint32_t replacedBlock[X11_ICON_VALUES];
bool replaced = false;

const uint32_t* currentBlock() { return replaced ? replacedBlock : BUILT_IN_ICON.data(); }

}  // namespace

const uint32_t* GetWindowIconBlock() { return currentBlock(); }

void SetWindowIconImage(int32_t width, int32_t height, const uint32_t* pixels) {
  size_t at = 0;
  while (at < X11_ICON_VALUES) {
    const uint32_t size = BUILT_IN_ICON[at];
    if (static_cast<uint32_t>(width) == size && static_cast<uint32_t>(height) == size) {
      if (!replaced) std::memcpy(replacedBlock, BUILT_IN_ICON.data(), sizeof replacedBlock);
      replaced = true;
      std::memcpy(replacedBlock + at + 2, pixels, static_cast<size_t>(size) * size * 4);
      return;
    }
    at += 2 + static_cast<size_t>(size) * size;
  }
}

void ResetWindowIconImages() { replaced = false; }

// "_NET_WM_ICON" as one CARDINAL format-32 property. XChangeProperty takes
// format-32 values as longs, which would mean widening the 69,706 values
// into a fresh 557 KB array at every window; the block already holds the
// 32-bit values in the order the connection was opened with, so the
// request is written here with the block as its data, exactly as
// XChangeProperty would write it: a big request where the server allows
// one, else a request without its data, which the server refuses.
void SetX11WindowIcon(Display* dpy, Window window, Atom property) {
  const uint32_t* block = currentBlock();
  LockDisplay(dpy);
  xChangePropertyReq* req;
  GetReq(ChangeProperty, req);
  req->window = static_cast<CARD32>(window);
  req->property = static_cast<CARD32>(property);
  req->type = XA_CARDINAL;
  req->mode = PropModeReplace;
  req->format = 32;
  req->nUnits = static_cast<CARD32>(X11_ICON_VALUES);
  long length = static_cast<long>(X11_ICON_VALUES);
  if (dpy->bigreq_size || req->length + length <= 65535) {
    SetReqLen(req, length, length);
    Data(dpy, reinterpret_cast<const char*>(block), length << 2);
  }
  UnlockDisplay(dpy);
  SyncHandle();
}
