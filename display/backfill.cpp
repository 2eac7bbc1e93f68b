// The backfill of a full-screen display: a picture of the monitor's size
// (a colour, a gradient, a texture, or a brush drawn on black) shown by a
// borderless display of its own that opens behind the display's window.
// The objects are made through the script commands that a script would
// use, with automatic identifiers that the display records.
// Invariant: each made flag is set exactly while its object exists; a
// failure part-way frees what was made.
#include "display/context_private.h"
#include "display/display.h"
#include "display/display_private.h"

namespace {

constexpr int32_t LINEAR_GRADIENT = 2;  // the gradient type of a backfill

int callArgs = 0;
ErrorCode callCode = ERR_NONE;
void* callResult = nullptr;

int trampoline(VmState* L) {
  int base = VmGetTop(L) - callArgs - 1;
  callCode = VmCall(L, callArgs, 1);
  if (VmGetTop(L) > base && VmType(L, -1) == VM_TYPE_LIGHTUSERDATA)
    callResult = VmToUserdata(L, -1);
  return 0;
}

// Calls the global command with the nargs values on top of the stack
// (popped); its error, and in *result the automatic identifier it returned.
// A command that no library registered is ERR_UNSUPPORTEDFEAT.
ErrorCode callCommand(VmState* L, const char* name, int nargs, void** result) {
  int base = VmGetTop(L) - nargs;
  VmPushString(L, name);
  VmGetTable(L, VM_GLOBALS_INDEX);
  if (VmType(L, -1) != VM_TYPE_FUNCTION) {
    VmSetTop(L, base);
    return ERR_UNSUPPORTEDFEAT;
  }
  VmInsert(L, base + 1);
  VmPushCClosure(L, trampoline, 0);
  VmInsert(L, base + 1);
  callArgs = nargs;
  callCode = ERR_NONE;
  callResult = nullptr;
  ErrorCode status = VmPCall(L, nargs + 1, 0, 0);
  VmSetTop(L, base);
  if (result) *result = callResult;
  ErrorCode error = status != ERR_NONE ? status : callCode;
  if (error == ERR_NONE && result && !*result) error = ERR_WRONGUSAGE;
  return error;
}

void pushId(VmState* L, ObjectId id) {
  if (id.autoId)
    VmPushLightUserdata(L, id.autoId);
  else
    VmPushNumber(L, id.number);
}

// The backfill picture (and, for a picture backfill, its brush).
ErrorCode makePicture(VmState* L, DisplayRecord* d, const DisplayBackfill& b, int32_t width,
                      int32_t height) {
  void* made = nullptr;
  ErrorCode error = ERR_NONE;
  VmPushNil(L);
  switch (b.type) {
    case BACKFILL_GRADIENT:
      VmPushNumber(L, LINEAR_GRADIENT);
      VmPushNumber(L, b.colour);
      VmPushNumber(L, b.endColour);
      VmPushNumber(L, width);
      VmPushNumber(L, height);
      error = callCommand(L, "creategradientbgpic", 6, &made);
      break;
    case BACKFILL_TEXTURE:
      pushId(L, b.brush);
      VmPushNumber(L, width);
      VmPushNumber(L, height);
      error = callCommand(L, "createtexturedbgpic", 4, &made);
      break;
    case BACKFILL_PICTURE: {
      void* brush = nullptr;
      if (b.brushFile[0]) {
        VmPushString(L, b.brushFile);
        error = callCommand(L, "loadbrush", 2, &brush);
      } else {
        VmSetTop(L, -2);
        pushId(L, b.brush);
        VmPushNil(L);
        error = callCommand(L, "copybrush", 2, &brush);
      }
      if (error != ERR_NONE) return error;
      d->backfillBrush = ObjectId{brush, 0};
      d->backfillBrushMade = 1;
      if (b.scalePicture) {
        pushId(L, d->backfillBrush);
        VmPushNumber(L, width);
        VmPushNumber(L, height);
        VmPushBoolean(L, b.smoothScale);
        if ((error = callCommand(L, "scalebrush", 4, nullptr)) != ERR_NONE) return error;
      }
      VmPushNil(L);
      VmPushNumber(L, width);
      VmPushNumber(L, height);
      VmPushNumber(L, 0);
      error = callCommand(L, "createbgpic", 4, &made);
      break;
    }
    default:
      VmPushNumber(L, width);
      VmPushNumber(L, height);
      VmPushNumber(L, b.type == BACKFILL_COLOR ? b.colour : 0);
      error = callCommand(L, "createbgpic", 4, &made);
      break;
  }
  if (error != ERR_NONE) return error;
  d->backfillPic = ObjectId{made, 0};
  d->backfillPicMade = 1;
  if (b.type != BACKFILL_PICTURE) return ERR_NONE;
  BGPic* pic = nullptr;
  if ((error = GetBGPicObject(L, d->backfillPic, &pic, 0)) != ERR_NONE) return error;
  return DrawBrushIntoBGPic(L, d->backfillBrush, pic, b.x, b.y);
}

bool hasCommand(VmState* L, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, VM_GLOBALS_INDEX);
  bool found = VmType(L, -1) == VM_TYPE_FUNCTION;
  VmSetTop(L, -2);
  return found;
}

void setField(VmState* L, const char* name, double value) {
  VmPushString(L, name);
  VmPushNumber(L, value);
  VmSetTable(L, -3);
}

}  // namespace

ErrorCode CreateBackfillObjects(VmState* L, DisplayRecord* d, const DisplayBackfill* backfill,
                                int32_t width, int32_t height) {
  FreeBackfillObjects(L, d);
  // Without the background-picture library there is nothing to show
  // behind the display: it opens without a backfill.
  if (!L || !hasCommand(L, "createbgpic") || !hasCommand(L, "createdisplay")) return ERR_NONE;
  int top = VmGetTop(L);
  ErrorCode error = makePicture(L, d, *backfill, width, height);
  if (error == ERR_NONE) {
    VmPushNil(L);
    VmNewTable(L);
    setField(L, "borderless", 1);
    setField(L, "fixed", 1);
    setField(L, "hidepointer", 1);
    setField(L, "monitor", d->monitor + 1);
    setField(L, "__backfill", 1);
    VmPushString(L, "bgpic");
    pushId(L, d->backfillPic);
    VmSetTable(L, -3);
    VmPushString(L, "xserver");
    VmPushString(L, d->xserver);
    VmSetTable(L, -3);
    void* made = nullptr;
    error = callCommand(L, "createdisplay", 2, &made);
    if (error == ERR_NONE) {
      d->backfillDisplay = ObjectId{made, 0};
      d->backfillDisplayMade = 1;
      auto* shown = static_cast<DisplayRecord*>(made);
      shown->fullscreen = d->fullscreen;
      shown->fakeFullscreen = d->fakeFullscreen;
      shown->parent = d;
    }
  }
  VmSetTop(L, top);
  if (error != ERR_NONE) FreeBackfillObjects(L, d);
  return error;
}

void FreeBackfillObjects(VmState* L, DisplayRecord* d) {
  if (d->backfillDisplayMade) {
    d->backfillDisplayMade = 0;
    FreeDisplayById(L, d->backfillDisplay, 0);
  }
  if (d->backfillPicMade) {
    d->backfillPicMade = 0;
    DeleteBGPic(L, d->backfillPic, 0);
  }
  if (d->backfillBrushMade) {
    d->backfillBrushMade = 0;
    if (L) {
      pushId(L, d->backfillBrush);
      callCommand(L, "freebrush", 1, nullptr);
    }
  }
}
