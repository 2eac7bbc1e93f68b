// Font discovery: the list of font files found in the font-path folders
// and the usual system folders, by family and style as their "name" tables
// give them (also every face of a collection or resource file), and the
// bitmap contents files with their heights. A face inside a collection is
// opened through a temporary stand-alone copy.
//
// Invariant: every offset, count and length read from a file is checked
// against the file's size before it is used; a malformed face is skipped
// and discovery itself never fails.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "text/font_private.h"

namespace {

constexpr int32_t MAX_SCAN_DEPTH = 4;     // subfolders below a listed folder
constexpr size_t MAX_NAME_RECORD = 511;   // longer records end the name reading
constexpr uint64_t RESOURCE_START = 256;  // resource files hold faces from here
constexpr uint32_t MAX_COLLECTION_FACES = 4096;
constexpr uint32_t MAX_TABLES = 4096;

DiscoveredFont* discovered = nullptr;
DiscoveredFont** discoveredTail = &discovered;

uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
bool inside(size_t size, uint64_t at, uint64_t length) { return at <= size && length <= size - at; }

bool endsWithNoCase(const char* name, const char* suffix) {
  size_t n = std::strlen(name), m = std::strlen(suffix);
  return n >= m && CompareNoCase(name + n - m, suffix) == 0;
}

struct StyleWord {
  const char* word;
  int32_t weight;  // -1: a slant word
  int32_t slant;
};
const StyleWord STYLE_WORDS[] = {
    {"Thin", 0, 0},          {"Extralight", 40, 0},  {"Extra-light", 40, 0},
    {"Ultralight", 40, 0},   {"Ultra-light", 40, 0}, {"Light", 50, 0},
    {"Book", 75, 0},         {"Normal", 80, 0},      {"Regular", 80, 0},
    {"Medium", 100, 0},      {"Semibold", 180, 0},   {"Semi-bold", 180, 0},
    {"Semi", 180, 0},        {"Demibold", 180, 0},   {"Demi-bold", 180, 0},
    {"Demi", 180, 0},        {"Bold", 200, 0},       {"Extrabold", 205, 0},
    {"Extra-bold", 205, 0},  {"Ultrabold", 205, 0},  {"Ultra-bold", 205, 0},
    {"Heavy", 210, 0},       {"Black", 210, 0},      {"Extrablack", 215, 0},
    {"Extra-black", 215, 0}, {"Ultrablack", 215, 0}, {"Ultra-black", 215, 0},
    {"Roman", -1, 0},        {"Italic", -1, 100},    {"Oblique", -1, 110},
};

void styleValues(const char* style, int32_t* weight, int32_t* slant) {
  *weight = 80;
  *slant = 0;
  std::string s(style);
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find(' ', i);
    if (j == std::string::npos) j = s.size();
    std::string word = s.substr(i, j - i);
    for (const StyleWord& w : STYLE_WORDS) {
      if (CompareNoCase(word.c_str(), w.word) != 0) continue;
      if (w.weight >= 0)
        *weight = w.weight;
      else
        *slant = w.slant;
    }
    i = j + 1;
  }
}

bool listed(const char* fullName) {
  for (DiscoveredFont* f = discovered; f; f = f->next)
    if (CompareNoCase(f->fullName, fullName) == 0) return true;
  return false;
}

DiscoveredFont* addEntry(const char* family, const char* style, const char* path) {
  char full[FONT_NAME_SIZE];
  if (*style)
    std::snprintf(full, sizeof full, "%s %s", family, style);
  else
    std::snprintf(full, sizeof full, "%s", family);
  if (listed(full)) return nullptr;
  auto* f = static_cast<DiscoveredFont*>(AllocMemory(sizeof(DiscoveredFont), 1));
  if (!f) return nullptr;
  std::snprintf(f->fullName, sizeof f->fullName, "%s", full);
  std::snprintf(f->family, sizeof f->family, "%s", family);
  std::snprintf(f->style, sizeof f->style, "%s", style);
  std::snprintf(f->path, sizeof f->path, "%s", path);
  styleValues(style, &f->weight, &f->slant);
  *discoveredTail = f;
  discoveredTail = &f->next;
  return f;
}

struct FaceScan {
  const uint8_t* file;
  size_t size;
  const char* path;
  int32_t noDuplicates;
  int resourceFile;
};

