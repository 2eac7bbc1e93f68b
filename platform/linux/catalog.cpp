// Locale catalogs: translated string tables looked up under "Catalogs" or
// "catalogs" and the user's language, read whole into memory and fetched by
// number. Two file forms: IFF "FORM" "CTLG" files, whose "STRS" chunk holds
// numbered Latin-1 strings, and plain UTF-8 text files with one string per
// line. A fetched string is converted to the run's text mode; conversions
// are cached with the catalog and live as long as it.
//
// Invariant: nothing read from a catalog file is trusted. Every IFF string
// entry is checked against the end of its chunk and of the file before a
// byte of it is read, a string that lacks its zero byte is handed out as a
// terminated copy, and the text form is parsed into a buffer one byte
// larger than the file, which holds every string with its terminator.
#include <cstring>

#include "platform/linux/platform.h"
#include "platform/linux/files_private.h"
#include "platform/linux/locale_private.h"
#include "platform/linux/context_private.h"

namespace {

constexpr size_t IFF_MIN_SIZE = 101;  // shorter files are text catalogs
constexpr size_t CATALOG_SPARE = 8;   // room for the terminator word
constexpr size_t STRS_SEARCH_START = 16;
constexpr uint32_t STRS_END_WORD = 0xFFFFFFFFu;
constexpr size_t CATALOG_PATH_SIZE = 1024;  // the room of a looked-up path (LOCK_PATH_SIZE)

struct CacheNode {
  CacheNode* next;
  int32_t id;
  char* text;  // stored behind the node
};

// The catalog that replaces built-in texts (GetCatalogText).
CatalogTextSource catalogSource = nullptr;
void* catalogData = nullptr;

}  // namespace

struct Catalog {
  uint8_t* data;           // IFF: the file's data and CATALOG_SPARE bytes
  size_t size;             // bytes of file data
  const uint8_t* entries;  // IFF: first "STRS" entry; null for text
  const uint8_t* entriesEnd;
  char* textBuffer;  // text: the parsed strings, one after the other
  char** strings;
  size_t count;
  CacheNode* cacheHead;
  CacheNode* cacheTail;
};

