// Mouse pointers: the records CreatePointer makes (the system pointer, the
// busy pointer, or an image made from the pixels, mask and alpha channel
// of a brush or of a sprite's frame), the display's choice among them, and showing, hiding and
// moving the pointer over the current display's window.
//
// Invariant: a pointer that some display shows is never freed; FreePointer
// marks it pending, and it goes once no display shows it (after the next
// SetPointer) or at shut-down.
#include <algorithm>
#include <memory>

#include "engine/engine.h"
#include "gfx/context_private.h"
#include "gfx/gfx.h"
#include "gfx/hooks_private.h"
#include "gfx/graphics_private.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t STDPTR_SYSTEM = 0;
constexpr int32_t STDPTR_BUSY = 1;
constexpr int32_t STANDARD_POINTER_SIZE = 16;  // what a standard pointer reports
enum : int32_t { POINTER_SYSTEM = 0, POINTER_BUSY = 1, POINTER_IMAGE = 2 };

struct PointerRecord {
  ObjectHead head;  // type OBJTYPE_POINTER
  int32_t width, height;
  void* platform;  // the window system's pointer, null for standard ones
  int32_t kind;    // POINTER_
  int32_t hotX, hotY;
  int32_t freePending;
};

PointerRecord* firstPointer() { return reinterpret_cast<PointerRecord*>(gfxContext.pointerList); }
PointerRecord* nextPointer(PointerRecord* p) {
  return reinterpret_cast<PointerRecord*>(p->head.next);
}

bool shownBySomeDisplay(const PointerRecord* p) {
  for (DisplayRecord* d = DisplayHooks().list(); d;) {
    GfxDisplayValues v = DisplayValuesOf(d);
    if (v.pointer == p) return true;
    d = v.next;
  }
  return false;
}

void unlinkPointer(PointerRecord* p) {
  for (ObjectHead** link = &gfxContext.pointerList; *link; link = &(*link)->next) {
    if (*link == &p->head) {
      *link = p->head.next;
      return;
    }
  }
}

void destroyPointer(VmState* L, PointerRecord* p) {
  unlinkPointer(p);
  for (DisplayRecord* d = DisplayHooks().list(); d;) {
    GfxDisplayValues v = DisplayValuesOf(d);
    if (v.pointer == p) DisplayHooks().setPointerState(d, nullptr, v.pointerHidden);
    d = v.next;
  }
  DisplayHooks().freePointer(p->platform);
  FreeObjectDataList(L, &p->head.data);
  FreeMemory(p);
}

