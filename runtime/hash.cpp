// Byte-level services: the MD5 digest (RFC 1321) and the Base64 encoder and
// decoder (RFC 4648 alphabet), beside the CRC-32 of the core utilities.
//
// Invariant: the MD5 context's block holds bytes % 64 pending bytes; a
// block is transformed as soon as it is full, so Final only pads the rest.
#include <cstring>

#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

namespace {

constexpr uint32_t MD5_T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
// Rotation amounts of the four rounds, four per round.
constexpr int MD5_S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void md5Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++)
    x[i] = static_cast<uint32_t>(block[i * 4]) | static_cast<uint32_t>(block[i * 4 + 1]) << 8 |
           static_cast<uint32_t>(block[i * 4 + 2]) << 16 |
           static_cast<uint32_t>(block[i * 4 + 3]) << 24;
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; i++) {
    uint32_t f;
    int g;
    int round = i / 16;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        g = i;
        break;
      case 1:
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
        break;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + rotl(a + f + MD5_T[i] + x[g], MD5_S[round][i % 4]);
    a = t;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

constexpr char BASE64_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

void MD5Init(Md5Context* context) {
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
  context->bytes = 0;
}

void MD5Update(Md5Context* context, const void* data, size_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>(context->bytes % 64);
  context->bytes += count;
  if (used) {
    size_t take = 64 - used < count ? 64 - used : count;
    std::memcpy(context->block + used, p, take);
    p += take;
    count -= take;
    if (used + take < 64) return;
    md5Transform(context->state, context->block);
  }
  for (; count >= 64; p += 64, count -= 64) md5Transform(context->state, p);
  if (count) std::memcpy(context->block, p, count);
}

void MD5Final(Md5Context* context, uint8_t digest[16]) {
  uint64_t bits = context->bytes * 8;
  static const uint8_t padding[64] = {0x80};
  size_t used = static_cast<size_t>(context->bytes % 64);
  size_t pad = used < 56 ? 56 - used : 120 - used;
  MD5Update(context, padding, pad);
  uint8_t length[8];
  for (int i = 0; i < 8; i++) length[i] = static_cast<uint8_t>(bits >> (8 * i));
  MD5Update(context, length, 8);
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++)
      digest[i * 4 + j] = static_cast<uint8_t>(context->state[i] >> (8 * j));
  std::memset(context, 0, sizeof *context);
}

void MD5HexDigest(const void* data, size_t count, char out[33]) {
  static const char hex[] = "0123456789abcdef";
  Md5Context context;
  uint8_t digest[16];
  MD5Init(&context);
  MD5Update(&context, data, count);
  MD5Final(&context, digest);
  for (int i = 0; i < 16; i++) {
    out[i * 2] = hex[digest[i] >> 4];
    out[i * 2 + 1] = hex[digest[i] & 15];
  }
  out[32] = '\0';
}

size_t Base64EncodedSize(size_t count, ErrorCode* error) {
  size_t units = count / 3 + (count % 3 != 0);
  if (units > SIZE_MAX / 4) {
    if (error) *error = ERR_MEM;
    return 0;
  }
  if (error) *error = ERR_NONE;
  return units * 4;
}

void EncodeBase64(const void* data, size_t count, char* out) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (; count >= 3; p += 3, count -= 3) {
    uint32_t v = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    *out++ = BASE64_ALPHABET[v >> 18];
    *out++ = BASE64_ALPHABET[(v >> 12) & 63];
    *out++ = BASE64_ALPHABET[(v >> 6) & 63];
    *out++ = BASE64_ALPHABET[v & 63];
  }
  if (count) {
    uint32_t v =
        static_cast<uint32_t>(p[0]) << 16 | (count == 2 ? static_cast<uint32_t>(p[1]) << 8 : 0);
    *out++ = BASE64_ALPHABET[v >> 18];
    *out++ = BASE64_ALPHABET[(v >> 12) & 63];
    *out++ = count == 2 ? BASE64_ALPHABET[(v >> 6) & 63] : '=';
    *out++ = '=';
  }
}

ErrorCode DecodeBase64(const char* text, size_t length, void* out, size_t* written) {
  uint8_t* o = static_cast<uint8_t*>(out);
  uint32_t unit = 0;
  int filled = 0;   // characters of the current unit
  int padding = 0;  // "=" characters in it
  *written = 0;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 33) continue;
    int v;
    if (c == '=') {
      // Padding may only fill the last two places of a unit.
      if (filled < 2) return ERR_BADBASE64;
      padding++;
      v = 0;
    } else {
      v = base64Value(c);
      if (v < 0 || padding) return ERR_BADBASE64;
    }
    unit = unit << 6 | static_cast<uint32_t>(v);
    if (++filled == 4) {
      *o++ = static_cast<uint8_t>(unit >> 16);
      if (padding < 2) *o++ = static_cast<uint8_t>(unit >> 8);
      if (padding < 1) *o++ = static_cast<uint8_t>(unit);
      unit = 0;
      filled = 0;
      padding = 0;
    }
  }
  if (filled) return ERR_BADBASE64;
  *written = static_cast<size_t>(o - static_cast<uint8_t*>(out));
  return ERR_NONE;
}
