// Byte-level services: the MD5 digest (RFC 1321) and the Base64 encoder and
// decoder (RFC 4648 alphabet), beside the CRC-32 of the core utilities.
//
// Invariant: the MD5 context's block holds bytes % 64 pending bytes; a
// block is transformed as soon as it is full, so Final only pads the rest.
#include <cstring>

#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The four round functions.
inline uint32_t F(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t G(uint32_t b, uint32_t c, uint32_t d) { return c ^ (d & (b ^ c)); }
inline uint32_t H(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t I(uint32_t b, uint32_t c, uint32_t d) { return c ^ (b | ~d); }

template <uint32_t (*f)(uint32_t, uint32_t, uint32_t)>
inline void step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
  a = b + rotl(a + f(b, c, d) + x + t, s);
}

// One 64-byte block, written out step by step: the compiler keeps the four
// words in registers and folds each constant, which a loop over the tables
// with a switch per step does not allow.
void md5Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; i++)
    x[i] = static_cast<uint32_t>(block[i * 4]) | static_cast<uint32_t>(block[i * 4 + 1]) << 8 |
           static_cast<uint32_t>(block[i * 4 + 2]) << 16 |
           static_cast<uint32_t>(block[i * 4 + 3]) << 24;
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  // clang-format off
  step<F>(a, b, c, d, x[0], 0xd76aa478u, 7);
  step<F>(d, a, b, c, x[1], 0xe8c7b756u, 12);
  step<F>(c, d, a, b, x[2], 0x242070dbu, 17);
  step<F>(b, c, d, a, x[3], 0xc1bdceeeu, 22);
  step<F>(a, b, c, d, x[4], 0xf57c0fafu, 7);
  step<F>(d, a, b, c, x[5], 0x4787c62au, 12);
  step<F>(c, d, a, b, x[6], 0xa8304613u, 17);
  step<F>(b, c, d, a, x[7], 0xfd469501u, 22);
  step<F>(a, b, c, d, x[8], 0x698098d8u, 7);
  step<F>(d, a, b, c, x[9], 0x8b44f7afu, 12);
  step<F>(c, d, a, b, x[10], 0xffff5bb1u, 17);
  step<F>(b, c, d, a, x[11], 0x895cd7beu, 22);
  step<F>(a, b, c, d, x[12], 0x6b901122u, 7);
  step<F>(d, a, b, c, x[13], 0xfd987193u, 12);
  step<F>(c, d, a, b, x[14], 0xa679438eu, 17);
  step<F>(b, c, d, a, x[15], 0x49b40821u, 22);
  step<G>(a, b, c, d, x[1], 0xf61e2562u, 5);
  step<G>(d, a, b, c, x[6], 0xc040b340u, 9);
  step<G>(c, d, a, b, x[11], 0x265e5a51u, 14);
  step<G>(b, c, d, a, x[0], 0xe9b6c7aau, 20);
  step<G>(a, b, c, d, x[5], 0xd62f105du, 5);
  step<G>(d, a, b, c, x[10], 0x02441453u, 9);
  step<G>(c, d, a, b, x[15], 0xd8a1e681u, 14);
  step<G>(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
  step<G>(a, b, c, d, x[9], 0x21e1cde6u, 5);
  step<G>(d, a, b, c, x[14], 0xc33707d6u, 9);
  step<G>(c, d, a, b, x[3], 0xf4d50d87u, 14);
  step<G>(b, c, d, a, x[8], 0x455a14edu, 20);
  step<G>(a, b, c, d, x[13], 0xa9e3e905u, 5);
  step<G>(d, a, b, c, x[2], 0xfcefa3f8u, 9);
  step<G>(c, d, a, b, x[7], 0x676f02d9u, 14);
  step<G>(b, c, d, a, x[12], 0x8d2a4c8au, 20);
  step<H>(a, b, c, d, x[5], 0xfffa3942u, 4);
  step<H>(d, a, b, c, x[8], 0x8771f681u, 11);
  step<H>(c, d, a, b, x[11], 0x6d9d6122u, 16);
  step<H>(b, c, d, a, x[14], 0xfde5380cu, 23);
  step<H>(a, b, c, d, x[1], 0xa4beea44u, 4);
  step<H>(d, a, b, c, x[4], 0x4bdecfa9u, 11);
  step<H>(c, d, a, b, x[7], 0xf6bb4b60u, 16);
  step<H>(b, c, d, a, x[10], 0xbebfbc70u, 23);
  step<H>(a, b, c, d, x[13], 0x289b7ec6u, 4);
  step<H>(d, a, b, c, x[0], 0xeaa127fau, 11);
  step<H>(c, d, a, b, x[3], 0xd4ef3085u, 16);
  step<H>(b, c, d, a, x[6], 0x04881d05u, 23);
  step<H>(a, b, c, d, x[9], 0xd9d4d039u, 4);
  step<H>(d, a, b, c, x[12], 0xe6db99e5u, 11);
  step<H>(c, d, a, b, x[15], 0x1fa27cf8u, 16);
  step<H>(b, c, d, a, x[2], 0xc4ac5665u, 23);
  step<I>(a, b, c, d, x[0], 0xf4292244u, 6);
  step<I>(d, a, b, c, x[7], 0x432aff97u, 10);
  step<I>(c, d, a, b, x[14], 0xab9423a7u, 15);
  step<I>(b, c, d, a, x[5], 0xfc93a039u, 21);
  step<I>(a, b, c, d, x[12], 0x655b59c3u, 6);
  step<I>(d, a, b, c, x[3], 0x8f0ccc92u, 10);
  step<I>(c, d, a, b, x[10], 0xffeff47du, 15);
  step<I>(b, c, d, a, x[1], 0x85845dd1u, 21);
  step<I>(a, b, c, d, x[8], 0x6fa87e4fu, 6);
  step<I>(d, a, b, c, x[15], 0xfe2ce6e0u, 10);
  step<I>(c, d, a, b, x[6], 0xa3014314u, 15);
  step<I>(b, c, d, a, x[13], 0x4e0811a1u, 21);
  step<I>(a, b, c, d, x[4], 0xf7537e82u, 6);
  step<I>(d, a, b, c, x[11], 0xbd3af235u, 10);
  step<I>(c, d, a, b, x[2], 0x2ad7d2bbu, 15);
  step<I>(b, c, d, a, x[9], 0xeb86d391u, 21);
  // clang-format on
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
