// The built-in vector engine inside draw/: path items as the vector path
// buffers hold them, the request records the engine's entry points take,
// and the shape routine the drawing library's vector route calls.
#pragma once

#include <cstdint>
#include <vector>

// Item kinds of a path buffer; each item is its 32-bit kind followed by
// its fields packed without gaps (integers 32 bits, doubles 64 bits,
// pointers pointer-sized, strings zero-terminated and padded to 4 bytes);
// a 32-bit 0 ends the buffer.
enum : int32_t {
  PATHITEM_END = 0,
  PATHITEM_MOVETO = 1,
  PATHITEM_LINETO = 2,
  PATHITEM_CURVETO = 3,
  PATHITEM_NEWSUBPATH = 5,
  PATHITEM_CLOSEPATH = 6,
  PATHITEM_ARC = 7,
  PATHITEM_BOX = 8,
  PATHITEM_TEXT = 9,
};
enum : int32_t { JOINMITER = 0, JOINROUND = 1, JOINBEVEL = 2 };
enum : int32_t { CAPBUTT = 0, CAPROUND = 1, CAPSQUARE = 2 };
enum : int32_t { FILLRULEWINDING = 0, FILLRULEEVENODD = 1 };

struct VectorLineStyle {
  int32_t join, cap, fillRule, antialias;
  double dashOffset;
  const double* dashes;
  int32_t dashCount;
  double miterLimit;
};

struct VectorPathRequest {
  const uint8_t* items;
  const VectorLineStyle* style;
  int32_t fill;  // 1 fill, 0 stroke
  int32_t lineWidth;
  double xOffset, yOffset;
  double x1, y1, x2, y2;  // extents results
  const double* matrix;   // xx, yx, xy, yy; null or identity: none
  // Drawing: the 8-bit coverage target.
  uint8_t* target;
  int32_t bytesPerRow, width, height;
};

struct VectorShapeRequest {
  uint8_t* target;  // null: measure only
  int32_t bytesPerRow;
  int32_t kind;  // 14 box, 31 arc, else an ellipse
  int32_t rx, ry;
  int32_t startAngle, endAngle;
  int32_t width, height;
  int32_t clockwise;
  int32_t outWidth, outHeight;
  int32_t growth;  // added to the radii and, twice, to width and height
  const double* matrix;
  const int32_t* corners;
  int32_t fill;
  int32_t strokeWidth;
};

// The built-in engine's entry points. Path entries return 1 on success, 0
// on failure (nothing is written then).
int GetVectorPathExtents(VectorPathRequest* request);
int DrawVectorPath(VectorPathRequest* request);
void TranslateVectorPath(uint8_t* items, double dx, double dy);
int GetVectorCurrentPoint(VectorPathRequest* request, double* x, double* y);
// A FreeType face over the bytes (which must stay while it is open); null
// on failure. Released with CloseVectorFont.
void* OpenVectorFont(const uint8_t* bytes, size_t length);
void CloseVectorFont(void* face);
int InbuiltDrawShape(VectorShapeRequest* request);
// Releases the engine's FreeType library.
void FreeVectorEngine();

// Appends items to a path buffer (for callers building items by hand).
struct PathItemWriter {
  std::vector<uint8_t> bytes;
  void Int(int32_t v);
  void Double(double v);
  void Pointer(const void* p);
  void String(const char* text);
  // The ending 0; the buffer is ready to be read then.
  const uint8_t* Finish();
};