// findPending: also a pointer whose free is pending.
ErrorCode findPointer(ObjectId id, bool findPending, PointerRecord** out) {
  *out = nullptr;
  for (PointerRecord* p = firstPointer(); p; p = nextPointer(p)) {
    if (p->head.number != id.number || p->head.autoId != id.autoId) continue;
    if (p->freePending && !findPending) continue;
    *out = p;
    return ERR_NONE;
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDPOINTER;
}

void freePendingPointers(VmState* L) {
  for (PointerRecord* p = firstPointer(); p;) {
    PointerRecord* next = nextPointer(p);
    if (p->freePending && !shownBySomeDisplay(p)) destroyPointer(L, p);
    p = next;
  }
}

// A hot-spot argument: -1 (the default) is the middle; clamped inside.
int32_t hotSpot(VmState* L, int index, int32_t size) {
  int32_t v = VmOptInteger(L, index, -1);
  if (v == -1) v = size / 2;
  return std::clamp(v, 0, size - 1);
}

struct FreeMemoryDeleter {
  void operator()(uint32_t* p) const { FreeMemory(p); }
};

// The image of a brush pointer, handed to the window system.
ErrorCode makeBrushImage(VmState* L, PointerRecord* p) {
  ObjectId brushId = GetObjectIdArg(L, 3, nullptr);
  GfxPicture brush;
  if (ErrorCode e = ObjectHooks().brush(L, brushId, &brush, 0)) return e;
  if (!brush.bitmap) return ObjectNotFound(brushId, ERR_FINDBRUSH);
  p->width = brush.width;
  p->height = brush.height;
  p->hotX = hotSpot(L, 4, p->width);
  p->hotY = hotSpot(L, 5, p->height);
  std::unique_ptr<uint32_t, FreeMemoryDeleter> argb(ReadBitmapRectARGBMasked(
      brush.bitmap, 0, 0, p->width, p->height, brush.mask, brush.alpha, -1, 1, 0));
  if (!argb) return ERR_MEM;
  p->kind = POINTER_IMAGE;
  return DisplayHooks().createPointer(argb.get(), p->width, p->height, p->hotX, p->hotY,
                                      &p->platform);
}

// The image of a sprite pointer: a frame (argument 4, from 1) of the
// sprite, its own or a linked sprite's.
ErrorCode makeSpriteImage(VmState* L, PointerRecord* p) {
  ObjectId spriteId = GetObjectIdArg(L, 3, nullptr);
  int32_t frame = VmOptInteger(L, 4, 1);
  GfxPicture image;
  if (ErrorCode e = ObjectHooks().spriteFrame(spriteId, frame, &image)) return e;
  p->width = image.width;
  p->height = image.height;
  p->hotX = hotSpot(L, 5, p->width);
  p->hotY = hotSpot(L, 6, p->height);
  std::unique_ptr<uint32_t, FreeMemoryDeleter> argb(ReadBitmapRectARGBMasked(
      image.bitmap, 0, 0, p->width, p->height, image.mask, image.alpha, -1, 1, 0));
  if (!argb) return ERR_MEM;
  p->kind = POINTER_IMAGE;
  return DisplayHooks().createPointer(argb.get(), p->width, p->height, p->hotX, p->hotY,
                                      &p->platform);
}

// The size the current output draws at.
void outputSize(const DisplayRecord* d, int32_t* width, int32_t* height) {
  GfxDisplayValues v = DisplayValuesOf(d);
  *width = v.outputBitmap ? v.outputBitmap->width : v.width;
  *height = v.outputBitmap ? v.outputBitmap->height : v.height;
}

// The current display: ERR_WRONGUSAGE when there is none.
ErrorCode currentDisplay(DisplayRecord** d) {
  *d = DisplayHooks().current();
  return *d ? ERR_NONE : ERR_WRONGUSAGE;
}

}  // namespace

// CreatePointer (id, type, source [, ...]).
int CmdCreatePointer(VmState* L) {
  CheckArgCount(L, 3, 6, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t type = VmCheckInteger(L, 2);
  if (!automatic) {
    PointerRecord* old = nullptr;
    if (findPointer(id, false, &old) == ERR_NONE) {
      if (shownBySomeDisplay(old))
        old->freePending = 1;
      else
        destroyPointer(L, old);
    }
  }
  auto* p = static_cast<PointerRecord*>(AllocMemory(sizeof(PointerRecord), 1));
  if (!p) return ERR_MEM;
  std::unique_ptr<PointerRecord, void (*)(PointerRecord*)> owned(p, [](PointerRecord* r) {
    DisplayHooks().freePointer(r->platform);
    FreeMemory(r);
  });
  p->head.type = OBJTYPE_POINTER;
  ErrorCode error = ERR_NONE;
  if (type == OBJTYPE_SPRITE) {
    error = makeSpriteImage(L, p);
  } else if (type == OBJTYPE_BRUSH) {
    error = makeBrushImage(L, p);
  } else if (type == OBJTYPE_POINTER) {
    int32_t standard = VmCheckInteger(L, 3);
    if (standard != STDPTR_SYSTEM && standard != STDPTR_BUSY) {
      error = ERR_WRONGUSAGE;
    } else {
      p->kind = standard == STDPTR_BUSY ? POINTER_BUSY : POINTER_SYSTEM;
      p->width = p->height = STANDARD_POINTER_SIZE;
    }
  } else {
    error = ERR_WRONGUSAGE;
  }
  if (error) return error;
  if (automatic) {
    p->head.autoId = p;
  } else {
    p->head.number = id.number;
  }
  ObjectHead** link = &gfxContext.pointerList;
  while (*link) link = &(*link)->next;
  *link = &owned.release()->head;
  if (!automatic) return 0;
  return PushObjectId(L, ObjectId{p, 0});
}

int CmdSetPointer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  PointerRecord* p = nullptr;
  if (ErrorCode e = findPointer(id, false, &p)) return e;
  DisplayRecord* d = nullptr;
  if (ErrorCode e = currentDisplay(&d)) return e;
  DisplayHooks().setPointerState(d, p, 0);
  if (DisplayValuesOf(d).open) {
    DisplayHooks().setPointer(d, p->platform, p->kind);
    DisplayHooks().showPointer(d, 1);
  }
  freePendingPointers(L);
  return 0;
}

