// BMP reading: 1, 4 and 8 bits with a colour table (8 bits also RLE8),
// 16 bits as 5-6-5 and 24 bits, bottom-up files only. Invariant: every
// pen written lies inside the pen buffer and every row read inside the
// picture. A file must hold the rows its header claims; the padding bytes
// missing at the end of a last row read as 0xFF.
#include <cstring>

#include "media/image_private.h"
#include "media/media.h"

namespace {

constexpr int64_t FILE_HEADER_BYTES = 14;
constexpr int32_t MAX_COLOURS = 256;

struct BmpHeader {
  uint32_t fileSize;
  uint32_t dataOffset;
  uint32_t headerSize;
  int32_t width;
  int32_t height;
  uint32_t bitsPerPixel;
  uint32_t compression;
  uint32_t coloursUsed;
};

uint32_t le32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Reads n bytes; what the file does not hold reads as 0xFF.
void readPadded(StreamHandle* s, uint8_t* buffer, size_t n) {
  size_t got = ReadStream(s, buffer, n);
  if (got < n) std::memset(buffer + got, 0xFF, n - got);
}

size_t paddedRow(size_t bytes) { return (bytes + 3) & ~size_t{3}; }

// The RLE8 pen data, rows bottom to top into pens (width x height).
ErrorCode decodeRle8(StreamHandle* s, const BmpHeader& h, uint8_t* pens) {
  const size_t width = static_cast<size_t>(h.width);
  const size_t rowLength = paddedRow(width);
  auto* row = static_cast<uint8_t*>(AllocMemory(rowLength, 1));
  if (!row) return ERR_MEM;
  const int64_t budget = static_cast<int64_t>(h.fileSize) - static_cast<int64_t>(h.dataOffset);
  int64_t used = 0;
  int64_t y = h.height - 1;
  size_t x = 0;
  auto storeRow = [&]() {
    if (y >= 0) std::memcpy(pens + static_cast<size_t>(y) * width, row, width);
    std::memset(row, 0, rowLength);
    y--;
    x = 0;
  };
  bool ended = false;
  while (!ended && used < budget && y >= 0) {
    int count = ReadStreamByte(s);
    int value = ReadStreamByte(s);
    if (count < 0 || value < 0) break;
    used += 2;
    if (count > 0) {
      for (int i = 0; i < count && x < rowLength; i++) row[x++] = static_cast<uint8_t>(value);
      continue;
    }
    switch (value) {
      case 0:  // end of line: the rest of the row is pen 0
        storeRow();
        break;
      case 1:  // end of picture
        storeRow();
        ended = true;
        break;
      case 2: {  // delta: skipped pixels and rows stay pen 0
        int dx = ReadStreamByte(s), dy = ReadStreamByte(s);
        if (dx < 0 || dy < 0) {
          ended = true;
          break;
        }
        used += 2;
        size_t column = x + static_cast<size_t>(dx);
        for (int i = 0; i < dy && y >= 0; i++) storeRow();
        x = column < rowLength ? column : rowLength;
        break;
      }
      default: {
        for (int i = 0; i < value; i++) {
          int pen = ReadStreamByte(s);
          if (pen < 0) break;
          if (x < rowLength) row[x++] = static_cast<uint8_t>(pen);
        }
        used += value;
        if (value & 1) {
          ReadStreamByte(s);
          used++;
        }
      }
    }
  }
  // A last row that no end of line closed is kept.
  if (!ended && x > 0 && y >= 0) std::memcpy(pens + static_cast<size_t>(y) * width, row, width);
  FreeMemory(row);
  return 0;
}

// Packed pen rows of 1, 4 or 8 bits, bottom to top.
ErrorCode decodePens(StreamHandle* s, const BmpHeader& h, uint8_t* pens) {
  const size_t width = static_cast<size_t>(h.width);
  const size_t bits = h.bitsPerPixel;
  const size_t rowBytes = paddedRow((width * bits + 7) / 8);
  auto* row = static_cast<uint8_t*>(AllocMemory(rowBytes, 0));
  if (!row) return ERR_MEM;
  for (int64_t k = 0; k < h.height; k++) {
    readPadded(s, row, rowBytes);
    uint8_t* out = pens + static_cast<size_t>(h.height - 1 - k) * width;
    for (size_t x = 0; x < width; x++) {
      if (bits == 8)
        out[x] = row[x];
      else if (bits == 4)
        out[x] = (x & 1) ? (row[x / 2] & 0x0F) : (row[x / 2] >> 4);
      else
        out[x] = (row[x / 8] >> (7 - (x & 7))) & 1;
    }
  }
  FreeMemory(row);
  return 0;
}

// 16- and 24-bit rows, bottom to top.
ErrorCode decodeDirect(StreamHandle* s, const BmpHeader& h, uint32_t* pixels) {
  const size_t width = static_cast<size_t>(h.width);
  const size_t bytes = h.bitsPerPixel / 8;
  const size_t rowBytes = paddedRow(width * bytes);
  auto* row = static_cast<uint8_t*>(AllocMemory(rowBytes, 0));
  if (!row) return ERR_MEM;
  for (int64_t k = 0; k < h.height; k++) {
    readPadded(s, row, rowBytes);
    uint32_t* out = pixels + static_cast<size_t>(h.height - 1 - k) * width;
    const uint8_t* p = row;
    if (bytes == 2) {
      for (size_t x = 0; x < width; x++, p += 2) {
        uint32_t v = p[0] | (uint32_t{p[1]} << 8);
        uint32_t blue = (v * 8) % 256, green = (v & 0x7E0) / 8, red = (v / 256) & 0xF8;
        out[x] = (red << 16) | (green << 8) | blue;
      }
    } else {
      for (size_t x = 0; x < width; x++, p += 3)
        out[x] = (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
    }
  }
  FreeMemory(row);
  return 0;
}

// Whether the file holds the rows its header claims, checked before the
// picture is allocated. Stored rows are there whole (only the padding of
// the last one may be cut off). Run-length data reaches at most one row
// per end of line (2 bytes) and 255 rows per delta (4 bytes); an end of
// picture leaves the rows above it empty, which the file does not hold.
bool holdsRows(StreamHandle* s, const BmpHeader& h) {
  const int64_t size = GetStreamSize(s);
  if (size < 0) return true;
  if (size < static_cast<int64_t>(h.dataOffset)) return false;
  const uint64_t data = static_cast<uint64_t>(size) - h.dataOffset;
  const uint64_t rows = static_cast<uint64_t>(h.height);
  if (h.bitsPerPixel == 8 && h.compression == 1) return rows <= 1 + data / 4 * 255 + data % 4 / 2;
  const uint64_t rowBytes = paddedRow((static_cast<size_t>(h.width) * h.bitsPerPixel + 7) / 8);
  return rows * rowBytes <= data + 3;
}

}  // namespace

ErrorCode ReadBmpImage(StreamHandle* stream, int infoOnly, int32_t* width, int32_t* height,
                       uint32_t** pixels) {
  uint8_t b[54];
  size_t got = ReadStream(stream, b, sizeof b);
  if (got < 2) return ERR_READ;
  if (got < sizeof b) std::memset(b + got, 0xFF, sizeof b - got);
  if (b[0] != 'B' || b[1] != 'M') return ERR_LOADPICTURE2;
  BmpHeader h;
  h.fileSize = le32(b + 2);
  h.dataOffset = le32(b + 10);
  h.headerSize = le32(b + 14);
  h.width = static_cast<int32_t>(le32(b + 18));
  h.height = static_cast<int32_t>(le32(b + 22));
  h.bitsPerPixel = b[28] | (uint32_t{b[29]} << 8);
  h.compression = le32(b + 30);
  h.coloursUsed = le32(b + 46);
  if (infoOnly) {
    if (width) *width = h.width;
    if (height) *height = h.height;
    return 0;
  }
  // Top-down files (negative height) are not decoded; the width is signed
  // too and must be positive.
  size_t count;
  ErrorCode error = ImagePixelCount(h.width, h.height, &count);
  if (error) return error;
  const uint32_t bits = h.bitsPerPixel;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24) return ERR_LOADPICTURE2;

