// The "transitionfx" library: its commands read positional arguments or an
// option table into a request and hand it to the runner, again while the
// runner asks for a restart (the display changed size during the run); the
// opener registers them with the 145 effect constants.
#include "display/display.h"
#include "fx/fx.h"
#include "fx/fx_private.h"

namespace {

// A zeroed request of a kind with the defaults every command shares.
FXState newRequest(VmState* L, int32_t kind) {
  FXState request{};
  request.vm = L;
  request.kind = kind;
  request.effect = FX_RANDOMEFFECT;
  request.speed = -1;
  request.parameter = FX_RANDOMPARAMETER;
  request.undoLevel = 1;
  request.optX = request.optY = FX_NOPOSITION;
  request.reverse = kind == FXKIND_HIDELAYER || kind == FXKIND_REMOVELAYER;
  return request;
}

// The option table stands at index and is the last argument.
bool isOptionTable(VmState* L, int index) {
  return VmGetTop(L) == index && VmType(L, index) == VM_TYPE_TABLE;
}

void readField(VmState* L, int table, const char* name, int32_t* into) {
  int found = 0;
  int32_t value = 0;
  if (GetTableFieldInt(L, table, name, &value, &found) && found) *into = value;
}

// The fields every command's option table may hold.
void readOptions(VmState* L, int table, FXState* request) {
  readField(L, table, "type", &request->effect);
  readField(L, table, "speed", &request->speed);
  readField(L, table, "parameter", &request->parameter);
  readField(L, table, "undolevel", &request->undoLevel);
  readField(L, table, "dx", &request->x);
  readField(L, table, "dy", &request->y);
  readField(L, table, "layers", &request->asLayer);
  readField(L, table, "forcerealtimelayers", &request->forceRealtimeLayers);
  readField(L, table, "async", &request->async);
  readField(L, table, "noborderfade", &request->noBorderFade);
  for (int32_t* flag :
       {&request->asLayer, &request->forceRealtimeLayers, &request->async, &request->noBorderFade})
    *flag = *flag != 0;
}

// Effect, speed and parameter at index, index + 1, index + 2, or the option
// table at index.
void readFXArguments(VmState* L, int index, FXState* request) {
  if (isOptionTable(L, index)) {
    readOptions(L, index, request);
    return;
  }
  request->effect = VmOptInteger(L, index, FX_RANDOMEFFECT);
  request->speed = VmOptInteger(L, index + 1, -1);
  request->parameter = VmOptInteger(L, index + 2, FX_RANDOMPARAMETER);
}

// Runs the request, again while a size change asks for it.
int run(VmState* L, FXState* request) {
  int32_t results = 0;
  for (;;) {
    request->restart = 0;
    ErrorCode e = RunTransitionFX(request, &results);
    if (e) return e;
    if (!request->restart) return results;
  }
}

int displayObjectFX(VmState* L, int32_t kind) {
  CheckArgCount(L, 3, 6, 0, 0);
  FXState request = newRequest(L, kind);
  request.objectId = GetObjectIdArg(L, 1, nullptr);
  request.x = VmCheckInteger(L, 2);
  request.y = VmCheckInteger(L, 3);
  readFXArguments(L, 4, &request);
  return run(L, &request);
}

int cmdDisplayBrushFX(VmState* L) { return displayObjectFX(L, FXKIND_BRUSH); }

int cmdDisplayTextObjectFX(VmState* L) { return displayObjectFX(L, FXKIND_TEXTOBJECT); }

int cmdDisplayTransitionFX(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  FXState request = newRequest(L, FXKIND_BGPIC);
  request.objectId = GetObjectIdArg(L, 1, nullptr);
  if (isOptionTable(L, 2)) {
    readOptions(L, 2, &request);
    // A background picture changes at once: it cannot be stepped.
    if (request.async) return ERR_WRONGUSAGE;
    readField(L, 2, "x", &request.optX);
    readField(L, 2, "y", &request.optY);
  } else {
    readFXArguments(L, 2, &request);
  }
  return run(L, &request);
}

int cmdDisplayBGPicPartFX(VmState* L) {
  CheckArgCount(L, 5, 11, 0, 0);
  FXState request = newRequest(L, FXKIND_BGPICPART);
  request.objectId = GetObjectIdArg(L, 1, nullptr);
  request.sourceX = VmCheckInteger(L, 2);
  request.sourceY = VmCheckInteger(L, 3);
  request.width = VmCheckInteger(L, 4);
  request.height = VmCheckInteger(L, 5);
  request.x = request.sourceX;
  request.y = request.sourceY;
  if (isOptionTable(L, 6)) {
    readOptions(L, 6, &request);
  } else {
    readFXArguments(L, 6, &request);
    request.x = VmOptInteger(L, 9, request.sourceX);
    request.y = VmOptInteger(L, 10, request.sourceY);
    request.asLayer = VmOptInteger(L, 11, 0) != 0;
  }
  DisplayRecord* d = GetCurrentDisplay();
  if (request.asLayer && (!d || !d->layers)) return ERR_WRONGUSAGE;
  return run(L, &request);
}

int cmdUndoFX(VmState* L) {
  CheckArgCount(L, 2, 6, 0, 0);
  FXState request = newRequest(L, FXKIND_REMOVELAYER);
  request.reverse = 1;
  int32_t type = VmCheckInteger(L, 1);
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  if (isOptionTable(L, 3)) {
    readOptions(L, 3, &request);
  } else {
    readFXArguments(L, 3, &request);
    request.undoLevel = VmOptInteger(L, 6, 1);
  }
  if (ErrorCode e = CheckFXLayerOutput(1)) return e;
  // The undo level-th layer showing the object, counted from the top.
  int32_t level = request.undoLevel < 1 ? 1 : request.undoLevel;
  int32_t matches = 0, found = 0;
  for (int32_t position = CountFXLayers(); position >= 1 && !found; position--) {
    qmLayer* layer = GetFXLayerByIndex(position);
    if (layer->type == type && layer->firstId.number == id.number &&
        layer->firstId.autoId == id.autoId && ++matches == level)
      found = position;
  }
  if (!found) return ERR_FINDARRAY;
  request.objectId = ObjectId{nullptr, found};
  return run(L, &request);
}

int layerFX(VmState* L, int32_t kind) {
  CheckArgCount(L, 1, 4, 0, 0);
  FXState request = newRequest(L, kind);
  int32_t position = 0;
  if (ErrorCode e = ReadFXLayerArg(L, 1, &position)) return e;
  request.objectId = ObjectId{nullptr, position};
  if (isOptionTable(L, 2)) {
    readOptions(L, 2, &request);
    int found = 0;
    int32_t emu = 0;
    if (GetTableFieldInt(L, 2, "bgpicemu", &emu, &found) && found && emu) {
      // The layer stands in for the background picture named by "bgpic".
      VmPushString(L, "bgpic");
      VmGetTable(L, 2);
      if (VmType(L, -1) == VM_TYPE_NIL) {
        VmSetTop(L, -2);
        return ERR_MISSINGPARAMTR;
      }
      const ObjectId picId = GetObjectIdArg(L, VmGetTop(L), nullptr);
      VmSetTop(L, -2);
      BGPic* emulated = nullptr;
      if (ErrorCode e = GetFXBGPic(L, picId, &emulated)) return e;
      emulated->dirty = 0;
      request.bgpicEmu = 1;
      request.emuBGPic = emulated;
      request.emuBGPicId = picId;
    }
  } else {
    readFXArguments(L, 2, &request);
  }
  return run(L, &request);
}

int cmdShowLayerFX(VmState* L) { return layerFX(L, FXKIND_SHOWLAYER); }
int cmdHideLayerFX(VmState* L) { return layerFX(L, FXKIND_HIDELAYER); }
int cmdRemoveLayerFX(VmState* L) { return layerFX(L, FXKIND_REMOVELAYER); }

int cmdGetRandomFX(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t restricted = VmCheckNumber(L, 1) != 0;
  VmPushNumber(L, PickRandomFX(restricted));
  return 1;
}

int cmdClearScreen(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  FXState request = newRequest(L, FXKIND_BGPIC);
  request.effect = VmCheckInteger(L, 1);
  request.clearColour = static_cast<uint32_t>(VmOptInteger(L, 2, 0)) & 0xFFFFFF;
  if (isOptionTable(L, 3)) {
    readOptions(L, 3, &request);
  } else {
    request.speed = VmOptInteger(L, 3, -1);
    request.parameter = VmOptInteger(L, 4, FX_RANDOMPARAMETER);
  }
  request.clearScreen = 1;
  request.async = 0;
  return run(L, &request);
}

const CommandTableEntry FX_COMMANDS[] = {
    {"DisplayBrushFX", cmdDisplayBrushFX},
    {"DisplayTextObjectFX", cmdDisplayTextObjectFX},
    {"DisplayTransitionFX", cmdDisplayTransitionFX},
    {"DisplayBGPicPartFX", cmdDisplayBGPicPartFX},
    {"UndoFX", cmdUndoFX},
    {"ShowLayerFX", cmdShowLayerFX},
    {"HideLayerFX", cmdHideLayerFX},
    {"RemoveLayerFX", cmdRemoveLayerFX},
    {"GetRandomFX", cmdGetRandomFX},
    {"ClearScreen", cmdClearScreen},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenTransitionFXLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(FX_COMMANDS, "transitionfx")) return e;
  VmRegisterFunctions(L, nullptr, FX_COMMANDS, 0);
  VmRegisterConstants(L, GetFXConstants(), 0);
  return ERR_NONE;
}

void FreeTransitionFXLibrary(VmState*) {}