void addFace(uint64_t offset, uint64_t size, uint64_t directory, void* data) {
  auto* scan = static_cast<FaceScan*>(data);
  char family[512], style[512];
  // Collections count table offsets from the file's start, the other
  // layouts from the face's.
  uint64_t base = directory ? 0 : offset;
  uint64_t dir = directory ? directory : offset;
  if (!ReadFaceNames(scan->file, scan->size, dir, base, family, sizeof family, style, sizeof style))
    return;
  DiscoveredFont* f = addEntry(family, style, scan->path);
  if (f) {
    f->faceOffset = offset;
    f->faceSize = size;
    f->directoryOffset = directory;
  }
  if (!scan->noDuplicates && IsRegularStyle(style)) {
    DiscoveredFont* plain = addEntry(family, "", scan->path);
    if (plain) {
      plain->faceOffset = offset;
      plain->faceSize = size;
      plain->directoryOffset = directory;
    }
  }
}

void scanBitmapContents(const uint8_t* file, size_t size, const char* path, const char* name) {
  if (size < 4) return;
  uint32_t id = be16(file);
  if (id != 0x0F00 && id != 0x0F02 && id != 0x0F03) return;
  std::string family(name, std::strlen(name) - 5);
  DiscoveredFont* f = addEntry(family.c_str(), "", path);
  if (!f) return;
  f->bitmap = 1;
  if (id == 0x0F03) return;  // scalable: no heights
  uint32_t entries = be16(file + 2);
  for (uint32_t i = 0; i < entries; i++) {
    uint64_t at = 4 + uint64_t(i) * 260;
    if (!inside(size, at, 260)) break;
    int32_t h = int32_t(be16(file + at + 256));
    bool seen = false;
    for (int32_t k = 0; k < f->heightCount; k++) seen |= f->heights[k] == h;
    if (!seen && f->heightCount < MAX_FONT_HEIGHTS) f->heights[f->heightCount++] = h;
  }
}

void scanFile(const char* path, const char* name, int32_t noDuplicates) {
  if (std::strlen(name) < 6) return;
  bool bitmap = endsWithNoCase(name, ".font");
  bool collection = endsWithNoCase(name, ".ttc");
  bool resource = endsWithNoCase(name, ".dfont");
  bool single = endsWithNoCase(name, ".ttf") || endsWithNoCase(name, ".otf");
  if (!bitmap && !collection && !resource && !single) return;
  uint8_t* data = nullptr;
  size_t size = 0;
  if (LoadFileToMemory(path, nullptr, nullptr, &data, &size, 0, 0)) return;
  if (bitmap) {
    scanBitmapContents(data, size, path, name);
  } else {
    FaceScan scan{data, size, path, noDuplicates, resource};
    if (single)
      addFace(0, size, 0, &scan);
    else
      ListCollectionFaces(data, size, resource, addFace, &scan);
  }
  FreeMemory(data);
}

void scanDirectory(const char* directory, int32_t noDuplicates, int depth,
                   std::vector<std::string>* visited) {
  LockHandle* lock = LockFile(directory, LOCK_DIRECTORY, nullptr);
  if (!lock) return;
  char full[FONT_NAME_SIZE];
  if (!NameFromLock(lock, full, sizeof full)) std::snprintf(full, sizeof full, "%s", directory);
  char* real = realpath(full, nullptr);
  std::string key = real ? real : full;
  std::free(real);
  if (std::find(visited->begin(), visited->end(), key) != visited->end()) {
    UnLockFile(lock);
    return;
  }
  visited->push_back(key);
  std::vector<std::pair<std::string, int32_t>> entries;
  const char* entry = nullptr;
  int32_t isDirectory = 0;
  while (NextLockEntry(lock, 0, &entry, &isDirectory, nullptr))
    if (entry && std::strcmp(entry, ".") && std::strcmp(entry, ".."))
      entries.emplace_back(entry, isDirectory);
  UnLockFile(lock);
  // Name order, so that "the first file found wins" is repeatable.
  std::sort(entries.begin(), entries.end());
  for (const auto& [name, isDir] : entries) {
    char path[FONT_NAME_SIZE];
    std::snprintf(path, sizeof path, "%s", full);
    if (!AddPart(path, name.c_str(), sizeof path)) continue;
    if (isDir) {
      if (depth < MAX_SCAN_DEPTH) scanDirectory(path, noDuplicates, depth + 1, visited);
    } else {
      scanFile(path, name.c_str(), noDuplicates);
    }
  }
}

