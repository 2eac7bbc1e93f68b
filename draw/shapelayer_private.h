// The record that a shape or line layer keeps to draw itself again, and
// the routines of draw/shapelayer.cpp that make and redraw such layers.
#pragma once

#include <cstdint>

#include "draw/shape_private.h"

struct ShapeLayerRecord {
  DrawStyle style;  // the layer's own copy
  int32_t kind;     // LAYER_BOX .. LAYER_ARC
  int32_t lineBased;
  int32_t x1, y1, x2, y2, thickness;  // lines
  uint32_t color;
  int32_t corners[4];
  int32_t rx, ry;
  int32_t startAngle, endAngle, clockwise;
  double* vertices;     // polygons: x, y pairs relative to the bounding box (AllocMemory)
  int32_t vertexCount;  // number of doubles
};

// A copy with its own vertex array; null when out of memory.
ShapeLayerRecord* CopyShapeRecord(const ShapeLayerRecord* from);
void FreeShapeRecord(ShapeLayerRecord* rec);
// Draws the record with its box at x, y (width x height) through the
// transform; the image and where it lies.
ErrorCode DrawShapeRecord(VmState* L, const ShapeLayerRecord* rec, int32_t x, int32_t y,
                          int32_t width, int32_t height, const DisplayTransform& transform,
                          LayerTriple* out, int32_t* outX, int32_t* outY, int32_t* outWidth,
                          int32_t* outHeight);
// A layer of the record (which it takes over, also on failure) with its
// box at x, y; NewLayer's position and flags.
ErrorCode MakeShapeLayer(VmState* L, ShapeLayerRecord* rec, int32_t x, int32_t y, int32_t width,
                         int32_t height, const DisplayTransform* transform,
                         const ObjectStyle* objectStyle, int32_t position, uint32_t flags,
                         qmLayer** out);
// The form and fill fields of a style table into the style copy of a shape
// or path layer: "formstyle" and "formstyleclear" switch the layer's shadow
// and border in the work (styleChanged) and change the other form bits;
// then the fill style, gradient and texture. contentChanged is set where
// the content must be drawn again.
ErrorCode ReadFormFillFields(VmState* L, LayerStyleWork* work, int table, DrawStyle* style,
                             int32_t* contentChanged, int32_t* styleChanged);
// The form and fill fields of the style on the table at the top.
void SetFormFillFields(VmState* L, const DrawStyle* style);
