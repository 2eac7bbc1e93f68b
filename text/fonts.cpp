// The text library's fonts: the font cache that owns every opened
// FontRecord, the font objects scripts open under identifiers (object type
// 43), the font-path list, the current TextStyle, and the library's opener
// with its font commands.
//
// Invariant: the cache owns every FontRecord but "topaz"; font objects,
// the default font and the current font only point into cache records, so
// closing an object never frees a record and a closed current font keeps
// drawing until shut-down frees the cache.
#include <cstdio>
#include <cstring>

#include "draw/draw.h"
#include "engine/engine.h"
#include "engine/optiontable.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "text/font_private.h"
#include "text/layout_private.h"
#include "text/strcore.h"
#include "text/text.h"

namespace {

constexpr int32_t OBJECT_FONT = 43;
constexpr size_t FONT_NAME_BUFFER = 512;  // the work copy the ".font" suffix is cut from

struct FontCacheEntry {
  FontCacheEntry* next;
  char name[FONT_NAME_SIZE];
  int32_t size;
  int32_t engine;
  int32_t cache;
  int32_t usePoints;
  FontRecord* font;
};

struct FontNode {
  ObjectHead head;  // type OBJECT_FONT
  FontRecord* font;
};

struct TextContext {
  TextStyle style;
  FontCacheEntry* cache;
  ObjectHead* fonts;  // FontNode list
  FontPathNode* paths;
  FontRecord* defaultFont;
  bool listRegistered;
};
TextContext textContext;

bool sameId(const ObjectHead* h, ObjectId id) {
  return id.autoId ? h->autoId == id.autoId : (!h->autoId && h->number == id.number);
}

void setDefaultStyle(TextStyle* s) {
  *s = TextStyle{};
  s->flags = TEXTSTYLE_NORMAL;
  s->fontColor = 0xFFFFFF;
  s->shadowColor = 0;
  s->edgeColor = 0x0093DD;
  s->shadowSize = 4;
  s->shadowDirection = 3;
  s->edgeSize = 2;
}

ErrorCode findFontNode(ObjectId id, FontNode** out, FontNode** previous) {
  FontNode* prev = nullptr;
  for (ObjectHead* h = textContext.fonts; h; h = h->next) {
    if (sameId(h, id)) {
      *out = reinterpret_cast<FontNode*>(h);
      if (previous) *previous = prev;
      return ERR_NONE;
    }
    prev = reinterpret_cast<FontNode*>(h);
  }
  *out = nullptr;
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDFONT2;
}

ErrorCode closeFontById(VmState* L, ObjectId id) {
  FontNode *node, *prev;
  ErrorCode error = findFontNode(id, &node, &prev);
  if (error) return error;
  if (prev)
    prev->head.next = node->head.next;
  else
    textContext.fonts = node->head.next;
  FreeObjectDataList(L, &node->head.data);
  FreeMemory(node);
  return ERR_NONE;
}

// The attribute query of fonts answers only their number.
int readFontAttribute(VmState* L, int32_t attribute) {
  if (attribute != ATTRCOUNT) return ERR_UNKNOWNATTR;
  VmPushNumber(L, CountObjectList(textContext.fonts));
  return 1;
}

void freeFontNodes(VmState* L) {
  while (ObjectHead* h = textContext.fonts) {
    textContext.fonts = h->next;
    if (L) FreeObjectDataList(L, &h->data);
    FreeMemory(h);
  }
}

bool hasDirectoryPart(const char* name) {
  return std::strchr(name, '/') || std::strchr(name, '\\') || std::strchr(name, ':');
}

// One cache lookup and, on a miss, one open. name is the name after the
// alias rules.
ErrorCode openCached(const char* name, int32_t size, int32_t engine, int32_t cache,
                     int32_t usePoints, int32_t linked, FontRecord** out) {
  for (FontCacheEntry* e = textContext.cache; e; e = e->next) {
    if (e->size == size && e->engine == engine && e->cache == cache && e->usePoints == usePoints &&
        CompareNoCase(e->name, name) == 0) {
      SetFontScale(e->font, 1.0, 1.0);
      *out = e->font;
      return ERR_NONE;
    }
  }
  FontRecord* record = nullptr;
  ErrorCode error = OpenFontByName(name, size, engine, cache, usePoints, linked, &record);
  if (error) return error;
  auto* entry = static_cast<FontCacheEntry*>(AllocMemory(sizeof(FontCacheEntry), 1));
  if (!entry) {
    CloseFontRecord(record);
    return ERR_MEM;
  }
  std::snprintf(entry->name, sizeof entry->name, "%s", name);
  entry->size = size;
  entry->engine = engine;
  entry->cache = cache;
  entry->usePoints = usePoints;
  entry->font = record;
  // The record's name is the request after the alias rules, so reopening
  // by it hits the cache; the shared topaz keeps its own.
  FontRecord* topaz = nullptr;
  InitFontEngines(&topaz);
  if (record != topaz) std::snprintf(record->name, sizeof record->name, "%s", name);
  FontCacheEntry** tail = &textContext.cache;
  while (*tail) tail = &(*tail)->next;
  *tail = entry;
  *out = record;
  return ERR_NONE;
}

// The font arguments from argument k: name, size and an optional option
// table as the last argument; opens the font through the cache.
ErrorCode parseFontArgs(VmState* L, int k, FontRecord** out) {
  const char* given = VmCheckString(L, k, nullptr);
  int32_t isFont = 0;
  const char* name = ResolveLinkedFile(L, given, 1, &isFont);
  int32_t linked = name != given ? 1 : 0;
  char nameCopy[FONT_NAME_SIZE];
  if (std::strlen(name) >= sizeof nameCopy) {
    SetErrorArgString("Cannot open font (name too long)!");
    return ERR_OPENFONT;
  }
  std::strcpy(nameCopy, name);
  int32_t size = VmNumberToInteger(VmCheckNumber(L, k + 1));
  int32_t engine = FONTENGINE_NATIVE, cache = 1, usePoints = 0;
  if (VmGetTop(L) == k + 2) {
    VmCheckTable(L, k + 2);
    const OptionField rows[] = {
        {.name = "engine", .type = OPTION_INT, .to = &engine},
        {.name = "cache", .type = OPTION_BOOL, .to = &cache},
        {.name = "usepoints", .type = OPTION_BOOL, .to = &usePoints},
    };
    ErrorCode error = ReadOptionTable(L, k + 2, rows);
    if (error) return error;
  }
  PrintProgress("Opening font %s", nameCopy, 1);
  return OpenFontEx(nameCopy, size, engine, cache, usePoints, linked, out);
}

int cmdSetFont(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  FontRecord* font = nullptr;
  ErrorCode error = parseFontArgs(L, 1, &font);
  if (error) return error;
  textContext.style.font = font;
  textContext.style.flags = TEXTSTYLE_NORMAL;
  return 0;
}

int cmdOpenFont(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  if (!automatic) closeFontById(L, id);  // a failure only means there was none
  FontRecord* font = nullptr;
  ErrorCode error = parseFontArgs(L, 2, &font);
  if (error) return error;
  auto* node = static_cast<FontNode*>(AllocMemory(sizeof(FontNode), 1));
  if (!node) return ERR_MEM;
  node->head.type = OBJECT_FONT;
  node->head.number = id.number;
  node->head.autoId = automatic ? node : nullptr;
  node->font = font;
  ObjectHead** tail = &textContext.fonts;
  while (*tail) tail = &(*tail)->next;
  *tail = &node->head;
  PrintDone();
  if (automatic) return PushObjectId(L, ObjectId{node, 0});
  return 0;
}

int cmdUseFont(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  FontNode* node;
  ErrorCode error = findFontNode(GetObjectIdArg(L, 1, nullptr), &node, nullptr);
  if (error) return error;
  textContext.style.font = node->font;
  textContext.style.flags = TEXTSTYLE_NORMAL;
  return 0;
}

int cmdCloseFont(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return closeFontById(L, GetObjectIdArg(L, 1, nullptr));
}

int cmdFreeGlyphCache(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  int32_t mode = VmCheckInteger(L, 1);
  if (mode == 0) {
    for (FontCacheEntry* e = textContext.cache; e; e = e->next) FlushFontGlyphCache(e->font);
    return 0;
  }
  FontNode* node;
  ErrorCode error = findFontNode(GetObjectIdArg(L, 2, nullptr), &node, nullptr);
  if (error) return error;
  FlushFontGlyphCache(node->font);
  return 0;
}

int cmdAddFontPath(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* path = VmCheckString(L, 1, nullptr);
  for (FontPathNode* p = textContext.paths; p; p = p->next)
    if (CompareNoCase(p->path, path) == 0) return 0;
  LockHandle* lock = LockFile(path, LOCK_DIRECTORY, nullptr);
  int32_t isDirectory = 0;
  if (!lock || CheckLockIsDirectory(lock, &isDirectory) || !isDirectory) {
    UnLockFile(lock);
    SetErrorArgString(path);
    return ERR_LOCK2;
  }
  OwnedMemory<FontPathNode> node(static_cast<FontPathNode*>(AllocMemory(sizeof(FontPathNode), 1)));
  if (!node) {
    UnLockFile(lock);
    return ERR_MEM;
  }
  int fitted = NameFromLock(lock, node->path, sizeof node->path);
  UnLockFile(lock);
  if (!fitted) {
    SetErrorArgString(path);
    return ERR_LOCK2;
  }
  FontPathNode** tail = &textContext.paths;
  while (*tail) tail = &(*tail)->next;
  *tail = node.release();
  // The next discovery scans the new folder too.
  FreeDiscoveredFonts();
  return 0;
}

int cmdGetAvailableFonts(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmNewTable(L);
  int32_t index = 0;
  for (const DiscoveredFont* f = GetDiscoveredFonts(); f; f = f->next) {
    VmNewTable(L);
    SetTableFieldString(L, "name", f->fullName);
    SetTableFieldString(L, "family", f->family);
    SetTableFieldInt(L, "bitmap", f->bitmap);
    SetTableFieldInt(L, "weight", f->weight);
    SetTableFieldInt(L, "slant", f->slant);
    VmPushString(L, "sizes");
    VmNewTable(L);
    for (int32_t i = 0; i < f->heightCount; i++) {
      VmPushNumber(L, f->heights[i]);
      VmRawSetI(L, -2, i);
    }
    VmRawSet(L, -3);
    VmRawSetI(L, -2, index++);
  }
  FreeDiscoveredFonts();
  return 1;
}

int cmdSetFontColor(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  textContext.style.fontColor = uint32_t(VmCheckInteger(L, 1));
  return 0;
}

int cmdGetFontColor(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, textContext.style.fontColor);
  return 1;
}

