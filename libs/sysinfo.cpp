// The system library's preferences file, the script's catalog, what the
// system tells a script about the user, the machine and the run (language,
// country, special folders, the applet's header texts, the version, the
// command line), the legacy switches and the free memory.
//
// Invariant: the preferences file is named by the applet's identifier and
// lies directly in the preferences directory; an identifier that is empty
// or could name another place ("/", "\", "..") is refused before any file
// is touched.
#include <cstring>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/player.h"
#include "runtime/runtime.h"

namespace {

constexpr char PREFS_MAGIC[4] = {'P', 'R', 'F', 'S'};

struct SysInfoState {
  Catalog* catalog = nullptr;  // the script's open catalog
};
SysInfoState sysInfo;

// The preferences file's path: ERR_WRONGUSAGE for an identifier that is
// empty or holds a path separator or "..".
ErrorCode prefsPath(char* path, size_t size) {
  const char* identifier = player.record != nullptr ? player.record->text6 : "";
  if (identifier[0] == '\0' || std::strchr(identifier, '/') != nullptr ||
      std::strchr(identifier, '\\') != nullptr || std::strstr(identifier, "..") != nullptr)
    return ERR_WRONGUSAGE;
  GetPrefsDirectory(path, size);
  if (!AddPart(path, identifier, size)) return ERR_WRONGUSAGE;
  return ERR_NONE;
}

// ---- Preferences ----------------------------------------------------------------------------

int cmdSavePrefs(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  VmSetTop(L, 1);
  return SavePrefsFile(L, 1);
}

int cmdLoadPrefs(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  VmSetTop(L, 1);
  ErrorCode error = LoadPrefsFile(L, 1);
  return error == ERR_READFILE ? 0 : error;
}

int cmdDeletePrefs(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  char path[PLAYER_PATH_SIZE];
  ErrorCode error = prefsPath(path, sizeof path);
  if (error) return error;
  DeleteFileNative(path);
  return 0;
}

// ---- Catalog ---------------------------------------------------------------------------------

void closeCatalog() {
  if (sysInfo.catalog != nullptr) CloseLocaleCatalog(sysInfo.catalog);
  sysInfo.catalog = nullptr;
}

int cmdOpenCatalog(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  int32_t version = VmOptInteger(L, 2, 0);
  closeCatalog();
  sysInfo.catalog = OpenLocaleCatalog(name, version);
  return 0;
}

int cmdGetCatalogString(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  int32_t number = VmCheckInteger(L, 1);
  const char* def = VmCheckString(L, 2, nullptr);
  if (sysInfo.catalog == nullptr) {
    VmPushValue(L, 2);
    return 1;
  }
  VmPushString(L, GetLocaleString(sysInfo.catalog, number, def));
  return 1;
}

int cmdCloseCatalog(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  closeCatalog();
  return 0;
}

// ---- Language, country, folders, applet ------------------------------------------------------

int cmdGetSystemLanguage(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, GetSystemLanguageId());
  return 1;
}

int cmdGetSystemCountry(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushNumber(L, GetSystemCountryId());
  return 1;
}

int cmdGetLanguageInfo(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* code = "??";
  const char* name = "unknown";
  LanguageCodeStrings(VmCheckInteger(L, 1), &code, &name);
  VmNewTable(L);
  SetTableFieldString(L, "code", code);
  SetTableFieldString(L, "name", name);
  return 1;
}

int cmdGetCountryInfo(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* alpha2 = "??";
  const char* alpha3 = "???";
  CountryCodeStrings(VmCheckInteger(L, 1), &alpha2, &alpha3);
  VmNewTable(L);
  SetTableFieldString(L, "alpha2", alpha2);
  SetTableFieldString(L, "alpha3", alpha3);
  return 1;
}

