// The file, lock and program services of platform/linux that other folders
// do not call, and the helpers shared by its file, lock and program files.
// Used inside platform/linux and by tests.
#pragma once

#include <cstdio>

#include <sys/stat.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/thread_private.h"

// ---- Files, directories and programs ----
// The file-system and process services behind the stream layer and the dos
// library. Script paths are Latin-1 in 8-bit text mode and UTF-8 otherwise;
// the file system is always addressed in UTF-8, so names are converted on
// the way in and out (see unicodeUtf8Mode in platform/linux/platform.h).

// Open flags that the stream layer passes on.
enum : uint32_t {
  NATIVE_OPEN_WRITE = 2,    // create or truncate
  NATIVE_OPEN_UPDATE = 4,   // read and write an existing file (created when missing)
  NATIVE_OPEN_NATIVE = 32,  // the name is UTF-8 already
};
// A new UTF-8 copy in 8-bit mode (free with FreeMemory); null means "use the
// name as it is" (UTF-8 mode, or native set) or, with *failed set, no memory.
char* ConvertNativeFileName(const char* name, int native, int* failed);
// realpath of name into out (NATIVE_PATH_MAX bytes), converted back to
// Latin-1 in 8-bit mode unless native; null when realpath fails.
char* ResolveNativePath(int native, char* out, const char* name);
// The program's directory (without a trailing slash); 0 when it is unknown
// or does not fit.
int GetProgramDirectory(char* buffer, size_t size, int native);
int GetVolumeNameNative(const char* path, char* buffer, size_t size);         // "unimplemented", 0
int GetVolumeSpaceNative(const char* path, uint64_t* total, uint64_t* free);  // 0, 0 and 0
int NativeVolumeQueryStub();                                                  // 0

// The names CreateTempFile made in this run. DeleteRunTempNames deletes
// them (a directory with its contents) for a termination that cannot wait
// for the shut-down; ForgetRunTempNames drops them once the run is over.
// Both may be called from any thread.
void DeleteRunTempNames();
void ForgetRunTempNames();

// Splits an argument string at blanks: "..." keeps its blanks (quotes
// dropped), ">file" or "> file" names the output file. At most
// PROGRAM_ARGS_MAX arguments. ERR_WRONGUSAGE for a missing closing quote,
// too many arguments or an output name of more than 255 bytes; ERR_MEM.
constexpr size_t PROGRAM_ARGS_MAX = 126;
struct ProgramArguments {
  char* argv[PROGRAM_ARGS_MAX + 2];  // program, arguments, null
  size_t count;                      // entries before the null
  char output[256];                  // empty when not redirected
};
ErrorCode SplitProgramArguments(const char* program, const char* arguments, ProgramArguments* out);
void FreeProgramArguments(ProgramArguments* args);

// The running program's absolute path. RecordProgramPath resolves the first
// argument of main (the kernel's link to the executable when that fails).
void RecordProgramPath(const char* argv0);

// Directory flag, size, protection flags and the three times of a stat
// record; the name field is emptied.
void FillFileInfoFromStat(const struct stat* st, FileInfo* info);

// The runtime's table (SetPlatformRuntimeHooks); all members null until
// the runtime installs it.
const PlatformRuntimeHooks& GetPlatformRuntimeHooks();