const CommandTableEntry TEXT_COMMANDS[] = {
    {"SetFont", cmdSetFont},           {"SetFontColor", cmdSetFontColor},
    {"OpenFont", cmdOpenFont},         {"CloseFont", cmdCloseFont},
    {"UseFont", cmdUseFont},           {"FreeGlyphCache", cmdFreeGlyphCache},
    {"AddFontPath", cmdAddFontPath},   {"GetAvailableFonts", cmdGetAvailableFonts},
    {"GetFontColor", cmdGetFontColor}, {nullptr, nullptr},
};

const ConstantTableEntry TEXT_CONSTANTS[] = {
    {"NORMAL", nullptr, 1},
    {"BOLD", nullptr, 2},
    {"ITALIC", nullptr, 4},
    {"UNDERLINED", nullptr, 8},
    {"ALL", nullptr, 0},
    {"ALPHANUMERICAL", nullptr, 1},
    {"NUMERICAL", nullptr, 3},
    {"ALPHABETICAL", nullptr, 2},
    {"HEXNUMERICAL", nullptr, 4},
    {"ANTIALIAS", nullptr, 16},
    {"SHADOW", nullptr, 32},
    {"EDGE", nullptr, 64},
    {"SHDWNORTH", nullptr, 0},
    {"SHDWNORTHEAST", nullptr, 1},
    {"SHDWEAST", nullptr, 2},
    {"SHDWSOUTHEAST", nullptr, 3},
    {"SHDWSOUTH", nullptr, 4},
    {"SHDWSOUTHWEST", nullptr, 5},
    {"SHDWWEST", nullptr, 6},
    {"SHDWNORTHWEST", nullptr, 7},
    {"BITMAP_DEFAULT", ":::default_bitmap", 0},
    {"TRUETYPE_DEFAULT", ":::default_truetype", 0},
    {"SANS", ":::default_sans", 0},
    {"SERIF", ":::default_serif", 0},
    {"MONOSPACE", ":::default_mono", 0},
    {"FONTENGINE_NATIVE", nullptr, 0},
    {"FONTENGINE_INBUILT", nullptr, 4},
    {"FONTWEIGHT_THIN", nullptr, 0},
    {"FONTWEIGHT_EXTRALIGHT", nullptr, 40},
    {"FONTWEIGHT_ULTRALIGHT", nullptr, 40},
    {"FONTWEIGHT_LIGHT", nullptr, 50},
    {"FONTWEIGHT_BOOK", nullptr, 75},
    {"FONTWEIGHT_NORMAL", nullptr, 80},
    {"FONTWEIGHT_REGULAR", nullptr, 80},
    {"FONTWEIGHT_MEDIUM", nullptr, 100},
    {"FONTWEIGHT_SEMIBOLD", nullptr, 180},
    {"FONTWEIGHT_DEMIBOLD", nullptr, 180},
    {"FONTWEIGHT_BOLD", nullptr, 200},
    {"FONTWEIGHT_EXTRABOLD", nullptr, 205},
    {"FONTWEIGHT_ULTRABOLD", nullptr, 205},
    {"FONTWEIGHT_HEAVY", nullptr, 210},
    {"FONTWEIGHT_BLACK", nullptr, 210},
    {"FONTWEIGHT_EXTRABLACK", nullptr, 215},
    {"FONTWEIGHT_ULTRABLACK", nullptr, 215},
    {"FONTSLANT_ROMAN", nullptr, 0},
    {"FONTSLANT_ITALIC", nullptr, 100},
    {"FONTSLANT_OBLIQUE", nullptr, 110},
    {"ENCODING_ISO8859_1", nullptr, 0},
    {"ENCODING_RAW", nullptr, 0},
    {"ENCODING_UTF8", nullptr, 1},
    {"ENCODING_AMIGA", nullptr, 2},
    {nullptr, nullptr, 0},
};

}  // namespace

