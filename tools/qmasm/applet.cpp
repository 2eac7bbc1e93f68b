// qmasm's applet output: the plain "QMA" container with its sections and
// the script, the compressed "QMZ" container, and a program file with a
// plug-in pack and an applet appended.
//
// Invariant: every number in an applet is big-endian; the appended-applet
// record is patched only when it occurs exactly once in the program.
#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "tools/qmasm/qmasm.h"

namespace qmasm {

namespace {

void putBE32(Bytes* b, uint32_t v) {
  b->push_back(static_cast<uint8_t>(v >> 24));
  b->push_back(static_cast<uint8_t>(v >> 16));
  b->push_back(static_cast<uint8_t>(v >> 8));
  b->push_back(static_cast<uint8_t>(v));
}

// A container: four magic bytes, a 32-bit field, one zlib stream.
bool deflateContainer(const char magic[4], uint32_t field, const Bytes& in, Bytes* out,
                      std::string* error) {
  uLongf bound = compressBound(static_cast<uLong>(in.size()));
  Bytes z(bound);
  if (compress2(z.data(), &bound, in.data(), static_cast<uLong>(in.size()), Z_BEST_COMPRESSION) !=
      Z_OK) {
    *error = "compression failed";
    return false;
  }
  out->assign(magic, magic + 4);
  putBE32(out, field);
  out->insert(out->end(), z.begin(), z.begin() + static_cast<ptrdiff_t>(bound));
  return true;
}

}  // namespace

Bytes WriteApplet(const Program& program, const Bytes& chunk) {
  Bytes out = {'Q', 'M', 'A', 0};
  if (!program.versionGiven) {
    out.push_back(10);
    out.push_back(8);
    out.push_back(0);
  }
  // The trailing data starts behind the script section; the fields that
  // point into it get their applet offsets now.
  size_t trailerStart = out.size() + 5 + chunk.size();
  for (const Section& s : program.sections) trailerStart += 1 + s.payload.size();
  std::vector<Section> sections = program.sections;
  for (const TrailerReference& r : program.trailerReferences) {
    uint32_t v = static_cast<uint32_t>(trailerStart + r.offset);
    Bytes& p = sections[r.section].payload;
    for (int i = 0; i < 4; i++) p[r.at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  }
  for (const Section& s : sections) {
    out.push_back(static_cast<uint8_t>(s.tag));
    out.insert(out.end(), s.payload.begin(), s.payload.end());
  }
  out.push_back(1);
  putBE32(&out, static_cast<uint32_t>(chunk.size()));
  out.insert(out.end(), chunk.begin(), chunk.end());
  out.insert(out.end(), program.trailer.begin(), program.trailer.end());
  return out;
}

bool CompressApplet(const Bytes& plain, Bytes* out, std::string* error) {
  return deflateContainer("QMZ", 0, plain, out, error);
}

bool AppendApplet(const Bytes& programFile, const std::vector<PackedPlugin>& plugins,
                  bool compressPlugins, const Bytes& applet, Bytes* out, std::string* error) {
  // The record: the text, two zero bytes, the 4-byte offset.
  const size_t textLen = std::strlen(APPLET_RECORD_TEXT);
  Bytes marker(APPLET_RECORD_TEXT, APPLET_RECORD_TEXT + textLen);
  marker.push_back(0);
  marker.push_back(0);
  size_t found = 0, at = 0;
  for (auto it = programFile.begin();;) {
    it = std::search(it, programFile.end(), marker.begin(), marker.end());
    if (it == programFile.end()) break;
    at = static_cast<size_t>(it - programFile.begin());
    found++;
    ++it;
  }
  if (found != 1) {
    *error = found == 0 ? "the program holds no appended-applet record"
                        : "the program holds the appended-applet record more than once";
    return false;
  }
  if (at + 36 > programFile.size()) {
    *error = "the appended-applet record is cut short";
    return false;
  }
  if (programFile.size() > UINT32_MAX) {
    *error = "the program is too large for a 32-bit applet offset";
    return false;
  }
  *out = programFile;
  uint32_t offset = static_cast<uint32_t>(programFile.size());
  (*out)[at + 32] = static_cast<uint8_t>(offset >> 24);
  (*out)[at + 33] = static_cast<uint8_t>(offset >> 16);
  (*out)[at + 34] = static_cast<uint8_t>(offset >> 8);
  (*out)[at + 35] = static_cast<uint8_t>(offset);
  if (!plugins.empty()) {
    const uint8_t head[] = {'Q', 'M', 'P', '!'};
    out->insert(out->end(), std::begin(head), std::end(head));
    putBE32(out, compressPlugins ? 1 : 0);
    for (const PackedPlugin& p : plugins) {
      if (p.name.empty() || p.name.find('\0') != std::string::npos) {
        *error = "a packed plug-in needs a name";
        return false;
      }
      Bytes data = p.data;
      if (compressPlugins &&
          !deflateContainer("PLPK", static_cast<uint32_t>(p.data.size()), p.data, &data, error))
        return false;
      out->insert(out->end(), p.name.begin(), p.name.end());
      out->push_back(0);
      putBE32(out, static_cast<uint32_t>(data.size()));
      out->insert(out->end(), data.begin(), data.end());
    }
    out->push_back(0);
  }
  out->insert(out->end(), applet.begin(), applet.end());
  return true;
}

}  // namespace qmasm
