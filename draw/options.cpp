// Display options: the option table of every command that puts an object
// on the screen becomes a DisplayTransform (geometry) and an ObjectStyle
// (look). Invariant: every number that reaches a matrix, a scale, an angle
// or an anchor is finite; levels are rounded to nearest (ties to even) and
// clamped to 0-255.
#include <cmath>
#include <cstring>

#include "draw/draw.h"

namespace {

[[noreturn]] void fieldError(VmState* L, ErrorCode code, const char* name) {
  SetErrorArgString(name);
  VmRaiseError(L, code);
}

// Pushes the field; false (nothing pushed) when it is nil.
bool pushField(VmState* L, int table, const char* name) {
  VmPushString(L, name);
  VmGetTable(L, table);
  if (VmType(L, -1) != VM_TYPE_NIL) return true;
  VmSetTop(L, -2);
  return false;
}

// A switch: a boolean, or a number truncated toward zero.
bool readSwitch(VmState* L, int table, const char* name, int32_t* value) {
  if (!pushField(L, table, name)) return false;
  if (VmType(L, -1) == VM_TYPE_BOOLEAN)
    *value = VmToBoolean(L, -1);
  else if (VmIsNumber(L, -1))
    *value = VmTruncInt32(VmToNumber(L, -1));
  else
    fieldError(L, ERR_NUMTABLEARG, name);
  VmSetTop(L, -2);
  return true;
}

// A number that must be finite (else ERR_WRONGUSAGE).
ErrorCode readFinite(VmState* L, int table, const char* name, double* value, bool* found) {
  int present = 0;
  double v = 0;
  GetTableFieldNumber(L, table, name, &v, &present);
  *found = present != 0;
  if (!present) return ERR_NONE;
  if (!std::isfinite(v)) return ERR_WRONGUSAGE;
  *value = v;
  return ERR_NONE;
}

// A level: a number or "N%" of 255, rounded to nearest (ties to even) and
// clamped to 0-255.
bool readLevel(VmState* L, int table, const char* name, int32_t* value) {
  int present = 0;
  double v = 0;
  GetTableFieldNumberEx(L, table, name, 255, 0, &v, nullptr, &present);
  if (!present) return false;
  if (std::isnan(v)) v = 0;
  v = std::nearbyint(v);
  *value = v < 0 ? 0 : v > 255 ? 255 : static_cast<int32_t>(v);
  return true;
}

// The effective matrix from sizes or scale factors and the rotation.
void buildMatrix(DisplayTransform* t, int32_t sourceWidth, int32_t sourceHeight) {
  double m[4];
  BuildRotateScaleMatrix(m, t->width, t->height, sourceWidth, sourceHeight, t->scaleX, t->scaleY,
                         t->rotate);
  t->m11 = m[0];
  t->m12 = m[1];
  t->m21 = m[2];
  t->m22 = m[3];
  t->hasMatrix = 1;
}

// The geometry fields; *geometry tells whether any was present.
ErrorCode readGeometry(VmState* L, int table, int32_t sourceWidth, int32_t sourceHeight,
                       int32_t defaultSmooth, uint32_t flags, DisplayTransform* t, bool* geometry,
                       bool* matrixGiven) {
  *geometry = *matrixGiven = false;
  bool found = false;
  double matrix[4];
  int present = 0;
  GetTableFieldMatrix(L, table, "transform", matrix, &present);
  if (present) {
    for (double v : matrix)
      if (!std::isfinite(v)) return ERR_WRONGUSAGE;
    if (matrix[0] == 0 || matrix[3] == 0) return ERR_WRONGUSAGE;
    std::memcpy(t->matrix, matrix, sizeof matrix);
    t->m11 = matrix[0];
    t->m12 = matrix[1];
    t->m21 = matrix[2];
    t->m22 = matrix[3];
    t->hasMatrix = 1;
    *matrixGiven = true;
    return ERR_NONE;
  }
  bool scaled = false;
  for (const char* name : {"scalex", "scaley"}) {
    double v = 0;
    if (ErrorCode e = readFinite(L, table, name, &v, &found)) return e;
    if (!found) continue;
    if (v == 0) return ERR_WRONGUSAGE;
    (name[5] == 'x' ? t->scaleX : t->scaleY) = v;
    scaled = *geometry = true;
  }
  if (!scaled && !(flags & DISPOPT_NOSIZE)) {
    int32_t width = 0, height = 0;
    int given = 0;
    if (GetTableFieldInt(L, table, "width", &width, &given)) {
      t->width = width == sourceWidth ? 0 : width;
      if (t->width != 0) *geometry = true;
    }
    if (GetTableFieldInt(L, table, "height", &height, &given)) {
      t->height = height == sourceHeight ? 0 : height;
      if (t->height != 0) *geometry = true;
    }
  }
  if (!(flags & DISPOPT_NOROTATE)) {
    double angle = 0;
    if (ErrorCode e = readFinite(L, table, "rotate", &angle, &found)) return e;
    if (found) {
      t->rotate = std::fmod(angle, 360.0);
      if ((flags & DISPOPT_SMOOTHROTATE) && t->rotate != 0) t->smoothScale = defaultSmooth;
      *geometry = true;
    }
  }
  return ERR_NONE;
}

ErrorCode readStyle(VmState* L, int table, ObjectStyle* s) {
  readSwitch(L, table, "hidden", &s->hidden);
  readLevel(L, table, "transparency", &s->transparency);
  // The tint fields are applied after the "filters" list, so that they
  // replace what a "tint" entry there set.
  int32_t tintLevel = 0;
  bool tint = readLevel(L, table, "tint", &tintLevel);
  uint32_t tintColour = 0;
  int colourGiven = 0;
  GetTableFieldU32(L, table, "tintcolor", &tintColour, &colourGiven);
  int32_t insert = 0;
  int given = 0;
  if (GetTableFieldInt(L, table, "insertpos", &insert, &given)) {
    if (insert < 0) return ERR_INVINSERT;
    s->insertPos = insert;
  }
  int found = 0;
  if (ErrorCode e = ParseShadowOptions(L, table, &s->shadow, &found)) return e;
  if (ErrorCode e = ParseBorderOptions(L, table, 0, &s->border, &found)) return e;
  ErrorCode error = ERR_NONE;
  ReadLayerFilters(L, table, s->filters, nullptr, &error);
  if (error) return error;
  FilterSlot& slot = s->filters[FILTER_TINT];
  if (tint) {
    if (!slot.on) slot.ints[0] = 0xFFFFFF;
    slot.ints[1] = tintLevel;
    slot.on = tintLevel != 0;
  }
  if (colourGiven) slot.ints[0] = static_cast<int32_t>(tintColour & 0xFFFFFF);
  bool filtered = false;
  for (const FilterSlot& f : s->filters) filtered = filtered || f.on;
  s->effects = s->hidden || s->transparency || filtered || s->shadow.on || s->border.on;
  if (pushField(L, table, "name")) {
    if (!VmIsString(L, -1)) fieldError(L, ERR_STRTABLEARG, "name");
    size_t length = VmStrLen(L, -1);
    if (length >= OBJECT_NAME_SIZE) {
      VmSetTop(L, -2);
      return ERR_NAMETOOLONG;
    }
    std::memcpy(s->name, VmToString(L, -1), length + 1);
    VmSetTop(L, -2);
  }
  return ERR_NONE;
}

}  // namespace