void ClampTextStyle(TextStyle* style) {
  auto clamp = [](int32_t* v) { *v = *v < 1 ? 1 : *v > 64 ? 64 : *v; };
  clamp(&style->shadowSize);
  clamp(&style->edgeSize);
  if (style->shadowDirection > 7 || style->shadowDirection < 0) style->shadowDirection = 3;
}

TextStyle* GetCurrentTextStyle() { return &textContext.style; }
FontRecord* GetCurrentFont() { return textContext.style.font; }
const FontPathNode* GetFontPathList() { return textContext.paths; }

ErrorCode OpenFontEx(const char* name, int32_t size, int32_t engine, int32_t cache,
                     int32_t usePoints, int32_t linked, FontRecord** out) {
  *out = nullptr;
  char buffer[FONT_NAME_BUFFER];
  const char* use = name;
  if (std::strcmp(name, ":::default_bitmap") == 0) {
    if (usePoints) return ERR_WRONGUSAGE;
    use = "topaz";
  } else if (std::strcmp(name, ":::default_truetype") == 0 ||
             std::strcmp(name, ":::default_sans") == 0) {
    use = "Bitstream Vera Sans";
    engine = FONTENGINE_INBUILT;
  } else if (std::strcmp(name, ":::default_serif") == 0) {
    use = "Bitstream Vera Serif";
    engine = FONTENGINE_INBUILT;
  } else if (std::strcmp(name, ":::default_mono") == 0) {
    use = "Bitstream Vera Sans Mono";
    engine = FONTENGINE_INBUILT;
  } else if (!IsChunkName(name)) {
    if (engine != FONTENGINE_INBUILT && hasDirectoryPart(name)) return ERR_FONTPATH;
    // The name is cut into a buffer of 512 bytes; a longer one would be
    // cut, so it is refused instead.
    size_t n = std::strlen(name);
    if (n >= sizeof buffer) {
      char message[FONT_NAME_BUFFER + 64];
      std::snprintf(message, sizeof message, "Cannot open font %.400s... with size %d!", name,
                    size);
      SetErrorArgString(message);
      return ERR_OPENFONT;
    }
    std::memcpy(buffer, name, n + 1);
    if (n >= 5 && CompareNoCase(buffer + n - 5, ".font") == 0) buffer[n - 5] = '\0';
    use = buffer;
  }
  ErrorCode error = openCached(use, size, engine, cache, usePoints, linked, out);
  if (error && engine == FONTENGINE_INBUILT)
    error = openCached(use, size, FONTENGINE_NATIVE, cache, usePoints, linked, out);
  return error;
}

