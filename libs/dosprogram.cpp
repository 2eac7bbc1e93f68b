// The dos library's external programs: Run in the background (with a
// "RunFinished" event when the script listens for it) and Execute, waiting;
// programs linked into the applet are extracted once into a temporary file.
//
// Invariant: a run record is listed from the start of its watcher thread
// until FreeRunRecord, which stops and joins the thread before the record
// goes; a finished notice that names a record no longer listed is dropped.
#include <cstring>
#include <string>
#include <vector>

#include "display/display.h"
#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

// Protection of an extracted program: read, write and execute for the user.
constexpr uint32_t EXTRACTED_PROTECTION =
    FILEATTR_READ_USR | FILEATTR_WRITE_USR | FILEATTR_EXECUTE_USR;

// A program running in the background whose end the script hears of. The
// request comes first: the thread layer reads its thread word through it.
struct RunRecord {
  ProgramRequest request;
  VmRef userData;
  RunRecord* next;
};

// A program extracted from the applet: where it was written and the
// linked name it came from.
struct ExtractedProgram {
  std::string path;
  std::string linkedName;
};

struct ProgramState {
  RunRecord* runs = nullptr;
  std::vector<ExtractedProgram> extracted;
  std::vector<std::string> placeholders;  // the temporary names reserved for them
};
ProgramState programs;

void freeRunRecord(VmState* L, RunRecord* record) {
  for (RunRecord** p = &programs.runs; *p; p = &(*p)->next) {
    if (*p == record) {
      *p = record->next;
      break;
    }
  }
  if (record->request.thread) StopAndJoinThread(&record->request);
  if (L) VmReleaseReference(L, VM_REGISTRY_INDEX, record->userData);
  FreeMemory(record->request.path);
  FreeMemory(record->request.arguments);
  FreeMemory(record);
}

RunRecord* findRunRecord(uintptr_t word) {
  for (RunRecord* r = programs.runs; r; r = r->next)
    if (reinterpret_cast<uintptr_t>(&r->request) == word) return r;
  return nullptr;
}

int runUserData(uintptr_t record, VmRef* out) {
  RunRecord* r = findRunRecord(record);
  if (!r) return 0;
  *out = r->userData;
  return 1;
}

void releaseRun(VmState* L, uintptr_t record) {
  if (RunRecord* r = findRunRecord(record)) freeRunRecord(L, r);
}

const RunFinishedHooks RUN_HOOKS = {runUserData, releaseRun};

char* copyText(const std::string& s) {
  auto* p = static_cast<char*>(AllocMemory(s.size() + 1, 0));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

// Splits a command line into the program and its argument text: a program
// in double quotes runs to the closing quote, else to the first blank.
ErrorCode splitCommandLine(const char* line, std::string* program, std::string* arguments) {
  if (!line[0]) return ERR_WRONGUSAGE;
  const char* p = line;
  if (*p == '"') {
    const char* close = std::strchr(p + 1, '"');
    if (!close) return ERR_WRONGUSAGE;
    program->assign(p + 1, close);
    p = close + 1;
  } else {
    const char* end = p;
    while (*end && *end != ' ' && *end != '\t') end++;
    program->assign(p, end);
    p = end;
  }
  while (*p == ' ' || *p == '\t') p++;
  arguments->assign(p);
  if (program->empty()) return ERR_WRONGUSAGE;
  return ERR_NONE;
}

// Writes a linked program into a temporary file once; later calls reuse it.
ErrorCode extractProgram(const std::string& linkedName, const char* chunk, std::string* out) {
  for (const ExtractedProgram& e : programs.extracted) {
    if (e.linkedName == linkedName) {
      *out = e.path;
      return ERR_NONE;
    }
  }
  char temp[LOCK_PATH_SIZE];
  if (!CreateTempFile(temp, sizeof temp)) return ERR_WRITEFILE;
  programs.placeholders.push_back(temp);
  // The program keeps its own name at the end, so that its extension
  // still tells what it is.
  std::string ownName = linkedName.substr(linkedName.find_last_of("/\\") + 1);
  std::string path = std::string(temp) + "." + ownName;
  StreamHandle* in = OpenFileStream(chunk, STREAM_READ, nullptr);
  if (!in) {
    SetErrorArgString(linkedName.c_str());
    return ERR_READFILE;
  }
  StreamHandle* outFile = OpenFileStream(path.c_str(), STREAM_WRITE, nullptr);
  if (!outFile) {
    CloseFileStream(in);
    SetErrorArgString(path.c_str());
    return ERR_WRITEFILE;
  }
  std::vector<uint8_t> block(STREAM_BLOCK_SIZE);
  ErrorCode error = ERR_NONE;
  for (;;) {
    size_t n = ReadStream(in, block.data(), block.size());
    if (n == 0) break;
    if (WriteStream(outFile, block.data(), n) != n) {
      error = ERR_WRITE;
      break;
    }
  }
  CloseFileStream(in);
  if (!CloseFileStream(outFile) && !error) error = ERR_WRITE;
  if (!error && !SetFileProtection(path.c_str(), EXTRACTED_PROTECTION)) error = ERR_WRITE;
  if (error) {
    DeleteFileNative(path.c_str());
    return error;
  }
  programs.extracted.push_back({path, linkedName});
  *out = path;
  return ERR_NONE;
}

// Reads the command line and resolves the program (extracting a linked one).
ErrorCode prepareProgram(VmState* L, std::string* program, std::string* arguments) {
  const char* line = VmCheckString(L, 1, nullptr);
  ErrorCode error = splitCommandLine(line, program, arguments);
  if (error) return error;
  const char* resolved = ResolveLinkedFile(L, program->c_str(), 0, nullptr);
  if (IsChunkName(resolved)) {
    std::string chunk = resolved;
    return extractProgram(*program, chunk.c_str(), program);
  }
  return ERR_NONE;
}

// The optional reset argument (default on): the current display's input
// state is cleared once the program started or ended, since it had the
// keyboard and the pointer meanwhile.
bool resetWanted(VmState* L, int index) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE || t == VM_TYPE_NIL) return true;
  return t == VM_TYPE_BOOLEAN ? VmToBoolean(L, index) != 0 : VmCheckNumber(L, index) != 0;
}

