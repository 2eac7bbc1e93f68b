// The dos library's directories, paths and patterns: directory objects
// walked entry by entry, one-shot listings, the wildcard matcher, the path
// commands, the current directory, volumes and the existence tests.
//
// Invariant: every DirectoryObject in the list owns its lock (or walks an
// entry tree of a linked directory); a record leaves the list before its
// lock is released.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/optiontable.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/player.h"
#include "runtime/runtime.h"

// One open directory; the head links it into the directory list.
struct DirectoryObject {
  ObjectHead head;
  int32_t finished;
  int32_t recursive;
  int32_t linked;
  LockHandle* lock;      // null for a linked tree
  DirEntryNode* tree;    // the entries of a linked directory
  DirEntryNode* cursor;  // the next node of the walk
  int32_t walkStarted;
  int32_t treeBorrowed;  // the tree belongs to another directory
};

namespace {

// Longest path that directory entries and joined paths may have, in bytes
// with the terminator: the lock layer's path size.
constexpr size_t PATH_SIZE = LOCK_PATH_SIZE;
constexpr size_t ADAPTER_NAME_MAX = 255;
constexpr const char* DIR_TYPE_NAME = "DIR*";
// Protection that entries of linked directories report: read, write,
// delete and execute for the user.
constexpr int32_t LINKED_FLAGS = 15;
// Counting modes of CountDirectoryEntries.
constexpr int32_t COUNTDIRECTORIES = 1;
constexpr int32_t COUNTBOTH = 2;
constexpr int32_t DOSTYPE_FILE = 0;
constexpr int32_t DOSTYPE_DIRECTORY = 1;

// The userdata behind DirectoryItems' iterator.
struct DirIterator {
  LockHandle* lock;
  int32_t linked;
};

struct DirState {
  ObjectHead* directories = nullptr;   // DirectoryObject list, appended at the tail
  std::vector<std::string> tempFiles;  // GetTempFileName's files, deleted at shut-down
};
DirState dirs;

bool optFlag(VmState* L, int index, bool def) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE || t == VM_TYPE_NIL) return def;
  if (t == VM_TYPE_BOOLEAN) return VmToBoolean(L, index) != 0;
  return VmCheckNumber(L, index) != 0;
}