int cmdGetApplicationInfo(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  PlayerRecord empty{};
  const PlayerRecord* r = player.record != nullptr ? player.record : &empty;
  VmNewTable(L);
  SetTableFieldString(L, "title", r->title);
  SetTableFieldString(L, "version", r->versionString);
  SetTableFieldString(L, "copyright", r->copyright);
  SetTableFieldString(L, "author", r->authors);
  SetTableFieldString(L, "description", r->description);
  SetTableFieldString(L, "identifier", r->text6);
  return 1;
}

int cmdGetSystemInfo(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  static const struct {
    int32_t id;
    const char* field;
  } folders[] = {{1, "windows"},         {2, "programfiles"},     {3, "appdata"},
                 {4, "commonappdata"},   {5, "mydocuments"},      {6, "userhome"},
                 {7, "username"},        {12, "preferences"},     {8, "sdcard"},
                 {9, "externalstorage"}, {10, "internalstorage"}, {11, "appbundle"},
                 {13, "tempfiles"}};
  VmNewTable(L);
  char path[PLAYER_PATH_SIZE];
  for (const auto& f : folders)
    if (GetSpecialFolderPath(f.id, path, sizeof path)) SetTableFieldString(L, f.field, path);
  return 1;
}

// ---- Run information -------------------------------------------------------------------------

// A text in the run's mode: Latin-1 outside UTF-8 mode.
void pushRunText(VmState* L, const char* text) {
  if (unicodeUtf8Mode) {
    VmPushString(L, text);
    return;
  }
  OwnedMemory<char> latin(Utf8ToLatin1Dup(text));
  VmPushString(L, latin != nullptr ? latin.get() : text);
}

int cmdGetVersion(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmNewTable(L);
  SetTableFieldString(L, "application", "QuillmerePlayer");
  SetTableFieldString(L, "version", "8.0");
  SetTableFieldString(L, "version_date", "08.02.19");
  SetTableFieldString(L, "kernel", "8.0");
  SetTableFieldString(L, "kernel_date", "08.02.19");
  SetTableFieldNumber(L, "beta", 0);
  SetTableFieldString(L, "platform", "Linux");
  SetTableFieldNumber(L, "bigendian", 0);
  // The processor this build runs on.
  SetTableFieldString(L, "cpu", "x86_64");
  VmPushString(L, "plugins");
  ErrorCode error = PushPluginInfoList(L);
  if (error) return error;
  VmRawSet(L, -3);
  return 1;
}

int cmdGetCommandLine(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmNewTable(L);
  int32_t count = 0;
  const PlayerRunContext* context = player.context;
  for (const UnmatchedOption* o = context ? context->unmatched : nullptr; o; o = o->next) {
    VmNewTable(L);
    VmPushString(L, "arg");
    pushRunText(L, o->name != nullptr ? o->name : "");
    VmRawSet(L, -3);
    VmPushString(L, "param");
    pushRunText(L, o->value != nullptr ? o->value : "");
    VmRawSet(L, -3);
    VmRawSetI(L, -2, count++);
  }
  VmPushNumber(L, count);
  VmPushNumber(L, context != nullptr ? context->unused1 : 0);
  return 3;
}

int cmdGetProgramInfo(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  const PlayerRunContext* context = player.context;
  if (context == nullptr) {
    VmPushNumber(L, 0);
    VmPushString(L, "");
    VmPushString(L, "");
    return 3;
  }
  if (player.appended) {
    VmPushNumber(L, 2);
    VmPushString(L, context->programPath);
    return 2;
  }
  VmPushNumber(L, context->appletFlag ? 1 : 0);
  VmPushString(L, context->appletPath);
  VmPushString(L, context->programPath);
  return 3;
}

int cmdGetFileArgument(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  VmPushString(L, player.context != nullptr ? player.context->appletArgument : "");
  return 1;
}

int cmdLegacyControl(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  int32_t value = VmCheckInteger(L, 2);
  if (CompareNoCase(name, "linebasedshapes") == 0) {
    SetLegacySwitch(LEGACY_LINEBASEDSHAPES, value);
  } else if (CompareNoCase(name, "singlemusic") == 0) {
    SetLegacySwitch(LEGACY_SINGLEMUSIC, value);
  } else {
    SetErrorArgString(name);
    return ERR_UNKNOWNTAG;
  }
  return 0;
}