int CmdFreePointer(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  PointerRecord* p = nullptr;
  if (ErrorCode e = findPointer(id, false, &p)) return e;
  if (shownBySomeDisplay(p))
    p->freePending = 1;
  else
    destroyPointer(L, p);
  return 0;
}

int CmdShowPointer(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = nullptr;
  if (ErrorCode e = currentDisplay(&d)) return e;
  GfxDisplayValues v = DisplayValuesOf(d);
  DisplayHooks().setPointerState(d, v.pointer, 0);
  if (v.open) DisplayHooks().showPointer(d, 1);
  return 0;
}

int CmdHidePointer(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  DisplayRecord* d = nullptr;
  if (ErrorCode e = currentDisplay(&d)) return e;
  GfxDisplayValues v = DisplayValuesOf(d);
  DisplayHooks().setPointerState(d, v.pointer, 1);
  if (v.open) DisplayHooks().showPointer(d, 0);
  return 0;
}

// MovePointer (x, y): positions resolve against the pointer's size and the
// output; the window takes them at the display's scale.
int CmdMovePointer(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t x = VmCheckInteger(L, 1), y = VmCheckInteger(L, 2);
  DisplayRecord* d = nullptr;
  if (ErrorCode e = currentDisplay(&d)) return e;
  if (VideoRecorderActive()) return 0;
  int32_t width = STANDARD_POINTER_SIZE, height = STANDARD_POINTER_SIZE;
  if (auto* p = static_cast<PointerRecord*>(DisplayValuesOf(d).pointer)) {
    width = p->width;
    height = p->height;
  }
  // Reference 0 stands for the active clip region; without one the output.
  int32_t outWidth = 0, outHeight = 0;
  if (!GetActiveClipRegion()) outputSize(DisplayHooks().output(), &outWidth, &outHeight);
  x = ResolveXPos(x, width, outWidth, 0);
  y = ResolveYPos(y, height, outHeight, 0);
  GfxDisplayValues v = DisplayValuesOf(d);
  if (!v.open) return 0;
  double sx = v.scaleX > 0 ? v.scaleX : 1.0, sy = v.scaleY > 0 ? v.scaleY : 1.0;
  DisplayHooks().movePointer(d, VmTruncInt32(x * sx), VmTruncInt32(y * sy));
  return 0;
}

int ReadPointerAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(gfxContext.pointerList));
    return 1;
  }
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  PointerRecord* p = nullptr;
  if (ErrorCode e = findPointer(id, false, &p)) return e;
  switch (attribute) {
    case ATTRWIDTH:
      VmPushNumber(L, p->width);
      return 1;
    case ATTRHEIGHT:
      VmPushNumber(L, p->height);
      return 1;
    case ATTRTYPE:
      VmPushNumber(L, p->kind);
      return 1;
    default:
      return ERR_UNKNOWNATTR;
  }
}

void FreeAllPointers(VmState* L) {
  while (PointerRecord* p = firstPointer()) destroyPointer(L, p);
}