ErrorCode RestoreFontBitmaps() {
  // Colour fonts keep their glyph strip as pixels and draw from it, so no
  // bitmap has to be made again after the display changed.
  return ERR_NONE;
}

void FreeTextResources() {
  FreeAllTextObjects(nullptr);
  freeFontNodes(nullptr);
  while (FontCacheEntry* e = textContext.cache) {
    textContext.cache = e->next;
    CloseFontRecord(e->font);
    FreeMemory(e);
  }
  while (FontPathNode* p = textContext.paths) {
    textContext.paths = p->next;
    FreeMemory(p);
  }
  ShutdownFontEngines();
  textContext.defaultFont = nullptr;
  textContext.style.font = nullptr;
}

namespace {

// The current font as the vector-graphics library asks for it.
void* currentPathFont(int32_t* type, int32_t* size, void** face) {
  FontRecord* font = GetCurrentFont();
  if (!font) return nullptr;
  *type = font->type;
  *size = font->requestedSize;
  *face = font->type == FONT_TRUETYPE ? GetTrueTypeFace(font) : nullptr;
  return font;
}

const PathFontHooks PATH_FONT_HOOKS{currentPathFont, GetDefaultTextEncoding};

// A display's font attributes: those of the current font and text style.
int pushDisplayFontAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRTEXT) return 0;
  TextRecord record{};
  record.style = textContext.style;
  return PushTextAttribute(L, attribute, &record);
}

}  // namespace