int cmdGetMemoryInfo(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t kind = VmCheckInteger(L, 1);
  if (kind < 0 || kind > 1) return ERR_WRONGUSAGE;
  VmPushNumber(L, static_cast<double>(GetFreeMemory()) * 1024.0);
  return 1;
}

const CommandTableEntry infoCommands[] = {
    {"SavePrefs", cmdSavePrefs},
    {"LoadPrefs", cmdLoadPrefs},
    {"DeletePrefs", cmdDeletePrefs},
    {"OpenCatalog", cmdOpenCatalog},
    {"GetCatalogString", cmdGetCatalogString},
    {"CloseCatalog", cmdCloseCatalog},
    {"GetSystemLanguage", cmdGetSystemLanguage},
    {"GetSystemCountry", cmdGetSystemCountry},
    {"GetLanguageInfo", cmdGetLanguageInfo},
    {"GetCountryInfo", cmdGetCountryInfo},
    {"GetApplicationInfo", cmdGetApplicationInfo},
    {"GetSystemInfo", cmdGetSystemInfo},
    {"GetVersion", cmdGetVersion},
    {"GetCommandLine", cmdGetCommandLine},
    {"GetProgramInfo", cmdGetProgramInfo},
    {"GetFileArgument", cmdGetFileArgument},
    {"LegacyControl", cmdLegacyControl},
    {"GetMemoryInfo", cmdGetMemoryInfo},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode SavePrefsFile(VmState* L, int table) {
  char path[PLAYER_PATH_SIZE];
  ErrorCode error = prefsPath(path, sizeof path);
  if (error) return error;
  StreamHandle* stream = OpenFileStream(path, STREAM_WRITE, nullptr);
  if (stream == nullptr) {
    SetErrorArgString(path);
    return ERR_WRITEFILE;
  }
  error = DosWriteBytes(stream, PREFS_MAGIC, 4) == 4 ? ERR_NONE : ERR_WRITE;
  if (!error) error = WriteTableBody(L, table, stream);
  CloseFileStream(stream);
  return error;
}

ErrorCode LoadPrefsFile(VmState* L, int table) {
  char path[PLAYER_PATH_SIZE];
  ErrorCode error = prefsPath(path, sizeof path);
  if (error) return error;
  StreamHandle* stream = OpenFileStream(path, STREAM_READ, nullptr);
  if (stream == nullptr) return ERR_READFILE;
  char magic[4];
  if (DosReadBytes(stream, magic, 4) != 4)
    error = ERR_READ;
  else if (std::memcmp(magic, PREFS_MAGIC, 4) != 0)
    error = ERR_FILEFORMAT;
  else
    error = ReadTableBodyInto(L, stream, table);
  CloseFileStream(stream);
  return error;
}

int GetSpecialFolderPath(int32_t id, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  switch (id) {
    case 0:
      return GetProgramPath(buffer, size, 0) ? 1 : 0;
    case 6:
    case 7:
    case 13:
      return GetSystemDirectory(id, buffer, size);
    case 12:
      GetPrefsDirectory(buffer, size);
      return 1;
    default:
      return 0;
  }
}

ErrorCode OpenInfoCommands(VmState* L) {
  ErrorCode error = RegisterLibrary(infoCommands, "system");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, infoCommands, 0);
  const PrefsFileHooks prefs = {LoadPrefsFile, SavePrefsFile};
  SetPrefsFileHooks(&prefs);
  SetLegacySwitch(LEGACY_SINGLEMUSIC, 1);
  SetLegacySwitch(LEGACY_LINEBASEDSHAPES, 0);
  return ERR_NONE;
}

void FreeInfoResources() {
  closeCatalog();
  SetPrefsFileHooks(nullptr);
}
