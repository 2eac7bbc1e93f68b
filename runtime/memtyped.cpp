// Typed reads and writes of 8-, 16- and 32-bit integers and of single and
// double precision numbers in a byte buffer, in big-endian, little-endian
// or machine order; used by the memory-block commands and by the string
// library's ByteVal and ByteStrStr.
//
// Invariant: with a known size no byte outside [0, size) is touched; the
// check is made in 64 bits so no offset or size can wrap it.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "engine/engine.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

namespace {

// Widths indexed by type code - 1 for codes 1 to 12.
constexpr int TYPE_WIDTHS[12] = {4, 0, 0, 0, 0, 2, 1, 0, 0, 0, 4, 8};

// Bytes of a value in memory order for the requested byte order, from its
// machine representation. The machine is little-endian (checked below), so
// native and little-endian order keep the bytes and big-endian reverses.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "typed memory access assumes a little-endian machine");
void orderBytes(uint8_t* bytes, int width, int native, int little) {
  if (native || little) return;
  for (int i = 0; i < width / 2; i++) {
    uint8_t t = bytes[i];
    bytes[i] = bytes[width - 1 - i];
    bytes[width - 1 - i] = t;
  }
}

ErrorCode checkRange(size_t size, int32_t type, int64_t offset, int* width) {
  *width = GetMemTypeSize(type);
  if (*width == 0) return ERR_WRONGUSAGE;
  if (offset < 0) return ERR_MEMRANGE;
  if (size != 0 && (static_cast<uint64_t>(offset) > size ||
                    size - static_cast<uint64_t>(offset) < static_cast<uint64_t>(*width)))
    return ERR_MEMRANGE;
  return ERR_NONE;
}

}  // namespace

int GetMemTypeSize(int32_t type) { return type >= 1 && type <= 12 ? TYPE_WIDTHS[type - 1] : 0; }

ErrorCode PokeTypedValue(void* buffer, size_t size, int32_t type, int64_t offset, uint32_t intValue,
                         double floatValue, double doubleValue, int native, int little) {
  int width;
  ErrorCode code = checkRange(size, type, offset, &width);
  if (code != ERR_NONE) return code;
  uint8_t bytes[8];
  switch (type) {
    case MEMTYPE_INTEGER:
      std::memcpy(bytes, &intValue, 4);
      break;
    case MEMTYPE_SHORT: {
      uint16_t v = static_cast<uint16_t>(intValue);
      std::memcpy(bytes, &v, 2);
      break;
    }
    case MEMTYPE_BYTE:
      bytes[0] = static_cast<uint8_t>(intValue);
      break;
    case MEMTYPE_FLOAT: {
      // Values beyond the single range become infinities explicitly: the
      // language leaves that conversion undefined.
      float v = std::fabs(floatValue) > FLT_MAX && std::isfinite(floatValue)
                    ? std::copysign(INFINITY, static_cast<float>(floatValue > 0 ? 1 : -1))
                    : static_cast<float>(floatValue);
      std::memcpy(bytes, &v, 4);
      break;
    }
    default:
      std::memcpy(bytes, &doubleValue, 8);
      break;
  }
  orderBytes(bytes, width, native, little);
  std::memcpy(static_cast<uint8_t*>(buffer) + offset, bytes, static_cast<size_t>(width));
  return ERR_NONE;
}

ErrorCode ReadTypedValue(const void* buffer, size_t size, int32_t type, int64_t offset, int native,
                         int little, double* value) {
  int width;
  ErrorCode code = checkRange(size, type, offset, &width);
  if (code != ERR_NONE) return code;
  uint8_t bytes[8];
  std::memcpy(bytes, static_cast<const uint8_t*>(buffer) + offset, static_cast<size_t>(width));
  orderBytes(bytes, width, native, little);
  switch (type) {
    case MEMTYPE_INTEGER: {
      uint32_t v;
      std::memcpy(&v, bytes, 4);
      *value = v;
      break;
    }
    case MEMTYPE_SHORT: {
      uint16_t v;
      std::memcpy(&v, bytes, 2);
      *value = v;
      break;
    }
    case MEMTYPE_BYTE:
      *value = bytes[0];
      break;
    case MEMTYPE_FLOAT: {
      float v;
      std::memcpy(&v, bytes, 4);
      *value = v;
      break;
    }
    default: {
      double v;
      std::memcpy(&v, bytes, 8);
      *value = v;
      break;
    }
  }
  return ERR_NONE;
}

ErrorCode PeekTypedValue(VmState* L, const void* buffer, size_t size, int32_t type, int64_t offset,
                         int native, int little) {
  double value;
  ErrorCode code = ReadTypedValue(buffer, size, type, offset, native, little, &value);
  if (code == ERR_NONE) VmPushNumber(L, value);
  return code;
}