  if (!holdsRows(stream, h)) return ERR_LOADPICTURE2;
  auto* out = static_cast<uint32_t*>(AllocMemoryArray(count, sizeof(uint32_t), 0));
  if (!out) return ERR_MEM;
  if (bits > 8) {
    if (SeekFileStream(stream, h.dataOffset, 1) < 0 ||
        (error = decodeDirect(stream, h, out)) != 0) {
      FreeMemory(out);
      return error ? error : ERR_LOADPICTURE2;
    }
  } else {
    auto* pens = static_cast<uint8_t*>(AllocMemory(count, 1));
    if (!pens) {
      FreeMemory(out);
      return ERR_MEM;
    }
    // The colour table follows the information header, whatever its size;
    // entries the file does not give are black.
    uint32_t colours[MAX_COLOURS] = {};
    uint32_t entries = h.coloursUsed ? h.coloursUsed : (1u << bits);
    if (entries > MAX_COLOURS) entries = MAX_COLOURS;
    uint8_t table[MAX_COLOURS * 4];
    if (SeekFileStream(stream, FILE_HEADER_BYTES + static_cast<int64_t>(h.headerSize), 1) >= 0) {
      readPadded(stream, table, entries * 4);
      for (uint32_t i = 0; i < entries; i++)
        colours[i] =
            (uint32_t{table[4 * i + 2]} << 16) | (uint32_t{table[4 * i + 1]} << 8) | table[4 * i];
    }
    if (SeekFileStream(stream, h.dataOffset, 1) < 0)
      error = ERR_LOADPICTURE2;
    else if (bits == 8 && h.compression == 1)
      error = decodeRle8(stream, h, pens);
    else
      error = decodePens(stream, h, pens);
    if (error) {
      FreeMemory(pens);
      FreeMemory(out);
      return error;
    }
    for (size_t i = 0; i < count; i++) out[i] = colours[pens[i]];
    FreeMemory(pens);
  }
  if (width) *width = h.width;
  if (height) *height = h.height;
  *pixels = out;
  return 0;
}
