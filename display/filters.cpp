// Filter slots of object styles and layers: the default transform and
// style, the reader of a "filters" list and the runner that applies the
// slots that are on to a bitmap. Each filter runs the kernel of the brush
// command of the same name with the slot's arguments in that command's
// order. Invariant: a reader that fails leaves the caller's slots as they
// were (it works on a copy).
#include <cstdio>
#include <cstring>

#include "display/display.h"

namespace {

// An argument kind: 'i' integer, 'l' level (a number or "N%" of 255), 'r'
// real; defaults in the same order.
struct FilterInfo {
  const char* name;
  const char* kinds;
  double defaults[5];
};
const FilterInfo FILTERS[FILTER_SLOTS] = {
    {"blur", "r", {5.0}},
    {"charcoal", "r", {2.0}},
    {"contrast", "ii", {1, 1}},
    {"edge", "r", {5.0}},
    {"emboss", "r", {5.0}},
    {"gamma", "rrr", {1.0, 1.0, 1.0}},
    {"grayscale", "", {}},
    {"invert", "", {}},
    {"modulate", "rrr", {100.0, 100.0, 100.0}},
    {"monochrome", "i", {1}},
    {"oilpaint", "r", {2.0}},
    {"pixelate", "i", {10}},
    {"sepiatone", "l", {204}},
    {"sharpen", "r", {5.0}},
    {"solarize", "l", {128}},
    {"swirl", "i", {180}},
    {"tint", "il", {0xFFFFFF, 128}},
    {"waterripple", "iiirr", {32, 1, 0, 0.5, 0.5}},
    {"xflip", "", {}},
    {"yflip", "", {}},
    {"quantize", "ii", {256, 1}},
};

constexpr DisplayTransform DEFAULT_TRANSFORM = {
    1, 0, 0, 1, 1.0, 1.0, 0, 0, 0, {0, 0, 0, 0}, 0, 0, 0, 0,
};

ObjectStyle defaultStyle() {
  ObjectStyle s{};
  s.shadow.colour = 0x80000000u;
  s.shadow.size = 4;
  s.shadow.direction = SHDWSOUTHEAST;
  s.shadow.radius = 5.0;
  s.shadow.sigma = 5.0 / 3.0;
  s.border.size = 2;
  return s;
}

// Stores one argument of the filter's list at place i (the value at the
// top of the stack), into the integer or real field it fills.
void storeArgument(VmState* L, const FilterInfo& info, int i, int32_t* ints, float* reals,
                   ErrorCode* error) {
  char kind = info.kinds[i];
  if (kind == 'l') {
    *ints = VmTruncInt32(GetNumberArgEx(L, VmGetTop(L), 255, 0, nullptr));
    return;
  }
  if (!VmIsNumber(L, -1)) {
    SetErrorArgString("args");
    *error = ERR_NUMTABLEARG;
    return;
  }
  double v = VmToNumber(L, -1);
  if (kind == 'r')
    *reals = static_cast<float>(v);
  else
    *ints = VmTruncInt32(v);
}

// Fills the slot's argument fields from the "args" list at the top (or
// from the defaults when absent); fields past the filter's keep theirs.
ErrorCode readArguments(VmState* L, const FilterInfo& info, FilterSlot* slot, bool given) {
  int n = static_cast<int>(std::strlen(info.kinds));
  int intAt = 0, realAt = 0;
  bool listEnded = !given;
  for (int i = 0; i < n; ++i) {
    int32_t* intField = info.kinds[i] == 'r' ? nullptr : &slot->ints[intAt++];
    float* realField = info.kinds[i] == 'r' ? &slot->reals[realAt++] : nullptr;
    if (!listEnded) {
      VmRawGetI(L, -1, i);
      if (VmType(L, -1) == VM_TYPE_NIL) {
        listEnded = true;
      } else {
        ErrorCode error = ERR_NONE;
        storeArgument(L, info, i, intField, realField, &error);
        VmSetTop(L, -2);
        if (error) return error;
        continue;
      }
      VmSetTop(L, -2);
    }
    if (intField)
      *intField = static_cast<int32_t>(info.defaults[i]);
    else
      *realField = static_cast<float>(info.defaults[i]);
  }
  return ERR_NONE;
}

// The field of the element table at the top, pushed; false (nothing
// pushed) when it is nil.
bool pushElementField(VmState* L, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, -2);
  if (VmType(L, -1) != VM_TYPE_NIL) return true;
  VmSetTop(L, -2);
  return false;
}

