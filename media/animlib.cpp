// The "anim" command library: the command table, the constants, IsAnim
// (the anim-file query over the anim file layer) and the opener, which
// registers the lists of anims and anim streams with their attribute
// readers. The commands live with their concerns (media/anim.cpp,
// animload.cpp, animsave.cpp).
#include <string>

#include "draw/draw.h"
#include "engine/engine.h"
#include "engine/optiontable.h"
#include "media/anim_private.h"
#include "media/media.h"
#include "runtime/runtime.h"

namespace {

constexpr size_t LOADER_TEXT_MAX = 256;  // a loader or adapter string, cut there

// IsAnim(file$[, {loader, adapter}]): 1 when the anim file layer opens the
// file and it is not a GIF of one frame, else 0.
int cmdIsAnim(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  // A file linked into the applet is read from its place there.
  const std::string resolved = GetFileNameArg(L, 1);
  const char* file = resolved.c_str();
  char loader[LOADER_TEXT_MAX] = "", adapter[LOADER_TEXT_MAX] = "";
  if (VmType(L, 2) != VM_TYPE_NONE && VmType(L, 2) != VM_TYPE_NIL) {
    VmCheckTable(L, 2);
    OptionField rows[] = {{"loader", OPTION_STRING, loader, sizeof loader},
                          {"adapter", OPTION_STRING, adapter, sizeof adapter}};
    ErrorCode error = ReadOptionTable(L, 2, rows);
    if (error) return error;
  }
  VmPushNumber(L, IsAnimFile(file, loader[0] ? loader : nullptr, adapter[0] ? adapter : nullptr));
  return 1;
}

// LoadSprite(id, file[, options]): the anim loader makes the sprite.
int loadSprite(VmState* L) { return LoadAnimObject(L, ANIM_TARGET_SPRITE); }

const CommandTableEntry animCommands[] = {
    {"LoadAnim", CmdLoadAnim},
    {"CreateAnim", CmdCreateAnim},
    {"CopyAnim", CmdCopyAnim},
    {"FreeAnim", CmdFreeAnim},
    {"ScaleAnim", CmdScaleAnim},
    {"ModifyAnimFrames", CmdModifyAnimFrames},
    {"SetAnimFrameDelay", CmdSetAnimFrameDelay},
    {"GetAnimFrame", CmdGetAnimFrame},
    {"LoadAnimFrame", CmdLoadAnimFrame},
    {"IsAnim", cmdIsAnim},
    {"SaveAnim", CmdSaveAnim},
    {"BeginAnimStream", CmdBeginAnimStream},
    {"WriteAnimFrame", CmdWriteAnimFrame},
    {"FinishAnimStream", CmdFinishAnimStream},
    {"PlayAnim", CmdPlayAnim},
    {"PlayAnimDisk", CmdPlayAnimDisk},
    {"DisplayAnimFrame", CmdDisplayAnimFrame},
    {"SelectAnim", CmdSelectAnim},
    {nullptr, nullptr},
};

const ConstantTableEntry animConstants[] = {
    {"DEINTERLACE_DEFAULT", nullptr, DEINTERLACE_DEFAULT},
    {"DEINTERLACE_DOUBLE", nullptr, DEINTERLACE_DOUBLE},
    {"ANMFMT_GIF", nullptr, 0},
    {"ANMFMT_MJPEG", nullptr, 1},
    {"ANIMSTREAM", nullptr, OBJTYPE_ANIMSTREAM},
    {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode OpenAnimLibrary(VmState* L) {
  ErrorCode error = RegisterLibrary(animCommands, "anim");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, animCommands, 0);
  VmRegisterConstants(L, animConstants, 0);
  if (ErrorCode e = RegisterAnimObjectLists()) return e;
  animContext.state = L;
  static const AnimDrawHooks hooks = {GetAnimDrawFrame, HoldAnimForMove, ReleaseAnimOfMove,
                                      GetAnimDelayOfMove};
  SetAnimDrawHooks(&hooks);
  RegisterAnimLayerKind();
  SetSpriteLoadHook(loadSprite);
  SetAnimRealizeHook(RealizeDeferredAnims);
  return 0;
}
