// Console requesters: prompts on standard output, answers read a line at a
// time from standard input. Invariant: every prompt loop ends at end of
// input or a read error, which counts as a cancel (message 0, list -1,
// string and file empty, colour -1), so no requester loops on a closed input;
// a termination request while one waits for input counts the same.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <sys/stat.h>

#include "platform/linux/requester_private.h"
#include "platform/linux/platform.h"

namespace {

constexpr size_t LINE_MAX_CHARS = 1024;  // characters of one answer line

// Test seams (the console streams of the text requesters); no run state.
FILE* consoleIn = nullptr;
FILE* consoleOut = nullptr;

FILE* in() { return consoleIn ? consoleIn : stdin; }
FILE* out() {
  FILE* stream = consoleOut ? consoleOut : stdout;
  EndConsoleLine(stream);
  return stream;
}

// One line without its line end; false at end of input.
bool readLine(char* line) {
  std::fflush(out());
  if (!ReadConsoleLine(line, LINE_MAX_CHARS + 1, in())) return false;
  size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] != '\n' && !std::feof(in())) {
    // Longer than a line may be: the rest is dropped.
    int c;
    while ((c = std::fgetc(in())) != EOF && c != '\n') {
    }
  }
  while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
    line[--length] = '\0';
  return true;
}

char* copyText(const char* text) {
  size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(AllocMemory(length + 1, 0));
  if (copy) std::memcpy(copy, text, length + 1);
  return copy;
}

// Asks for a number from 1 to count; 0 at end of input.
int32_t askChoice(int32_t count) {
  char line[LINE_MAX_CHARS + 2];
  for (;;) {
    std::fputs("Your choice: ", out());
    if (!readLine(line)) return 0;
    char* end = nullptr;
    long choice = std::strtol(line, &end, 10);
    if (end != line && choice >= 1 && choice <= count) return static_cast<int32_t>(choice);
    std::fprintf(out(), "Invalid choice. Valid choices between 1 and %d, try again.\n", count);
  }
}

}  // namespace

void SetRequesterConsole(FILE* input, FILE* output) {
  consoleIn = input;
  consoleOut = output;
}

int32_t ConsoleMessageRequester(const char* body, const char* buttons) {
  std::fprintf(out(), "%s\n", body ? body : "");
  if (!buttons || !std::strchr(buttons, '|')) return 0;
  int32_t count = 0;
  const char* start = buttons;
  for (const char* p = buttons;; p++) {
    if (*p == '|' || *p == '\0') {
      if (p > start)
        std::fprintf(out(), "(%d) %.*s\n", ++count, static_cast<int>(p - start), start);
      if (*p == '\0') break;
      start = p + 1;
    }
  }
  if (count == 0) return 0;
  int32_t choice = askChoice(count);
  return choice == count ? 0 : choice;
}

int32_t ConsoleListRequester(const char* body, const char* choices) {
  std::fprintf(out(), "%s\n", body ? body : "");
  int32_t count = 0;
  for (const char* p = choices; p && *p; p += std::strlen(p) + 1)
    std::fprintf(out(), "(%d) %s\n", ++count, p);
  char line[LINE_MAX_CHARS + 2];
  for (;;) {
    std::fputs("Your choice: ", out());
    if (!readLine(line) || line[0] == '\0') return -1;
    char* end = nullptr;
    long choice = std::strtol(line, &end, 10);
    if (end != line && choice >= 1 && choice <= count) return static_cast<int32_t>(choice - 1);
    std::fprintf(out(), "Invalid choice. Valid choices between 1 and %d, try again.\n", count);
  }
}

char* ConsoleStringRequester(const char* prompt, int32_t type, int32_t maxLength) {
  char line[LINE_MAX_CHARS + 2];
  for (;;) {
    std::fprintf(out(), "%s: ", prompt ? prompt : "");
    if (!readLine(line)) return copyText("");
    if (maxLength > 0 && std::strlen(line) > static_cast<size_t>(maxLength)) {
      std::fprintf(out(), "String too long, %d characters max. Try again.\n", maxLength);
      continue;
    }
    if (type == 3) {
      bool digits = true;
      for (const char* p = line; *p; p++)
        if (!std::isdigit(static_cast<unsigned char>(*p))) digits = false;
      if (!digits) {
        std::fputs("Only numbers accepted, try again.\n", out());
        continue;
      }
    }
    return copyText(line);
  }
}

char* ConsolePathPrompt(const char* title, int wantDirectory, int saveMode) {
  char line[LINE_MAX_CHARS + 2];
  for (;;) {
    std::fprintf(out(), "%s: ", title ? title : "");
    if (!readLine(line) || line[0] == '\0') return nullptr;
    struct stat status;
    if (stat(line, &status) == 0) {
      bool directory = S_ISDIR(status.st_mode);
      if (wantDirectory && !directory) {
        std::fprintf(out(), "%s is not a directory, try again.\n", line);
        continue;
      }
      if (!wantDirectory && directory) {
        std::fprintf(out(), "%s is a directory, try again.\n", line);
        continue;
      }
      if (!wantDirectory && saveMode) {
        std::fprintf(out(), "%s does already exist. Overwrite? (y/n) ", line);
        char answer[LINE_MAX_CHARS + 2];
        if (!readLine(answer)) return nullptr;
        if (answer[0] != 'y' && answer[0] != 'Y') continue;
      }
      return copyText(line);
    }
    if (saveMode) return copyText(line);
    std::fprintf(out(), "%s does not exist, try again.\n", line);
  }
}

int ConsoleFontRequester(FontRequestResult* result) {
  char name[LINE_MAX_CHARS + 2];
  std::fputs("Enter font name: ", out());
  if (!readLine(name) || name[0] == '\0') return 0;
  char line[LINE_MAX_CHARS + 2];
  for (;;) {
    std::fputs("Enter font size: ", out());
    if (!readLine(line)) return 0;
    if (std::isdigit(static_cast<unsigned char>(line[0]))) break;
    std::fputs("Error. Invalid size specified.\n", out());
  }
  StrCopyBounded(result->name, sizeof result->name, name);
  result->size = static_cast<int32_t>(std::strtol(line, nullptr, 10));
  return 1;
}

int32_t ConsoleColorRequester() {
  char line[LINE_MAX_CHARS + 2];
  for (;;) {
    std::fputs("Enter RGB color in a hexadecimal notation: ", out());
    if (!readLine(line) || line[0] == '\0') return -1;
    if (line[0] != '#') {
      std::fputs("Error. Color must be prefixed with a '#' character.\n", out());
      continue;
    }
    // Six hexadecimal digits exactly: anything else would be read as a
    // wrong colour without a word.
    bool valid = std::strlen(line + 1) == 6;
    for (const char* p = line + 1; valid && *p; p++)
      if (!std::isxdigit(static_cast<unsigned char>(*p))) valid = false;
    if (!valid) {
      std::fputs("Error. Color must use be 6 characters (two per red, green, blue).\n", out());
      continue;
    }
    return static_cast<int32_t>(std::strtol(line + 1, nullptr, 16));
  }
}