// Reads the element table at the top into the slots.
ErrorCode readElement(VmState* L, int index, FilterSlot* slots) {
  if (!pushElementField(L, "name")) {
    char number[16];
    std::snprintf(number, sizeof number, "%d", index);
    SetErrorArgString(number);
    return ERR_NOFILTERNAME;
  }
  if (!VmIsString(L, -1)) {
    VmSetTop(L, -2);
    SetErrorArgString("name");
    return ERR_STRTABLEARG;
  }
  const char* name = VmToString(L, -1);
  int slot = -1;
  for (int i = 0; i < FILTER_SLOTS && slot < 0; ++i)
    if (CompareNoCase(name, FILTERS[i].name) == 0) slot = i;
  if (slot < 0) {
    SetErrorArgString(name);
    VmSetTop(L, -2);
    return ERR_UNKNOWNFILTER;
  }
  VmSetTop(L, -2);
  FilterSlot* s = &slots[slot];
  if (pushElementField(L, "disable")) {
    bool number = VmIsNumber(L, -1);
    int32_t disable = number ? VmTruncInt32(VmToNumber(L, -1)) : 0;
    VmSetTop(L, -2);
    if (!number) {
      SetErrorArgString("disable");
      return ERR_NUMTABLEARG;
    }
    if (disable != 0) {
      s->on = 0;
      return ERR_NONE;
    }
  }
  int32_t priority = 0;
  if (pushElementField(L, "priority")) {
    bool number = VmIsNumber(L, -1);
    if (number) priority = VmTruncInt32(VmToNumber(L, -1));
    VmSetTop(L, -2);
    if (!number) {
      SetErrorArgString("priority");
      return ERR_NUMTABLEARG;
    }
  }
  bool given = pushElementField(L, "args");
  if (given && VmType(L, -1) != VM_TYPE_TABLE) {
    SetErrorArgString("args");
    VmRaiseError(L, ERR_TABEXPECTED);
  }
  ErrorCode error = readArguments(L, FILTERS[slot], s, given);
  if (given) VmSetTop(L, -2);
  if (error) return error;
  s->on = 1;
  s->priority = static_cast<uint8_t>(priority & 0xFF);
  return ERR_NONE;
}

// Runs one filter through its kernel.
ErrorCode runFilter(int32_t slot, const FilterSlot& s, BitmapHandle* bitmap, BitmapHandle* mask,
                    BitmapHandle* alpha, int32_t width, int32_t height) {
  const int32_t* i = s.ints;
  const float* r = s.reals;
  switch (slot) {
    case FILTER_BLUR:
      return ConvolveBitmap(CONVOLVE_BLUR, bitmap, alpha, width, height, r[0], r[0] / 3.0, nullptr);
    case FILTER_CHARCOAL:
      return CharcoalBitmap(bitmap, nullptr, width, height, r[0], r[0] / 3.0);
    case FILTER_CONTRAST:
      return ContrastBitmap(bitmap, width, height, i[0], i[1], nullptr);
    case FILTER_EDGE:
      return ConvolveBitmap(CONVOLVE_EDGE, bitmap, alpha, width, height, r[0], 0.0, nullptr);
    case FILTER_EMBOSS:
      return ConvolveBitmap(CONVOLVE_EMBOSS, bitmap, alpha, width, height, r[0], 1.0, nullptr);
    case FILTER_GAMMA:
      return GammaBitmap(bitmap, width, height, r[0], r[1], r[2]);
    case FILTER_GRAYSCALE:
      return GrayBitmap(bitmap, width, height, nullptr, 0);
    case FILTER_INVERT:
      return InvertBitmap(bitmap, width, height, nullptr);
    case FILTER_MODULATE:
      // The script's values are percentages; the kernel takes fractions.
      return ModulateBitmap(bitmap, width, height, r[0] / 100.0, r[1] / 100.0, r[2] / 100.0);
    case FILTER_MONOCHROME:
      return MonochromeBitmap(bitmap, width, height, i[0]);
    case FILTER_OILPAINT:
      return OilPaintBitmap(bitmap, width, height, r[0]);
    case FILTER_PIXELATE:
      return PixelateBitmap(bitmap, mask, alpha, width, height, i[0]);
    case FILTER_SEPIATONE:
      return SepiaToneBitmap(bitmap, width, height, i[0]);
    case FILTER_SHARPEN:
      return ConvolveBitmap(CONVOLVE_SHARPEN, bitmap, alpha, width, height, r[0], 1.0, nullptr);
    case FILTER_SOLARIZE:
      return SolarizeBitmap(bitmap, width, height, i[0]);
    case FILTER_SWIRL:
      return SwirlBitmap(bitmap, mask, alpha, width, height, i[0]);
    case FILTER_TINT:
      return TintBitmap(bitmap, 0, 0, width, height, static_cast<ArgbColor>(i[0]), i[1]);
    case FILTER_WATERRIPPLE:
      return WaterRippleBitmap(bitmap, mask, alpha, width, height, i[0], i[1], i[2], r[0], r[1]);
    case FILTER_XFLIP:
      return FlipBitmap(bitmap, mask, alpha, width, height, 0);
    case FILTER_YFLIP:
      return FlipBitmap(bitmap, mask, alpha, width, height, 1);
    case FILTER_QUANTIZE:
      return QuantizeBitmap(bitmap, width, height, i[0], i[1]);
    default:
      return ERR_WRONGUSAGE;
  }
}

}  // namespace