ErrorCode resetAfter(ErrorCode error, bool reset) {
  if (!error && reset)
    if (DisplayRecord* d = GetCurrentDisplay()) ResetDisplayState(d);
  return error;
}

int cmdRun(VmState* L) {
  CheckArgCount(L, 1, 3, 0, 0);
  bool reset = resetWanted(L, 2);
  std::string program, arguments;
  ErrorCode error = prepareProgram(L, &program, &arguments);
  if (error) return error;
  if (!HasRunFinishedHandler())
    return resetAfter(
        StartProgram(program.c_str(), arguments.empty() ? nullptr : arguments.c_str(), 1), reset);
  auto* record = static_cast<RunRecord*>(AllocMemory(sizeof(RunRecord), 1));
  if (!record) return ERR_MEM;
  record->userData = VM_REF_NIL;
  record->request.path = copyText(program);
  record->request.arguments = copyText(arguments);
  if (!record->request.path || !record->request.arguments) {
    freeRunRecord(nullptr, record);
    return ERR_MEM;
  }
  if (VmType(L, 3) != VM_TYPE_NONE) {
    VmPushValue(L, 3);
    record->userData = VmCreateReference(L, VM_REGISTRY_INDEX);
  }
  record->next = programs.runs;
  programs.runs = record;
  if (StartProgramThread(&record->request) != ERR_NONE) {
    record->request.thread = nullptr;
    freeRunRecord(L, record);
    return ERR_THREAD;
  }
  return resetAfter(ERR_NONE, reset);
}

int cmdExecute(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  bool reset = resetWanted(L, 2);
  std::string program, arguments;
  ErrorCode error = prepareProgram(L, &program, &arguments);
  if (error) return error;
  return resetAfter(
      ExecuteProgram(L, program.c_str(), arguments.empty() ? nullptr : arguments.c_str()), reset);
}

const CommandTableEntry programCommands[] = {
    {"Run", cmdRun},
    {"Execute", cmdExecute},
    {nullptr, nullptr},
};

}  // namespace

ErrorCode OpenDosPrograms(VmState* L) {
  ErrorCode error = RegisterLibrary(programCommands, "dos");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, programCommands, 0);
  SetRunFinishedHooks(&RUN_HOOKS);
  return ERR_NONE;
}

void FreeDosPrograms(VmState* L) {
  SetRunFinishedHooks(nullptr);
  while (programs.runs) freeRunRecord(L, programs.runs);
  for (const ExtractedProgram& e : programs.extracted) DeleteFileNative(e.path.c_str());
  for (const std::string& name : programs.placeholders) DeleteFileNative(name.c_str());
  programs = ProgramState();
}