ErrorCode ParseShadowOptions(VmState* L, int table, ShadowStyle* shadow, int* found) {
  int32_t on = 0;
  if (!readSwitch(L, table, "shadow", &on)) return ERR_NONE;
  *found = 1;
  shadow->on = on != 0;
  if (!on) return ERR_NONE;
  int given = 0;
  GetTableFieldU32(L, table, "shadowcolor", &shadow->colour, &given);
  GetTableFieldInt(L, table, "shadowdir", &shadow->direction, &given);
  GetTableFieldInt(L, table, "shadowsize", &shadow->size, &given);
  bool present = false;
  if (ErrorCode e = readFinite(L, table, "shadowradius", &shadow->radius, &present)) return e;
  if (ErrorCode e = readFinite(L, table, "shadowsigma", &shadow->sigma, &present)) return e;
  if (shadow->radius < 1.0 || shadow->size < 0 || !(shadow->sigma > 0)) return ERR_WRONGUSAGE;
  return ERR_NONE;
}

ErrorCode ParseBorderOptions(VmState* L, int table, int aliases, BorderStyle* border, int* found) {
  int given = 0;
  if (readSwitch(L, table, "border", &border->on)) *found = 1;
  GetTableFieldU32(L, table, "bordercolor", &border->colour, &given);
  GetTableFieldInt(L, table, "bordersize", &border->size, &given);
  if (aliases) {
    GetTableFieldU32(L, table, "edgecolor", &border->colour, &given);
    GetTableFieldInt(L, table, "edgesize", &border->size, &given);
    GetTableFieldInt(L, table, "outlinethickness", &border->size, &given);
  }
  if (border->on && border->size <= 0) return ERR_WRONGUSAGE;
  return ERR_NONE;
}