ErrorCode findDirectory(ObjectId id, DirectoryObject** out) {
  *out = nullptr;
  for (ObjectHead* h = dirs.directories; h; h = h->next) {
    if (id.autoId ? h->autoId == id.autoId : (h->autoId == nullptr && h->number == id.number)) {
      *out = reinterpret_cast<DirectoryObject*>(h);
      return ERR_NONE;
    }
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDDIR;
}

ErrorCode directoryArg(VmState* L, int index, DirectoryObject** d) {
  return findDirectory(GetObjectIdArg(L, index, nullptr), d);
}

void unlinkDirectory(DirectoryObject* d) {
  for (ObjectHead** p = &dirs.directories; *p; p = &(*p)->next) {
    if (*p == &d->head) {
      *p = d->head.next;
      return;
    }
  }
}

void freeDirectory(VmState* L, DirectoryObject* d) {
  UnLockFile(d->lock);
  if (d->tree && !d->treeBorrowed) FreeDirEntryTree(d->tree);
  if (d->head.data) FreeObjectDataList(L, &d->head.data);
  FreeMemory(d);
}

// ---- Entry tables ---------------------------------------------------------------------------

void setDateField(VmState* L, const char* key, time_t seconds) {
  struct tm t {};
  localtime_r(&seconds, &t);
  DateFields d{t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year + 1900};
  char text[64];
  FormatDateText(&d, text, sizeof text);
  SetTableFieldString(L, key, text);
}

// Pushes the entry table of a platform or adapter entry.
void pushEntryTable(VmState* L, const char* name, bool isDirectory, const FileInfo& info) {
  VmNewTable(L);
  if (name) SetTableFieldString(L, "name", name);
  SetTableFieldInt(L, "type", isDirectory ? DOSTYPE_DIRECTORY : DOSTYPE_FILE);
  if (!isDirectory) SetTableFieldNumber(L, "size", static_cast<double>(info.size));
  SetTableFieldNumber(L, "flags", info.protection);
  setDateField(L, "time", info.times[1]);
  setDateField(L, "lastaccesstime", info.times[0]);
}

// Pushes the entry table of a node of a linked tree: flags 15 and the
// current date as both times.
void pushNodeTable(VmState* L, const DirEntryNode* node) {
  VmNewTable(L);
  SetTableFieldString(L, "name", node->name);
  SetTableFieldInt(L, "type", node->isFile ? DOSTYPE_FILE : DOSTYPE_DIRECTORY);
  if (node->isFile) SetTableFieldNumber(L, "size", node->size);
  SetTableFieldInt(L, "flags", LINKED_FLAGS);
  time_t now = std::time(nullptr);
  setDateField(L, "time", now);
  setDateField(L, "lastaccesstime", now);
}

// Locks a path as a directory: 1286 naming the path when it cannot be
// locked, the lock layer's error when it is not a directory.
ErrorCode lockDirectory(const char* path, const char* adapter, LockHandle** out) {
  *out = nullptr;
  LockHandle* lock = LockFile(path, 1 | LOCK_DIRECTORY, adapter && adapter[0] ? adapter : nullptr);
  if (!lock) {
    SetErrorArgString(path);
    return ERR_LOCK2;
  }
  int32_t isDirectory = 0;
  ErrorCode error = CheckLockIsDirectory(lock, &isDirectory);
  if (!error && !isDirectory) {
    SetErrorArgString(path);
    error = ERR_NOTADIR;
  }
  if (error) {
    UnLockFile(lock);
    return error;
  }
  *out = lock;
  return ERR_NONE;
}

// Owns a lock until released, so that raises free it.
struct LockOwner {
  LockHandle* lock = nullptr;
  ~LockOwner() { UnLockFile(lock); }
  LockHandle* release() {
    LockHandle* l = lock;
    lock = nullptr;
    return l;
  }
};

// ---- Directory objects ------------------------------------------------------------------

// The node of a linked tree that a path of names names, without regard to
// case; backslashes separate like slashes.
DirEntryNode* findNode(DirEntryNode* list, const char* path) {
  std::string rest(path);
  std::replace(rest.begin(), rest.end(), '\\', '/');
  DirEntryNode* node = nullptr;
  size_t pos = 0;
  while (pos <= rest.size()) {
    size_t slash = rest.find('/', pos);
    std::string part =
        rest.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    pos = slash == std::string::npos ? rest.size() + 1 : slash + 1;
    if (part.empty()) continue;
    node = nullptr;
    for (DirEntryNode* n = list; n; n = n->next)
      if (CompareNoCase(n->name, part.c_str()) == 0) node = n;
    if (!node) return nullptr;
    list = node->children;
  }
  return node;
}

int cmdOpenDirectory(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  const char* path = VmCheckString(L, 2, nullptr);
  char adapter[ADAPTER_NAME_MAX + 1] = "";
  int32_t recursive = 1;
  int32_t emptyTree = 0;
  void* handedTree = nullptr;
  bool hasTree = false;
  if (VmType(L, 3) != VM_TYPE_NONE) {
    VmCheckTable(L, 3);
    OptionField rows[] = {
        {"adapter", OPTION_STRING, adapter, sizeof adapter},
        {"recursive", OPTION_INT, &recursive, 0},
        {"__emptydir", OPTION_INT, &emptyTree, 0},
    };
    ErrorCode error = ReadOptionTable(L, 3, rows);
    if (error) return error;
    VmPushString(L, "__direntries");
    VmGetTable(L, 3);
    if (VmType(L, -1) != VM_TYPE_NIL) {
      // Only trees that the start-up handed out for linked directories are
      // walked; any other pointer is refused.
      if (VmType(L, -1) != VM_TYPE_LIGHTUSERDATA) return ERR_WRONGUSAGE;
      handedTree = VmToUserdata(L, -1);
      if (!IsHandedOutDirTree(handedTree)) return ERR_WRONGUSAGE;
      hasTree = true;
    }
    VmSetTop(L, -2);
  }
  if (!automatic) {
    DirectoryObject* old = nullptr;
    if (findDirectory(id, &old) == ERR_NONE) {
      unlinkDirectory(old);
      freeDirectory(L, old);
    }
  }
  LockOwner lock;
  DirEntryNode* tree = nullptr;
  bool borrowed = false;
  bool linked = false;
  if (hasTree || emptyTree) {
    linked = true;
  } else if (std::strncmp(path, ":::", 3) == 0 && !IsChunkName(path)) {
    // ":::<number>,<path>": a subdirectory of an open linked directory.
    const char* comma = std::strchr(path + 3, ',');
    if (!comma) return ERR_WRONGUSAGE;
    DirectoryObject* parent = nullptr;
    ErrorCode error = findDirectory(ObjectId{nullptr, std::atoi(path + 3)}, &parent);
    if (error) return error;
    DirEntryNode* node = findNode(parent->tree, comma + 1);
    if (!node || node->isFile) {
      SetErrorArgString(comma + 1);
      return ERR_READFILE;
    }
    tree = node->children;
    borrowed = linked = true;
  } else {
    ErrorCode error = lockDirectory(path, adapter, &lock.lock);
    if (error) return error;
  }
  auto* d = static_cast<DirectoryObject*>(AllocMemory(sizeof(DirectoryObject), 1));
  if (!d) return ERR_MEM;
  if (hasTree) {
    ClaimHandedOutDirTree(handedTree);
    tree = static_cast<DirEntryNode*>(handedTree);
  }
  d->head.type = OBJTYPE_DIRECTORY;
  d->head.number = automatic ? 0 : id.number;
  d->head.autoId = automatic ? d : nullptr;
  d->recursive = recursive;
  d->linked = linked ? 1 : 0;
  d->lock = lock.release();
  d->tree = tree;
  d->treeBorrowed = borrowed ? 1 : 0;
  ObjectHead** tail = &dirs.directories;
  while (*tail) tail = &(*tail)->next;
  *tail = &d->head;
  if (!automatic) return 0;
  VmPushLightUserdata(L, d);
  return 1;
}

int cmdCloseDirectory(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  DirectoryObject* d;
  if (ErrorCode e = directoryArg(L, 1, &d)) return e;
  unlinkDirectory(d);
  freeDirectory(L, d);
  return 0;
}

// The next entry of a directory object: 1 with the name, kind and file
// information, 0 at the end (the walk is then finished).
int nextEntry(DirectoryObject* d, const char** name, bool* isDirectory, FileInfo* info,
              const DirEntryNode** node) {
  *node = nullptr;
  if (d->finished) return 0;
  if (!d->lock) {
    if (!d->walkStarted) {
      d->cursor = d->tree;
      d->walkStarted = 1;
    }
    if (!d->cursor) {
      d->finished = 1;
      return 0;
    }
    *node = d->cursor;
    *name = d->cursor->name;
    *isDirectory = !d->cursor->isFile;
    d->cursor = d->cursor->next;
    return 1;
  }
  for (;;) {
    int32_t dir = 0;
    if (!NextLockEntry(d->lock, 0, name, &dir, info)) {
      d->finished = 1;
      return 0;
    }
    if (dir && !d->recursive) continue;
    *isDirectory = dir != 0;
    return 1;
  }
}

ErrorCode rewind(DirectoryObject* d) {
  d->finished = 0;
  d->walkStarted = 0;
  d->cursor = nullptr;
  return d->lock ? RewindLock(d->lock, 0) : ERR_NONE;
}

int cmdNextDirectoryEntry(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  DirectoryObject* d;
  if (ErrorCode e = directoryArg(L, 1, &d)) return e;
  const char* name;
  bool isDirectory;
  FileInfo info{};
  const DirEntryNode* node;
  if (!nextEntry(d, &name, &isDirectory, &info, &node)) return 0;
  if (node) {
    pushNodeTable(L, node);
  } else {
    pushEntryTable(L, name, isDirectory, info);
    if (d->linked) {
      time_t now = std::time(nullptr);
      setDateField(L, "time", now);
      setDateField(L, "lastaccesstime", now);
    }
  }
  return 1;
}

int cmdRewindDirectory(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  DirectoryObject* d;
  if (ErrorCode e = directoryArg(L, 1, &d)) return e;
  return rewind(d);
}

int cmdCountDirectoryEntries(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  DirectoryObject* d;
  if (ErrorCode e = directoryArg(L, 1, &d)) return e;
  int32_t mode = VmOptInteger(L, 2, 0);
  ErrorCode error = rewind(d);
  if (error) return error;
  int32_t count = 0;
  const char* name;
  bool isDirectory;
  FileInfo info{};
  const DirEntryNode* node;
  while (nextEntry(d, &name, &isDirectory, &info, &node)) {
    if (isDirectory ? mode == COUNTDIRECTORIES || mode == COUNTBOTH : mode != COUNTDIRECTORIES)
      count++;
  }
  error = rewind(d);
  if (error) return error;
  VmPushNumber(L, count);
  return 1;
}

int cmdGetDirectoryEntry(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  DirectoryObject* d;
  if (ErrorCode e = directoryArg(L, 1, &d)) return e;
  const char* name = VmCheckString(L, 2, nullptr);
  if (d->lock) {
    char path[PATH_SIZE];
    if (!NameFromLock(d->lock, path, sizeof path)) return ERR_MEM;
    size_t used = std::strlen(path);
    bool slash = used > 0 && path[used - 1] != '/' && path[used - 1] != '\\';
    if (used + (slash ? 1 : 0) + std::strlen(name) >= sizeof path) return ERR_MEM;
    AddPart(path, name, sizeof path);
    VmPushString(L, path);
    return 1;
  }
  DirEntryNode* node = findNode(d->tree, name);
  if (!node) {
    SetErrorArgString(name);
    return ERR_READFILE;
  }
  if (!node->isFile) {
    std::string text = ":::" + std::to_string(d->head.number) + "," + name;
    std::replace(text.begin(), text.end(), '\\', '/');
    VmPushString(L, text.c_str());
    return 1;
  }
  char chunk[PATH_SIZE];
  if (!MakeLinkedDataName(node->name, node->offset, node->size, chunk, sizeof chunk))
    return ERR_MEM;
  VmPushString(L, chunk);
  return 1;
}

int cmdMonitorDirectory(VmState* L) {
  CheckArgCount(L, 2, 3, 8, 0);
  GetObjectIdArg(L, 1, nullptr);
  VmCheckString(L, 2, nullptr);
  if (VmType(L, 3) != VM_TYPE_NONE) VmCheckTable(L, 3);
  // This platform has no directory watch: nothing is kept.
  return ERR_MONITORDIR;
}

// ---- Listings ------------------------------------------------------------------------------

int cmdReadDirectory(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  const char* path = GetFileNameArg(L, 1);
  VmCheckTable(L, 2);
  VmCheckTable(L, 3);
  bool sort = optFlag(L, 4, true);
  LockOwner lock;
  ErrorCode error = lockDirectory(path, nullptr, &lock.lock);
  if (error) return error;
  std::vector<std::string> names[2];
  const char* name;
  int32_t isDirectory;
  while (NextLockEntry(lock.lock, 0, &name, &isDirectory, nullptr))
    names[isDirectory ? 1 : 0].push_back(name);
  for (int k = 0; k < 2; k++) {
    if (sort) std::sort(names[k].begin(), names[k].end());
    int i = 0;
    for (const std::string& n : names[k]) {
      VmPushLString(L, n.data(), n.size());
      VmRawSetI(L, 2 + k, i++);
    }
    VmPushString(L, "");
    VmRawSetI(L, 2 + k, i);
  }
  VmPushNumber(L, static_cast<double>(names[0].size()));
  VmPushNumber(L, static_cast<double>(names[1].size()));
  return 2;
}

int dirIteratorGc(VmState* L) {
  auto* it = static_cast<DirIterator*>(VmToUserdata(L, 1));
  if (it && it->lock) {
    UnLockFile(it->lock);
    it->lock = nullptr;
  }
  return 0;
}

int nextDirItem(VmState* L) {
  auto* it = static_cast<DirIterator*>(VmToUserdata(L, VmUpvalueIndexOf(1)));
  if (!it || !it->lock) return 0;
  const char* name;
  int32_t isDirectory;
  FileInfo info{};
  if (!NextLockEntry(it->lock, 0, &name, &isDirectory, &info)) {
    UnLockFile(it->lock);
    it->lock = nullptr;
    return 0;
  }
  VmPushString(L, name);
  pushEntryTable(L, name, isDirectory != 0, info);
  return 2;
}

int cmdDirectoryItems(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* path = GetFileNameArg(L, 1);
  auto* it = static_cast<DirIterator*>(VmNewUserdata(L, sizeof(DirIterator)));
  it->lock = nullptr;
  it->linked = 0;
  VmGetNamedMetatable(L, DIR_TYPE_NAME);
  VmSetMetatable(L, -2);
  ErrorCode error = lockDirectory(path, nullptr, &it->lock);
  if (error) return error;
  VmPushCClosure(L, nextDirItem, 1);
  return 1;
}

// ---- Patterns ---------------------------------------------------------------------------------

// Whether the one-character element at p (not "*") takes c; *next is set
// past the element. A "[" without its closing bracket is a plain character.
bool elementMatches(const char* p, unsigned char c, const char** next) {
  if (*p == '?') {
    *next = p + 1;
    return true;
  }
  if (*p == '#') {
    *next = p + 1;
    return c >= '0' && c <= '9';
  }
  if (*p == '[') {
    const char* q = p + 1;
    bool negate = *q == '!';
    if (negate) q++;
    const char* first = q;
    // The closing bracket: "]" as the first member stands for itself.
    const char* close = q + (*q == ']' ? 1 : 0);
    while (*close && *close != ']') close++;
    if (*close == ']') {
      bool member = false;
      for (const char* m = first; m < close; m++) {
        unsigned char lo = static_cast<unsigned char>(*m);
        if (m + 2 < close && m[1] == '-') {
          unsigned char hi = static_cast<unsigned char>(m[2]);
          if (lo <= c && c <= hi) member = true;
          m += 2;
        } else if (lo == c) {
          member = true;
        }
      }
      *next = close + 1;
      return member != negate;
    }
  }
  *next = p + 1;
  return static_cast<unsigned char>(*p) == c;
}

// Matches the whole name against one pattern, case-sensitive. A "*" takes
// any run of characters; on a mismatch the walk goes back only to the last
// "*" and lets it take one character more. Every other element takes
// exactly one character, so the first match found is as good as any and
// the time is at most pattern length x name length.
bool wildcardMatch(const char* pattern, size_t patternLength, const char* name) {
  const char* end = pattern + patternLength;
  const char* p = pattern;
  const char* n = name;
  const char* starPattern = nullptr;
  const char* starName = nullptr;
  while (*n) {
    if (p < end && *p == '*') {
      while (p < end && *p == '*') p++;
      starPattern = p;
      starName = n;
      continue;
    }
    const char* next;
    if (p < end && elementMatches(p, static_cast<unsigned char>(*n), &next) && next <= end) {
      p = next;
      n++;
      continue;
    }
    if (!starPattern) return false;
    p = starPattern;
    n = ++starName;
  }
  while (p < end && *p == '*') p++;
  return p == end;
}

int cmdMatchPattern(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  const char* name = VmCheckString(L, 1, nullptr);
  size_t len;
  const char* list = VmCheckString(L, 2, &len);
  VmPushNumber(L, MatchPatternList(name, list, len) ? 1 : 0);
  return 1;
}

// ---- Paths --------------------------------------------------------------------------------

int cmdFilePart(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* path = VmCheckString(L, 1, nullptr);
  if (IsChunkName(path)) {
    char name[PATH_SIZE];
    if (!ParseChunkName(path, nullptr, nullptr, name, sizeof name, nullptr, 0, nullptr, 0, nullptr))
      return ERR_WRONGUSAGE;
    VmPushString(L, name);
    return 1;
  }
  const char* file = FindFilePart(path);
  if (*file == '/' || *file == '\\') file++;
  VmPushString(L, file);
  return 1;
}

int cmdPathPart(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  size_t len;
  const char* path = VmCheckString(L, 1, &len);
  if (IsChunkName(path)) return ERR_WRONGUSAGE;
  std::string s(path, len);
  size_t cut = s.find_last_of("/\\");
  if (cut == std::string::npos) cut = s.find_last_of(':');
  VmPushLString(L, path, cut == std::string::npos ? 0 : cut + 1);
  return 1;
}

int cmdFullPath(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  std::string dir = VmCheckString(L, 1, nullptr);
  const char* name = VmCheckString(L, 2, nullptr);
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  dir += name;
  if (dir.size() >= PATH_SIZE) return ERR_MEM;
  VmPushString(L, dir.c_str());
  return 1;
}

// Examines a script path resolved through the linked files; false when it
// is empty or cannot be examined.
bool examineArg(VmState* L, int index, ExtendedFileInfo* info) {
  const char* name = GetFileNameArg(L, index);
  if (name[0] == '\0') return false;
  return ExamineFile(name, info, 1) != 0;
}

int cmdExists(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ExtendedFileInfo info;
  VmPushNumber(L, examineArg(L, 1, &info) ? 1 : 0);
  return 1;
}

int cmdIsDirectory(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ExtendedFileInfo info;
  if (!examineArg(L, 1, &info)) return ERR_STAT;
  VmPushNumber(L, info.isDirectory ? 1 : 0);
  return 1;
}

int cmdFileSize(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  ExtendedFileInfo info;
  bool ok = examineArg(L, 1, &info);
  VmPushNumber(L, ok && !info.isDirectory ? static_cast<double>(info.size) : -1);
  return 1;
}

int cmdGetVolumeName(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  if (VmCheckString(L, 1, nullptr)[0] == '\0') return ERR_WRONGUSAGE;
  // This platform has no volume names.
  VmPushString(L, "unimplemented");
  return 1;
}

int cmdGetVolumeInfo(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  if (VmCheckString(L, 1, nullptr)[0] == '\0') return ERR_WRONGUSAGE;
  VmCheckInteger(L, 2);
  // This platform has no volume-space query.
  VmPushNumber(L, 0);
  return 1;
}

int cmdGetCurrentDirectory(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  char path[PATH_SIZE];
  GetCurrentDirPath(path, sizeof path);
  VmPushString(L, path);
  return 1;
}

int cmdChangeDirectory(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  return SetCurrentDirPath(VmCheckString(L, 1, nullptr));
}

int cmdGetTempFileName(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  char name[PATH_SIZE];
  if (!CreateTempFile(name, sizeof name)) return ERR_WRITEFILE;
  dirs.tempFiles.push_back(name);
  VmPushString(L, name);
  return 1;
}

int readDirectoryAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(dirs.directories));
    return 1;
  }
  DirectoryObject* d;
  if (ErrorCode e = directoryArg(L, 2, &d)) return e;
  if (attribute != ATTRADAPTER) return ERR_UNKNOWNATTR;
  const char* adapter = d->lock ? GetLockAdapterName(d->lock) : nullptr;
  VmPushString(L, adapter ? adapter : "inbuilt");
  return 1;
}