void buildList() {
  std::vector<std::string> visited;
  for (const FontPathNode* p = GetFontPathList(); p; p = p->next)
    scanDirectory(p->path, 0, 0, &visited);
  for (const char* d :
       {"/usr/share/fonts/truetype", "/usr/local/share/fonts/truetype", "/usr/share/X11/fonts/TTF"})
    scanDirectory(d, 0, 0, &visited);
  if (const char* home = std::getenv("HOME"); home && *home) {
    char path[FONT_NAME_SIZE];
    std::snprintf(path, sizeof path, "%s", home);
    if (AddPart(path, ".fonts/truetype", sizeof path)) scanDirectory(path, 0, 0, &visited);
  }
  for (const char* d : {"Fonts", "FONTS", "fonts"}) scanDirectory(d, 0, 0, &visited);
}

// Writes the face whose table directory starts at directory as a
// stand-alone font file: the directory with rewritten offsets, then every
// table's data. false when a table lies outside the file.
bool writeStandAlone(const uint8_t* file, size_t size, uint64_t directory, const char* path) {
  if (!inside(size, directory, 12)) return false;
  uint32_t tables = be16(file + directory + 4);
  if (tables > MAX_TABLES || !inside(size, directory, 12 + uint64_t(tables) * 16)) return false;
  std::vector<uint8_t> out(file + directory, file + directory + 12 + tables * 16);
  for (uint32_t i = 0; i < tables; i++) {
    size_t record = 12 + size_t(i) * 16;  // an index: the vector grows below
    uint32_t offset = be32(out.data() + record + 8), length = be32(out.data() + record + 12);
    if (!inside(size, offset, length)) return false;
    while (out.size() % 4) out.push_back(0);
    uint32_t at = uint32_t(out.size());
    uint8_t* rec = out.data() + record;
    rec[8] = uint8_t(at >> 24);
    rec[9] = uint8_t(at >> 16);
    rec[10] = uint8_t(at >> 8);
    rec[11] = uint8_t(at);
    out.insert(out.end(), file + offset, file + offset + length);
  }
  StreamHandle* s = OpenFileStream(path, STREAM_WRITE, nullptr);
  if (!s) return false;
  bool ok = WriteStream(s, out.data(), out.size()) == out.size();
  CloseFileStream(s);
  return ok;
}

}  // namespace

int ReadFaceNames(const uint8_t* file, size_t size, uint64_t directory, uint64_t base, char* family,
                  size_t familySize, char* style, size_t styleSize) {
  family[0] = style[0] = '\0';
  if (!inside(size, directory, 12)) return 0;
  const uint8_t* d = file + directory;
  uint32_t version = be32(d);
  if (version != 0x00010000 && std::memcmp(d, "OTTO", 4) && std::memcmp(d, "true", 4)) return 0;
  uint32_t tables = be16(d + 4);
  if (!inside(size, directory + 12, uint64_t(tables) * 16)) return 0;
  uint64_t nameAt = 0, nameLength = 0;
  bool found = false;
  for (uint32_t i = 0; i < tables && !found; i++) {
    const uint8_t* rec = d + 12 + i * 16;
    if (std::memcmp(rec, "name", 4) == 0) {
      nameAt = base + be32(rec + 8);
      nameLength = be32(rec + 12);
      found = true;
    }
  }
  if (!found || !inside(size, nameAt, nameLength) || nameLength < 6) return 0;
  const uint8_t* t = file + nameAt;
  uint32_t count = be16(t + 2);
  uint64_t strings = be16(t + 4);
  bool haveFamily = false, haveStyle = false;
  for (uint32_t i = 0; i < count && !(haveFamily && haveStyle); i++) {
    uint64_t at = 6 + uint64_t(i) * 12;
    if (at + 12 > nameLength) break;
    const uint8_t* r = t + at;
    uint32_t platform = be16(r), language = be16(r + 4), id = be16(r + 6);
    uint32_t length = be16(r + 8), offset = be16(r + 10);
    if (id != 1 && id != 2) continue;
    if (platform == 1 && language != 0) continue;
    if (platform == 3) {
      static const uint32_t english[] = {0x0809, 0x0C09, 0x1009, 0x1409, 0x1809, 0x1C09, 0x4009};
      if (std::find(std::begin(english), std::end(english), language) == std::end(english))
        continue;
    }
    if (length > MAX_NAME_RECORD) break;
    if (strings + offset + length > nameLength) continue;
    char* dest = id == 1 ? family : style;
    size_t destSize = id == 1 ? familySize : styleSize;
    bool& have = id == 1 ? haveFamily : haveStyle;
    if (have) continue;
    size_t n = 0;
    for (uint32_t k = 0; k < length && n + 1 < destSize; k++) {
      uint8_t c = t[strings + offset + k];
      if (c) dest[n++] = char(c);
    }
    dest[n] = '\0';
    have = true;
  }
  return haveFamily && haveStyle;
}

