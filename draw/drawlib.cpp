// The library opener "draw": the program's one drawing style, the commands
// that read and change it, the library's constants and angle tables.
//
// Invariant: every change of the style ends in ClampDrawStyle, so a shape
// render always starts from sizes inside their ranges.
#include <cmath>

#include "draw/draw_private.h"
#include "draw/shape_private.h"

namespace {

// The radian factor the angle tables are built with.
constexpr double DEGREE = 0.017453292519943295;
// Largest shadow and border sizes a style keeps.
constexpr int32_t MAX_EFFECT_SIZE = 64;

uint32_t colorArg(VmState* L, int index) {
  return static_cast<uint32_t>(VmNumberToInteger(VmCheckNumber(L, index)));
}

int cmdGetLineWidth(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, drawContext.style.lineWidth);
  return 1;
}

// SetLineWidth(width): below 1 is refused and keeps the width.
int cmdSetLineWidth(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t width = VmTruncInt32(VmCheckNumber(L, 1));
  if (width < 1) return ERR_WRONGUSAGE;
  drawContext.style.lineWidth = width;
  return 0;
}

int cmdGetFormStyle(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  const DrawStyle& s = drawContext.style;
  VmPushNumber(L, s.formFlags);
  if (!(s.formFlags & (FORM_SHADOW | FORM_EDGE))) return 1;
  VmNewTable(L);
  if (s.formFlags & FORM_SHADOW) {
    SetTableFieldU32(L, "shadowcolor", s.shadowColor);
    SetTableFieldInt(L, "shadowsize", s.shadowSize);
    SetTableFieldInt(L, "shadowdir", s.shadowDirection);
  }
  if (s.formFlags & FORM_EDGE) {
    SetTableFieldInt(L, "bordersize", s.borderSize);
    SetTableFieldU32(L, "bordercolor", s.borderColor);
  }
  return 2;
}

// SetFormStyle(style [, colour [, size [, direction]]]): NORMAL (any odd
// value) resets the flags; SHADOW and EDGE take their settings; every
// other value only adds its bits and takes no further argument.
int cmdSetFormStyle(VmState* L) {
  CheckArgCount(L, 1, 4, 0, 0);
  int count = VmGetTop(L);
  int32_t value = VmCheckInteger(L, 1);
  DrawStyle& s = drawContext.style;
  if (value & 1) {
    s.formFlags = FORM_NORMAL;
  } else if (value == FORM_SHADOW) {
    if (count >= 2) s.shadowColor = colorArg(L, 2);
    if (count >= 3) s.shadowSize = VmTruncInt32(VmCheckNumber(L, 3));
    if (count >= 4) s.shadowDirection = VmTruncInt32(VmCheckNumber(L, 4));
    s.formFlags |= value;
  } else if (value == FORM_EDGE) {
    if (count == 2 || count == 3) s.borderColor = colorArg(L, 2);
    if (count == 3) s.borderSize = VmTruncInt32(VmCheckNumber(L, 3));
    s.formFlags |= value;
  } else {
    if (count > 1) return ERR_TOOMANYARGS;
    s.formFlags |= value;
  }
  ClampDrawStyle(&s);
  return 0;
}

int cmdGetFillStyle(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  const DrawStyle& s = drawContext.style;
  VmPushNumber(L, s.fillStyle);
  if (s.fillStyle == FILLCOLOR) return 1;
  VmNewTable(L);
  switch (s.fillStyle) {
    case FILLGRADIENT:
      SetTableFieldInt(L, "type", s.gradient.type);
      SetFillStyleFields(L, "", &s.gradient);
      break;
    case FILLTEXTURE:
      SetTableFieldId(L, "brush", s.textureBrush);
      SetTableFieldInt(L, "x", s.textureX);
      SetTableFieldInt(L, "y", s.textureY);
      break;
    default:
      SetTableFieldInt(L, "thickness", s.lineWidth);
      break;
  }
  return 2;
}

// SetFillStyle(style [, ...]): the style's own arguments follow it; an
// unknown style changes nothing.
int cmdSetFillStyle(VmState* L) {
  CheckArgCount(L, 1, 6, 0, 0);
  int32_t style = VmTruncInt32(VmCheckNumber(L, 1));
  DrawStyle& s = drawContext.style;
  switch (style) {
    case FILLNONE:
      s.lineWidth = VmTruncInt32(VmOptNumber(L, 2, 1.0));
      break;
    case FILLCOLOR:
      break;
    case FILLGRADIENT: {
      GradientDescription g = s.gradient;
      g.type = VmCheckInteger(L, 2);
      g.startColour = static_cast<uint32_t>(VmCheckInteger(L, 3));
      g.endColour = static_cast<uint32_t>(VmCheckInteger(L, 4));
      // The colours given win over a colour list left from before, which
      // would otherwise be drawn instead of them.
      g.pairCount = 0;
      if (ErrorCode e = ReadGradientOptions(L, 5, &g)) return e;
      s.gradient = g;
      break;
    }
    case FILLTEXTURE:
      s.textureBrush = GetObjectIdArg(L, 2, nullptr);
      s.textureX = VmTruncInt32(VmOptNumber(L, 3, 0));
      s.textureY = VmTruncInt32(VmOptNumber(L, 4, 0));
      break;
    default:
      return ERR_WRONGUSAGE;
  }
  s.fillStyle = style;
  ClampDrawStyle(&s);
  return 0;
}