ErrorCode SetDrawOptionDefaults(VmState* L) {
  DisplayTransform transform;
  ObjectStyle style;
  CopyDefaultTransform(&transform);
  CopyDefaultObjectStyle(&style);
  DisplayTransform kept = transform;
  const int32_t insertPos = style.insertPos;
  if (ErrorCode e = ParseDisplayOptions(L, 1, 0, 0, 0, 0, transform.smoothScale, &transform, &style,
                                        DISPOPT_NEEDTABLE | DISPOPT_NOSIZE))
    return e;
  kept.smoothScale = transform.smoothScale;
  kept.anchorX = transform.anchorX;
  kept.anchorY = transform.anchorY;
  style.name[0] = 0;
  style.insertPos = insertPos;
  SetDefaultDrawOptions(&kept, &style);
  return ERR_NONE;
}

ErrorCode ParseDisplayOptions(VmState* L, int index, int32_t sourceWidth, int32_t sourceHeight,
                              int32_t requestedWidth, int32_t requestedHeight,
                              int32_t defaultSmooth, DisplayTransform* transform,
                              ObjectStyle* style, uint32_t flags) {
  if (requestedWidth == sourceWidth) requestedWidth = 0;
  if (requestedHeight == sourceHeight) requestedHeight = 0;
  if (flags & DISPOPT_DEFAULTS) {
    CopyDefaultTransform(transform);
    if (style) CopyDefaultObjectStyle(style);
    transform->width = requestedWidth;
    transform->height = requestedHeight;
    if (!(flags & DISPOPT_SMOOTHROTATE)) transform->smoothScale = defaultSmooth;
  }
  bool table = index > 0 && index == VmGetTop(L);
  if (table && VmType(L, index) != VM_TYPE_TABLE) {
    if (flags & DISPOPT_NEEDTABLE) {
      SetErrorArgNumber(index);
      return ERR_TABEXPECTED;
    }
    table = false;
  }
  if (!table) {
    if (requestedWidth || requestedHeight) buildMatrix(transform, sourceWidth, sourceHeight);
    return ERR_NONE;
  }
  bool geometry = false, matrixGiven = false;
  if (ErrorCode e = readGeometry(L, index, sourceWidth, sourceHeight, defaultSmooth, flags,
                                 transform, &geometry, &matrixGiven))
    return e;
  if (geometry)
    buildMatrix(transform, sourceWidth, sourceHeight);
  else if (!matrixGiven)
    transform->hasMatrix = 0;
  readSwitch(L, index, "smoothscale", &transform->smoothScale);
  bool found = false;
  for (double* anchor : {&transform->anchorX, &transform->anchorY}) {
    double v = *anchor;
    const char* name = anchor == &transform->anchorX ? "anchorx" : "anchory";
    if (ErrorCode e = readFinite(L, index, name, &v, &found)) return e;
    if (found && (v < 0.0 || v > 1.0)) return ERR_WRONGUSAGE;
    *anchor = v;
  }
  if (!style) return ERR_NONE;
  return readStyle(L, index, style);
}