void ListCollectionFaces(const uint8_t* file, size_t size, int resourceFile,
                         void (*found)(uint64_t, uint64_t, uint64_t, void*), void* data) {
  if (resourceFile) {
    uint64_t at = RESOURCE_START;
    while (inside(size, at, 4)) {
      uint64_t length = be32(file + at);
      if (!inside(size, at + 4, length)) break;
      found(at + 4, length, 0, data);
      at += 4 + length;
    }
    return;
  }
  if (size < 12 || std::memcmp(file, "ttcf", 4)) return;
  uint32_t faces = be32(file + 8);
  if (faces > MAX_COLLECTION_FACES || !inside(size, 12, uint64_t(faces) * 4)) return;
  for (uint32_t i = 0; i < faces; i++) {
    uint32_t offset = be32(file + 12 + i * 4);
    if (!inside(size, offset, 12)) continue;
    found(offset, size - offset, offset, data);
  }
}

ErrorCode ScanTrueTypeFonts(const char* directory, int32_t noDuplicates) {
  LockHandle* lock = LockFile(directory, LOCK_DIRECTORY, nullptr);
  if (!lock) {
    SetErrorArgString(directory);
    return ERR_LOCK2;
  }
  UnLockFile(lock);
  std::vector<std::string> visited;
  scanDirectory(directory, noDuplicates, 0, &visited);
  return ERR_NONE;
}

const DiscoveredFont* GetDiscoveredFonts() {
  if (!discovered) buildList();
  return discovered;
}

void FreeDiscoveredFonts() {
  while (DiscoveredFont* f = discovered) {
    discovered = f->next;
    FreeMemory(f);
  }
  discoveredTail = &discovered;
}

const char* FindTrueTypeFont(const char* name, int32_t weight, int32_t slant, uint64_t* offset,
                             uint64_t* size, int32_t* temporary, char* buffer, size_t bufferSize) {
  *offset = *size = 0;
  *temporary = 0;
  const DiscoveredFont* hit = nullptr;
  for (const DiscoveredFont* f = GetDiscoveredFonts(); f && !hit; f = f->next) {
    if (f->bitmap) continue;
    bool match = weight < 0 ? CompareNoCase(f->fullName, name) == 0
                            : CompareNoCase(f->family, name) == 0 && f->weight == weight &&
                                  (slant < 0 || f->slant == slant);
    if (match) hit = f;
  }
  if (!hit) return nullptr;
  if (!hit->directoryOffset) {
    *offset = hit->faceOffset;
    *size = hit->faceSize;
    std::snprintf(buffer, bufferSize, "%s", hit->path);
    return buffer;
  }
  // A collection face becomes a temporary stand-alone file.
  uint8_t* data = nullptr;
  size_t length = 0;
  if (LoadFileToMemory(hit->path, nullptr, nullptr, &data, &length, 0, 0)) return nullptr;
  char path[] = "/tmp/qm_face_XXXXXX";
  int fd = mkstemp(path);
  bool ok = fd >= 0;
  if (fd >= 0) close(fd);
  ok = ok && writeStandAlone(data, length, hit->directoryOffset, path);
  FreeMemory(data);
  if (!ok) {
    if (fd >= 0) std::remove(path);
    return nullptr;
  }
  *temporary = 1;
  std::snprintf(buffer, bufferSize, "%s", path);
  return buffer;
}