namespace {

uint32_t readBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// Joins part to path with one '/' between them; false when it does not fit.
bool joinPart(char* path, size_t size, const char* part) {
  size_t len = std::strlen(path);
  if (len > 0 && path[len - 1] != '/' && path[len - 1] != ':') {
    if (len + 1 >= size) return false;
    path[len++] = '/';
    path[len] = '\0';
  }
  return StrCopyBounded(path + len, size - len, part) != 0;
}

// ---- Text catalogs ----

// One pass over the text form. With out null it only counts the strings;
// otherwise it writes them, each terminated, into out (size + 1 bytes) and
// their starts into strings. Output never outgrows the input by more than
// the one terminator of a last line without a line end: escapes shrink,
// joined and commented line ends vanish, every other terminator takes the
// place of the line end it replaces.
size_t parseTextCatalog(const char* in, size_t size, char* out, char** strings) {
  size_t count = 0;
  size_t written = 0;
  size_t start = 0;
  bool content = false;    // the pending string has a non-blank character
  bool lineBytes = false;  // the current line is not empty
  auto put = [&](char c) {
    if (out != nullptr) out[written] = c;
    written++;
    content = true;
  };
  auto finish = [&]() {
    if (out != nullptr) {
      out[written] = '\0';
      strings[count] = out + start;
    }
    written++;
    count++;
    start = written;
    content = false;
  };
  size_t i = 0;
  while (i < size) {
    char c = in[i];
    if (c == '\r') {
      lineBytes = true;
      i++;
      continue;
    }
    if (c == '\n') {
      i++;
      if (content)
        finish();
      else
        written = start;  // a blank line gives no string and no number
      lineBytes = false;
      continue;
    }
    lineBytes = true;
    if (c == ';') {
      // The line end that closes a comment does not end the string.
      while (i < size && in[i] != '\n') i++;
      if (i < size) {
        i++;
        lineBytes = false;
      }
      continue;
    }
    if (c != '\\') {
      if (c == ' ' || c == '\t') {
        if (out != nullptr) out[written] = c;
        written++;
      } else {
        put(c);
      }
      i++;
      continue;
    }
    size_t j = i + 1;
    while (j < size && in[j] == '\r') j++;
    if (j >= size) {
      put('\\');
      i = j;
      continue;
    }
    switch (in[j]) {
      case '\n':  // joins the next line
        content = true;
        lineBytes = false;
        i = j + 1;
        break;
      case 'n':
        put('\n');
        i = j + 1;
        break;
      case 'r':
        put('\r');
        i = j + 1;
        break;
      case 't':
        put('\t');
        i = j + 1;
        break;
      case '"':
      case '\'':
      case ';':
        put(in[j]);
        i = j + 1;
        break;
      default:  // a backslash alone; the next character is read as usual
        put('\\');
        i = j;
        break;
    }
  }
  // The last line needs no line end: it counts whatever it holds.
  if (lineBytes || content) finish();
  return count;
}

// Parses the text form; takes ownership of data. Null when the file holds
// no string or memory runs out.
Catalog* makeTextCatalog(uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  size_t count = parseTextCatalog(text, size, nullptr, nullptr);
  if (count == 0) {
    FreeMemory(data);
    return nullptr;
  }
  auto* catalog = static_cast<Catalog*>(AllocMemory(sizeof(Catalog), 1));
  char* buffer = size < SIZE_MAX ? static_cast<char*>(AllocMemory(size + 1, 0)) : nullptr;
  auto** strings = static_cast<char**>(AllocMemoryArray(count, sizeof(char*), 0));
  if (catalog == nullptr || buffer == nullptr || strings == nullptr) {
    FreeMemory(catalog);
    FreeMemory(buffer);
    FreeMemory(strings);
    FreeMemory(data);
    return nullptr;
  }
  parseTextCatalog(text, size, buffer, strings);
  FreeMemory(data);
  catalog->textBuffer = buffer;
  catalog->strings = strings;
  catalog->count = count;
  return catalog;
}

// ---- IFF catalogs ----

// Takes ownership of data (size bytes and CATALOG_SPARE more). Null when
// the form is not a catalog or has no string chunk.
Catalog* makeIffCatalog(uint8_t* data, size_t size) {
  if (std::memcmp(data + 8, "CTLGFVER", 8) != 0) {
    FreeMemory(data);
    return nullptr;
  }
  // The terminator word after the data ends a walk that runs off the end
  // of a file whose chunk claims more than the file holds.
  std::memset(data + size, 0xFF, 4);
  const uint8_t* entries = nullptr;
  const uint8_t* entriesEnd = nullptr;
  for (size_t offset = STRS_SEARCH_START; offset + 8 <= size; offset += 2) {
    if (std::memcmp(data + offset, "STRS", 4) != 0) continue;
    uint64_t length = readBE32(data + offset + 4);
    uint64_t available = size - offset - 8;
    entries = data + offset + 8;
    entriesEnd = entries + (length < available ? length : available);
    break;
  }
  if (entries == nullptr) {
    FreeMemory(data);
    return nullptr;
  }
  auto* catalog = static_cast<Catalog*>(AllocMemory(sizeof(Catalog), 1));
  if (catalog == nullptr) {
    FreeMemory(data);
    return nullptr;
  }
  catalog->data = data;
  catalog->size = size;
  catalog->entries = entries;
  catalog->entriesEnd = entriesEnd;
  return catalog;
}

// The entry of the number: its bytes and the room up to the next entry
// (length plus padding, cut at the chunk's end). False when it is missing
// or an entry before it is malformed.
bool findIffEntry(const Catalog* catalog, int32_t number, const uint8_t** text, size_t* length,
                  size_t* room) {
  const uint8_t* p = catalog->entries;
  const uint8_t* end = catalog->entriesEnd;
  while (static_cast<size_t>(end - p) >= 8) {
    uint32_t id = readBE32(p);
    if (id == STRS_END_WORD) return false;
    uint64_t len = readBE32(p + 4);
    size_t left = static_cast<size_t>(end - p) - 8;
    if (len > left) return false;  // the string would pass the chunk or the file
    uint64_t padded = (len + 3) & ~uint64_t{3};
    if (static_cast<int32_t>(id) == number) {
      *text = p + 8;
      *length = static_cast<size_t>(len);
      *room = static_cast<size_t>(padded < left ? padded : left);
      return true;
    }
    if (padded >= left) return false;
    p += 8 + padded;
  }
  return false;
}

// ---- Cache ----

enum class Conversion { Copy, Latin1ToUtf8, Utf8ToLatin1 };

const char* findCached(const Catalog* catalog, int32_t number) {
  for (const CacheNode* node = catalog->cacheHead; node != nullptr; node = node->next)
    if (node->id == number) return node->text;
  return nullptr;
}

// Converts length bytes of src into a node stored with the text behind it
// and appends it to the cache: one allocation, so a converted copy never
// exists without the node that frees it. Null when memory runs out.
const char* addCached(Catalog* catalog, int32_t number, const char* src, size_t length,
                      Conversion conversion) {
  size_t outLength = length;
  if (conversion == Conversion::Latin1ToUtf8) {
    for (size_t i = 0; i < length; i++)
      if (static_cast<uint8_t>(src[i]) >= 0x80) outLength++;
  }
  size_t total;
  if (__builtin_add_overflow(sizeof(CacheNode), outLength, &total) ||
      __builtin_add_overflow(total, size_t{1}, &total))
    return nullptr;
  auto* node = static_cast<CacheNode*>(AllocMemory(total, 0));
  if (node == nullptr) return nullptr;
  char* text = reinterpret_cast<char*>(node + 1);
  switch (conversion) {
    case Conversion::Copy:
      std::memcpy(text, src, length);
      text[length] = '\0';
      break;
    case Conversion::Latin1ToUtf8: {
      size_t w = 0;
      for (size_t i = 0; i < length; i++) {
        auto c = static_cast<uint8_t>(src[i]);
        if (c < 0x80) {
          text[w++] = static_cast<char>(c);
        } else {
          text[w++] = static_cast<char>(0xC0 | (c >> 6));
          text[w++] = static_cast<char>(0x80 | (c & 0x3F));
        }
      }
      text[w] = '\0';
      break;
    }
    case Conversion::Utf8ToLatin1:
      Utf8ToLatin1(src, text, length, nullptr);
      break;
  }
  node->next = nullptr;
  node->id = number;
  node->text = text;
  if (catalog->cacheTail != nullptr)
    catalog->cacheTail->next = node;
  else
    catalog->cacheHead = node;
  catalog->cacheTail = node;
  return text;
}

const char* catalogTextSource(int32_t number, void* data) {
  return LookUpCatalogString(static_cast<Catalog*>(data), number, nullptr);
}

}  // namespace