const CommandTableEntry dirCommands[] = {
    {"OpenDirectory", cmdOpenDirectory},
    {"CloseDirectory", cmdCloseDirectory},
    {"NextDirectoryEntry", cmdNextDirectoryEntry},
    {"RewindDirectory", cmdRewindDirectory},
    {"CountDirectoryEntries", cmdCountDirectoryEntries},
    {"GetDirectoryEntry", cmdGetDirectoryEntry},
    {"MonitorDirectory", cmdMonitorDirectory},
    {"ReadDirectory", cmdReadDirectory},
    {"DirectoryItems", cmdDirectoryItems},
    {"MatchPattern", cmdMatchPattern},
    {"FilePart", cmdFilePart},
    {"PathPart", cmdPathPart},
    {"FullPath", cmdFullPath},
    {"Exists", cmdExists},
    {"IsDirectory", cmdIsDirectory},
    {"FileSize", cmdFileSize},
    {"HaveVolume", cmdExists},
    {"GetVolumeName", cmdGetVolumeName},
    {"GetVolumeInfo", cmdGetVolumeInfo},
    {"GetCurrentDirectory", cmdGetCurrentDirectory},
    {"ChangeDirectory", cmdChangeDirectory},
    {"GetTempFileName", cmdGetTempFileName},
    {nullptr, nullptr},
};

}  // namespace