namespace {

// The draw-option defaults in force; a script replaces them whole.
struct DrawOptionDefaults {
  DisplayTransform transform = DEFAULT_TRANSFORM;
  ObjectStyle style = defaultStyle();
};
DrawOptionDefaults& drawOptionDefaults() {
  static DrawOptionDefaults defaults;
  return defaults;
}

}  // namespace

void CopyDefaultTransform(DisplayTransform* transform) {
  *transform = drawOptionDefaults().transform;
}

void CopyDefaultObjectStyle(ObjectStyle* style) { *style = drawOptionDefaults().style; }

const DisplayTransform* GetDefaultTransform() { return &drawOptionDefaults().transform; }

const ObjectStyle* GetDefaultObjectStyle() { return &drawOptionDefaults().style; }

void SetDefaultDrawOptions(const DisplayTransform* transform, const ObjectStyle* style) {
  DrawOptionDefaults& defaults = drawOptionDefaults();
  if (!transform && !style) {
    defaults = DrawOptionDefaults{};
    return;
  }
  if (transform) defaults.transform = *transform;
  if (style) defaults.style = *style;
}

int ReadLayerFilters(VmState* L, int table, FilterSlot slots[FILTER_SLOTS], int32_t* readFlag,
                     ErrorCode* error) {
  *error = ERR_NONE;
  if (table < 0 && table > VM_REGISTRY_INDEX) table = VmGetTop(L) + table + 1;
  VmPushString(L, "filters");
  VmGetTable(L, table);
  if (VmType(L, -1) == VM_TYPE_NIL) {
    VmSetTop(L, -2);
    return 0;
  }
  FilterSlot work[FILTER_SLOTS];
  std::memcpy(work, slots, sizeof work);
  ErrorCode failure = ERR_NONE;
  if (VmType(L, -1) != VM_TYPE_TABLE) {
    SetErrorArgString("filters");
    failure = ERR_TABEXPECTED2;
  }
  for (int i = 0; !failure; ++i) {
    VmRawGetI(L, -1, i);
    int type = VmType(L, -1);
    if (type == VM_TYPE_NIL) {
      VmSetTop(L, -2);
      break;
    }
    if (type != VM_TYPE_TABLE) {
      SetErrorArgString("filters");
      failure = ERR_TABEXPECTED2;
    } else {
      failure = readElement(L, i, work);
    }
    VmSetTop(L, -2);
  }
  VmSetTop(L, -2);
  if (failure) {
    *error = failure;
    return 0;
  }
  std::memcpy(slots, work, sizeof work);
  if (readFlag) *readFlag = 1;
  return 1;
}

ErrorCode ApplyLayerEffects(const FilterSlot slots[FILTER_SLOTS], BitmapHandle* bitmap,
                            BitmapHandle* mask, BitmapHandle* alpha, int32_t width,
                            int32_t height) {
  for (int priority = 255; priority >= 0; --priority) {
    for (int32_t i = 0; i < FILTER_SLOTS; ++i) {
      if (!slots[i].on || slots[i].priority != priority) continue;
      if (ErrorCode error = runFilter(i, slots[i], bitmap, mask, alpha, width, height))
        return error;
    }
  }
  return ERR_NONE;
}

const char* FilterSlotName(int32_t slot) {
  return slot >= 0 && slot < FILTER_SLOTS ? FILTERS[slot].name : "";
}

const char* FilterSlotKinds(int32_t slot) {
  return slot >= 0 && slot < FILTER_SLOTS ? FILTERS[slot].kinds : "";
}