const CommandTableEntry DRAW_COMMANDS[] = {
    {"GetLineWidth", cmdGetLineWidth},
    {"SetLineWidth", cmdSetLineWidth},
    {"GetFormStyle", cmdGetFormStyle},
    {"SetFormStyle", cmdSetFormStyle},
    {"GetFillStyle", cmdGetFillStyle},
    {"SetFillStyle", cmdSetFillStyle},
    {"Box", CmdBox},
    {"Circle", CmdCircle},
    {"Ellipse", CmdEllipse},
    {"Arc", CmdArc},
    {"Polygon", CmdPolygon},
    {"Line", CmdLine},
    {"Plot", CmdPlot},
    {"ReadPixel", CmdReadPixel},
    {"Cls", CmdCls},
    {nullptr, nullptr},
};

const ConstantTableEntry DRAW_CONSTANTS[] = {
    {"BLACK", nullptr, 0},
    {"MAROON", nullptr, 0x800000},
    {"GREEN", nullptr, 0x008000},
    {"OLIVE", nullptr, 0x808000},
    {"NAVY", nullptr, 0x000080},
    {"PURPLE", nullptr, 0x800080},
    {"TEAL", nullptr, 0x008080},
    {"GRAY", nullptr, 0x808080},
    {"SILVER", nullptr, 0xC0C0C0},
    {"RED", nullptr, 0xFF0000},
    {"LIME", nullptr, 0x00FF00},
    {"YELLOW", nullptr, 0xFFFF00},
    {"BLUE", nullptr, 0x0000FF},
    {"FUCHSIA", nullptr, 0xFF00FF},
    {"AQUA", nullptr, 0x00FFFF},
    {"WHITE", nullptr, 0xFFFFFF},
    {"FILLNONE", nullptr, FILLNONE},
    {"FILLCOLOR", nullptr, FILLCOLOR},
    {"FILLGRADIENT", nullptr, FILLGRADIENT},
    {"FILLTEXTURE", nullptr, FILLTEXTURE},
    {"BOX", nullptr, SHAPE_BOX},
    {"CIRCLE", nullptr, SHAPE_CIRCLE},
    {"ELLIPSE", nullptr, SHAPE_ELLIPSE},
    {"LINE", nullptr, SHAPE_LINE},
    {"PLOT", nullptr, SHAPE_PLOT},
    {"POLYGON", nullptr, SHAPE_POLYGON},
    {"ARC", nullptr, SHAPE_ARC},
    {nullptr, nullptr, 0},
};

void setDefaultStyle(DrawStyle* s) {
  *s = DrawStyle{};
  s->fillStyle = FILLNONE;
  s->formFlags = FORM_NORMAL;
  InitGradientFill(&s->gradient, 2, 0x0000FF, 0, 0);
  s->borderSize = 2;
  s->borderColor = 0x0093DD;
  s->shadowSize = 4;
  s->shadowDirection = 3;
  s->shadowColor = 0;
  s->lineWidth = 1;
}

}  // namespace

DrawStyle* GetCurrentDrawStyle() { return &drawContext.style; }

void ClampDrawStyle(DrawStyle* s) {
  if (s->lineWidth <= 0) s->lineWidth = 1;
  if (s->shadowSize <= 0) s->shadowSize = 1;
  if (s->shadowSize > MAX_EFFECT_SIZE) s->shadowSize = MAX_EFFECT_SIZE;
  if (s->borderSize <= 0) s->borderSize = 1;
  if (s->borderSize > MAX_EFFECT_SIZE) s->borderSize = MAX_EFFECT_SIZE;
  if (static_cast<uint32_t>(s->shadowDirection) > 7) s->shadowDirection = 3;
  if (static_cast<uint32_t>(s->fillStyle) > 3) s->fillStyle = FILLNONE;
}

ErrorCode OpenDrawLibrary(VmState* L) {
  setDefaultStyle(&drawContext.style);
  // Entry i holds (360 - i) degrees; entry 0 is 2 pi itself, whose sine
  // as computed is not 0.
  for (int i = 0; i <= 360; ++i) {
    double a = (360 - i) * DEGREE;
    drawContext.sinTable[i] = std::sin(a);
    drawContext.cosTable[i] = std::cos(a);
  }
  drawContext.drawOpen = 1;
  SetDefaultDrawOptions(nullptr, nullptr);
  SetDrawTagsDefaultHook(SetDrawOptionDefaults);
  RegisterShapeLayerKinds();
  if (ErrorCode e = RegisterLibrary(DRAW_COMMANDS, "draw")) return e;
  VmRegisterFunctions(L, nullptr, DRAW_COMMANDS, 0);
  VmRegisterConstants(L, DRAW_CONSTANTS, 0);
  return ERR_NONE;
}

void FreeDrawTables(VmState*) {
  drawContext.drawOpen = 0;
  SetDrawTagsDefaultHook(nullptr);
  SetDefaultDrawOptions(nullptr, nullptr);
}