bool MatchPatternList(const char* name, const char* list, size_t length) {
  size_t start = 0;
  if (length == 0) return false;
  while (start <= length) {
    const char* semicolon =
        static_cast<const char*>(std::memchr(list + start, ';', length - start));
    size_t end = semicolon ? static_cast<size_t>(semicolon - list) : length;
    if (wildcardMatch(list + start, end - start, name)) return true;
    start = end + 1;
  }
  return false;
}

ErrorCode GetDirectoryById(ObjectId id, DirectoryObject** out) { return findDirectory(id, out); }

void GetCurrentDirPath(char* buffer, size_t size) {
  if (size == 0) return;
  if (!ResolveFullPath(".", buffer, size)) buffer[0] = '\0';
}

ErrorCode SetCurrentDirPath(const char* path) {
  ErrorCode error = 0;
  char* previous = ChangeDirectoryNative(path, &error);
  if (!previous) return error;
  FreeMemory(previous);
  return ERR_NONE;
}

ErrorCode OpenDosDirectories(VmState* L) {
  ErrorCode error = RegisterLibrary(dirCommands, "dos");
  if (error) return error;
  VmNewNamedMetatable(L, DIR_TYPE_NAME);
  VmPushString(L, "__index");
  VmPushValue(L, -2);
  VmSetTable(L, -3);
  VmPushString(L, "__gc");
  VmPushCClosure(L, dirIteratorGc, 0);
  VmSetTable(L, -3);
  VmSetTop(L, -2);
  VmRegisterFunctions(L, nullptr, dirCommands, 0);
  error = RegisterAttributeReader(OBJTYPE_DIRECTORY, readDirectoryAttribute);
  if (error) return error;
  return RegisterObjectList(&dirs.directories);
}

void FreeDosDirectories(VmState* L) {
  while (dirs.directories) {
    auto* d = reinterpret_cast<DirectoryObject*>(dirs.directories);
    dirs.directories = d->head.next;
    freeDirectory(L, d);
  }
  for (const std::string& name : dirs.tempFiles) DeleteFileNative(name.c_str());
  dirs = DirState();
}
