// Boundary fill. The fill visits runs in the order of a depth-first
// recursion (the whole area above a run before the area below it), but the
// pending runs live on a heap stack, so the depth of the area costs memory,
// not call stack.
// Invariant: a seed is a pixel that is neither border nor fill, and every
// seed is filled before anything else happens, so each frame pushed shrinks
// the set of unfilled pixels and the fill ends.
#include <cstring>

#include "gfx/gfx.h"
#include "gfx/pixel_ops.h"
#include "gfx/pixel_private.h"
#include "platform/linux/platform.h"

using namespace pixel;

namespace {

// One run being scanned: the run [left, right] on row y, scanning the row
// above (phase 0) or below (phase 1) at x, with the "ready" flag.
struct Frame {
  int32_t left, right, y;
  int32_t phase;
  int32_t x;
  int32_t ready;
};

class FrameStack {
 public:
  ~FrameStack() { FreeMemory(frames_); }
  bool Push(const Frame& f) {
    if (size_ == capacity_) {
      size_t cap = capacity_ ? capacity_ * 2 : 64;
      Frame* grown = static_cast<Frame*>(AllocMemoryArray(cap, sizeof(Frame), 0));
      if (!grown) return false;
      if (size_) std::memcpy(grown, frames_, size_ * sizeof(Frame));
      FreeMemory(frames_);
      frames_ = grown;
      capacity_ = cap;
    }
    frames_[size_++] = f;
    return true;
  }
  bool Empty() const { return size_ == 0; }
  Frame& Top() { return frames_[size_ - 1]; }
  void Pop() { --size_; }

 private:
  Frame* frames_ = nullptr;
  size_t size_ = 0, capacity_ = 0;
};

template <int BPP>
struct Fill {
  const FloodFillRequest* q;
  uint32_t cmp;

  uint8_t* at(int32_t x, int32_t y) const { return q->pixels + Offset(x, y, q->rowLength, BPP); }
  uint32_t get(int32_t x, int32_t y) const { return LoadRaw(at(x, y), BPP) & cmp; }
  void put(int32_t x, int32_t y) const { StoreRaw(at(x, y), BPP, q->fill); }

  // Fills the run through (x, y) and returns its frame (phase 0).
  Frame run(int32_t x, int32_t y) const {
    put(x, y);
    int32_t l = x;
    while (l - 1 >= q->left && get(l - 1, y) != q->border) put(--l, y);
    int32_t r = x;
    while (r + 1 < q->left + q->width && get(r + 1, y) != q->border) put(++r, y);
    return Frame{l, r, y, 0, l, 1};
  }

  ErrorCode operator()(int32_t x, int32_t y) const {
    if (x < q->left || x >= q->left + q->width || y < q->top || y >= q->top + q->height) return 0;
    if (get(x, y) == q->border) return 0;
    uint32_t fill = q->fill & cmp;
    FrameStack stack;
    if (!stack.Push(run(x, y))) return ERR_MEM;
    while (!stack.Empty()) {
      Frame& f = stack.Top();
      int32_t row = f.phase == 0 ? f.y - 1 : f.y + 1;
      bool rowExists = f.phase == 0 ? f.y > q->top : f.y < q->top + q->height - 1;
      bool pushed = false;
      if (rowExists) {
        for (; f.x <= f.right; ++f.x) {
          uint32_t p = get(f.x, row);
          if (p != q->border && p != fill) {
            if (f.ready) {
              f.ready = 0;
              int32_t sx = f.x++;
              // f is invalid once the stack grows: nothing below uses it.
              if (!stack.Push(run(sx, row))) return ERR_MEM;
              pushed = true;
              break;
            }
          } else {
            f.ready = 1;
          }
        }
      }
      if (pushed) continue;
      if (f.phase == 0) {
        f.phase = 1;
        f.x = f.left;
        f.ready = 1;
      } else {
        stack.Pop();
      }
    }
    return 0;
  }
};

}  // namespace

uint32_t FloodCompareMask(uint32_t format) {
  return (format == PIXFMT_ARGB32 || format == PIXFMT_ABGR32) ? 0x00FFFFFFu : 0xFFFFFF00u;
}

ErrorCode FloodFillSpan(const FloodFillRequest* req, int32_t x, int32_t y, uint32_t compareMask) {
  if (req->width <= 0 || req->height <= 0) return 0;
  return Fill<4>{req, compareMask}(x, y);
}

ErrorCode FloodFillSpan16(const FloodFillRequest* req, int32_t x, int32_t y) {
  if (req->width <= 0 || req->height <= 0) return 0;
  return Fill<2>{req, 0xFFFFu}(x, y);
}
