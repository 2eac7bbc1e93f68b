// The library opener "brush": its command table, constants and brush list,
// the GetAttribute reader of brushes and the hooks through which the display
// library realises, saves, restores and frees brushes around its windows.
#include "draw/draw_private.h"

namespace {

// FreeBrush(id): a brush that an operation still uses is hidden and freed
// when the operation ends.
int cmdFreeBrush(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return FreeBrushObject(L, GetObjectIdArg(L, 1, nullptr), 1);
}

const CommandTableEntry BRUSH_COMMANDS[] = {
    {"FreeBrush", cmdFreeBrush},
    {"ScaleBrush", CmdScaleBrush},
    {"RotateBrush", CmdRotateBrush},
    {"TransformBrush", CmdTransformBrush},
    {"SelectBrush", CmdSelectBrush},
    {"SelectMask", CmdSelectMask},
    {"SelectAlphaChannel", CmdSelectAlphaChannel},
    {"BeginDoubleBuffer", CmdBeginDoubleBuffer},
    {"Flip", CmdFlip},
    {"EndDoubleBuffer", CmdEndDoubleBuffer},
    {"DisplayBrush", CmdDisplayBrush},
    {"DisplayBrushPart", CmdDisplayBrushPart},
    {"CreateBrush", CmdCreateBrush},
    {"CopyBrush", CmdCopyBrush},
    {"LoadBrush", CmdLoadBrush},
    {"CreateBorderBrush", CmdCreateBorderBrush},
    {"CreateShadowBrush", CmdCreateShadowBrush},
    {"GrabDesktop", CmdGrabDesktop},
    {"ConvertToBrush", CmdConvertToBrush},
    {"GetBrushLink", CmdGetBrushLink},
    {"CreateTexturedBrush", CmdCreateTexturedBrush},
    {"CreateGradientBrush", CmdCreateGradientBrush},
    {"IsBrushEmpty", CmdIsBrushEmpty},
    {"ReduceAlphaChannel", CmdReduceAlphaChannel},
    {"WriteBrushPixel", CmdWriteBrushPixel},
    {"ReadBrushPixel", CmdReadBrushPixel},
    {"BrushToRGBArray", CmdBrushToRGBArray},
    {"RGBArrayToBrush", CmdRGBArrayToBrush},
    {"ChangeBrushTransparency", CmdChangeBrushTransparency},
    {"RasterizeBrush", CmdRasterizeBrush},
    {"TrimBrush", CmdTrimBrush},
    {"DeleteMask", CmdDeleteMask},
    {"DeleteAlphaChannel", CmdDeleteAlphaChannel},
    {"InvertAlphaChannel", CmdInvertAlphaChannel},
    {"InvertMask", CmdInvertMask},
    {"FloodFill", CmdFloodFill},
    {"CropBrush", CmdCropBrush},
    {"SaveBrush", CmdSaveBrush},
    {"SetBrushTransparency", CmdSetBrushTransparency},
    {"FlipBrush", CmdFlipBrush},
    {"ReplaceColors", CmdReplaceColors},
    {"SetAlphaIntensity", CmdSetAlphaIntensity},
    {"SetMaskMode", CmdSetMaskMode},
    {"QuantizeBrush", CmdQuantizeBrush},
    {"BarrelDistortBrush", CmdBarrelDistortBrush},
    {"PolarDistortBrush", CmdPolarDistortBrush},
    {"ArcDistortBrush", CmdArcDistortBrush},
    {"PerspectiveDistortBrush", CmdPerspectiveDistortBrush},
    {"OilPaintBrush", CmdOilPaintBrush},
    {"WaterRippleBrush", CmdWaterRippleBrush},
    {"BrushToMonochrome", CmdBrushToMonochrome},
    {"PixelateBrush", CmdPixelateBrush},
    {"SwirlBrush", CmdSwirlBrush},
    {"CharcoalBrush", CmdCharcoalBrush},
    {"SepiaToneBrush", CmdSepiaToneBrush},
    {"ModulateBrush", CmdModulateBrush},
    {"ContrastBrush", CmdContrastBrush},
    {"GammaBrush", CmdGammaBrush},
    {"SolarizeBrush", CmdSolarizeBrush},
    {"SharpenBrush", CmdSharpenBrush},
    {"EdgeBrush", CmdEdgeBrush},
    {"EmbossBrush", CmdEmbossBrush},
    {"BlurBrush", CmdBlurBrush},
    {"BrushToGray", CmdBrushToGray},
    {"InvertBrush", CmdInvertBrush},
    {"MixBrush", CmdMixBrush},
    {"TintBrush", CmdTintBrush},
    {nullptr, nullptr},
};

const ConstantTableEntry BRUSH_CONSTANTS[] = {
    {"MASKVISIBLE", nullptr, 0},    {"MASKINVISIBLE", nullptr, 1},  {"MASKVANILLACOPY", nullptr, 2},
    {"MASKXOR", nullptr, 3},        {"MASKAND", nullptr, 4},        {"MASKOR", nullptr, 5},
    {"VANILLACOPY", nullptr, -1},   {"SELMODE_NORMAL", nullptr, 0}, {"SELMODE_COMBO", nullptr, 1},
    {"SELMODE_LAYERS", nullptr, 2}, {nullptr, nullptr, 0},
};

ErrorCode realize(int forceSoftware, int skip) {
  return RealizeDeferredBrushes(forceSoftware, skip);
}

const DisplayBrushHooks BRUSH_HOOKS = {realize, SaveHardwareBrushes, RestoreHardwareBrushes,
                                       FreeDisplayBrushes};

}  // namespace

ErrorCode OpenBrushLibrary(VmState* L) {
  if (ErrorCode e = RegisterLibrary(BRUSH_COMMANDS, "brush")) return e;
  VmRegisterFunctions(L, nullptr, BRUSH_COMMANDS, 0);
  VmRegisterConstants(L, BRUSH_CONSTANTS, 0);
  if (ErrorCode e = RegisterObjectList(&drawContext.brushList)) return e;
  if (ErrorCode e = RegisterAttributeReader(OBJTYPE_BRUSH, ReadBrushAttribute)) return e;
  SetDisplayBrushHooks(&BRUSH_HOOKS);
  InstallBGPicBrushHooks();
  RegisterBrushLayerKinds();
  drawContext.state = L;
  return ERR_NONE;
}