StreamHandle* BuildCatalogPath(const char* base, const char* directory, const char* catalogName,
                               int32_t languageId, int useNative) {
  const char* language = useNative ? LanguageNativeName(languageId) : nullptr;
  if (language == nullptr) language = LanguageEnglishName(languageId);
  if (language == nullptr || directory == nullptr || catalogName == nullptr) return nullptr;
  // Names are UTF-8 in the table; in 8-bit mode paths are Latin-1 and the
  // stream layer converts them back for the file system.
  char languageText[64];
  if (unicodeUtf8Mode)
    StrCopyBounded(languageText, sizeof languageText, language);
  else
    Utf8ToLatin1Copy(language, languageText, sizeof languageText);
  char path[CATALOG_PATH_SIZE];
  if (StrCopyBounded(path, sizeof path, base != nullptr ? base : "") == 0) return nullptr;
  if (!joinPart(path, sizeof path, directory) || !joinPart(path, sizeof path, languageText) ||
      !joinPart(path, sizeof path, catalogName))
    return nullptr;
  const PlatformRuntimeHooks& hooks = GetPlatformRuntimeHooks();
  return hooks.openCatalogFile != nullptr ? hooks.openCatalogFile(path) : nullptr;
}

Catalog* LoadCatalogFile(const char* name) {
  int32_t language = GetSystemLanguageId();
  if (language == LANGUAGE_ENGLISH || language == LANGUAGE_UNKNOWN || name == nullptr)
    return nullptr;
  char programDirectory[CATALOG_PATH_SIZE];
  bool haveProgramDirectory =
      GetProgramDirectory(programDirectory, sizeof programDirectory, 0) != 0;
  // The English name before the native one, "Catalogs" before "catalogs",
  // the current directory before the program's.
  StreamHandle* stream = nullptr;
  for (int where = 0; where < 2 && stream == nullptr; where++) {
    if (where == 1 && !haveProgramDirectory) break;
    const char* base = where == 0 ? nullptr : programDirectory;
    for (int attempt = 0; attempt < 4 && stream == nullptr; attempt++)
      stream = BuildCatalogPath(base, attempt < 2 ? "Catalogs" : "catalogs", name, language,
                                attempt % 2);
  }
  if (stream == nullptr) return nullptr;
  uint8_t* data = nullptr;
  size_t size = 0;
  // A stream opened, so the runtime's table is installed.
  const PlatformRuntimeHooks& hooks = GetPlatformRuntimeHooks();
  ErrorCode error = hooks.loadCatalogFile(stream, &data, &size, CATALOG_SPARE);
  hooks.closeCatalogFile(stream);
  if (error != 0) {
    FreeMemory(data);
    return nullptr;
  }
  if (size >= IFF_MIN_SIZE && std::memcmp(data, "FORM", 4) == 0) return makeIffCatalog(data, size);
  return makeTextCatalog(data, size);
}