ErrorCode OpenTextLibrary(VmState* L) {
  SetPathFontHooks(&PATH_FONT_HOOKS);
  SetDisplayFontAttributeReader(pushDisplayFontAttribute);
  setDefaultStyle(&textContext.style);
  ErrorCode error = RegisterLibrary(TEXT_COMMANDS, "text");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, TEXT_COMMANDS, 0);
  VmRegisterConstants(L, TEXT_CONSTANTS, 0);
  error = RegisterObjectList(&textContext.fonts);
  if (error) return error;
  error = RegisterAttributeReader(OBJTYPE_FONT, readFontAttribute);
  if (error) return error;
  error = OpenTextSettingCommands(L);
  if (error) return error;
  return InitTextLibrary();
}

ErrorCode InitTextLibrary() {
  FontRecord* topaz = nullptr;
  ErrorCode error = InitFontEngines(&topaz);
  if (error) return error;
  textContext.defaultFont = topaz;
  textContext.style.font = topaz;
  return ERR_NONE;
}

void FreeTextLibrary(VmState* L) {
  SetDisplayFontAttributeReader(nullptr);
  FreeAllTextObjects(L);
  freeFontNodes(L);
  FreeTextResources();
}

void InitTextContext() {
  textContext = TextContext{};
  setDefaultStyle(&textContext.style);
  ResetTextSettings();
  ForgetTextPositions();
}

void FreeTextContext() {
  FreeTextResources();
  InitTextContext();
}