const char* LookUpCatalogString(Catalog* catalog, int32_t number, const char* def) {
  if (catalog == nullptr) return def;
  if (const char* cached = findCached(catalog, number)) return cached;
  if (catalog->entries == nullptr) {
    if (number < 0 || static_cast<size_t>(number) >= catalog->count) return def;
    const char* stored = catalog->strings[number];
    if (unicodeUtf8Mode) return stored;
    const char* converted =
        addCached(catalog, number, stored, std::strlen(stored), Conversion::Utf8ToLatin1);
    return converted != nullptr ? converted : stored;
  }
  const uint8_t* bytes;
  size_t length, room;
  if (!findIffEntry(catalog, number, &bytes, &length, &room)) return def;
  const char* text = reinterpret_cast<const char*>(bytes);
  // The string ends at its zero byte; without one inside its padding it
  // ends with its length.
  const void* zero = std::memchr(text, 0, room);
  size_t textLength =
      zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - text) : length;
  if (!unicodeUtf8Mode) {
    if (zero != nullptr) return text;
    const char* copy = addCached(catalog, number, text, textLength, Conversion::Copy);
    return copy != nullptr ? copy : def;
  }
  // Handing out the Latin-1 bytes in UTF-8 mode would give invalid text.
  const char* converted = addCached(catalog, number, text, textLength, Conversion::Latin1ToUtf8);
  return converted != nullptr ? converted : def;
}

void FreeCatalogFile(Catalog* catalog) {
  if (catalog == nullptr) return;
  if (catalog == platformContext.installedCatalog) InstallTextCatalog(nullptr);
  CacheNode* node = catalog->cacheHead;
  while (node != nullptr) {
    CacheNode* next = node->next;
    FreeMemory(node);
    node = next;
  }
  FreeMemory(catalog->data);
  FreeMemory(catalog->textBuffer);
  FreeMemory(catalog->strings);
  FreeMemory(catalog);
}

Catalog* OpenLocaleCatalog(const char* name) { return LoadCatalogFile(name); }

Catalog* OpenLocaleCatalog(const char* name, int32_t) { return LoadCatalogFile(name); }

const char* GetLocaleString(Catalog* catalog, int32_t number, const char* def) {
  return LookUpCatalogString(catalog, number, def);
}

void CloseLocaleCatalog(Catalog* catalog) { FreeCatalogFile(catalog); }

void SetCatalogTextSource(CatalogTextSource source, void* data) {
  catalogSource = source;
  catalogData = data;
}

const char* GetCatalogText(int32_t number) {
  return catalogSource != nullptr ? catalogSource(number, catalogData) : nullptr;
}

void InstallTextCatalog(Catalog* catalog) {
  platformContext.installedCatalog = catalog;
  SetCatalogTextSource(catalog != nullptr ? catalogTextSource : nullptr, catalog);
}

int OpenPlayerCatalog() {
  ClosePlayerCatalog();
  platformContext.playerCatalog = OpenLocaleCatalog(PLAYER_CATALOG_NAME);
  if (platformContext.playerCatalog != nullptr) InstallTextCatalog(platformContext.playerCatalog);
  return platformContext.playerCatalog != nullptr;
}

void ClosePlayerCatalog() {
  CloseLocaleCatalog(platformContext.playerCatalog);
  platformContext.playerCatalog = nullptr;
}
