// Built-in texts and error messages: every text number exists, every code
// maps to a text, texts that other code relies on keep their numbers,
// messages are filled from the error argument without ever being used as a
// format, and catalog replacements must keep the built-in conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "engine/engine.h"
#include "engine/engine_private.h"
#include "runtime/runtime.h"

namespace {

std::string message(ErrorCode code, const char* arg = "", int32_t number = 0, size_t size = 1024) {
  SetErrorArgString(arg);
  SetErrorArgNumber(number);
  std::string buffer(size, '\x7f');
  GetErrorText(code, buffer.data(), size);
  return std::string(buffer.c_str());
}

TEST(BuiltinTexts, EveryNumberHasATextAndEveryCodeItsNumber) {
  for (int32_t n = 0; n < BUILTIN_TEXT_NUMBERS; n++) {
    const char* t = GetBuiltinString(n);
    ASSERT_NE(t, nullptr) << n;
    EXPECT_GT(std::strlen(t), 0u) << n;
  }
  EXPECT_EQ(BUILTIN_TEXT_NUMBERS, 866);
  EXPECT_EQ(GetBuiltinString(866), nullptr);
  EXPECT_EQ(GetBuiltinString(-1), nullptr);

  std::set<int32_t> used;
  for (ErrorCode code = 1000; code <= 1629; code++) {
    int32_t n = GetErrorTextNumber(code);
    if (code == ERR_OPENFONT || code == ERR_ERRORCALLED) {
      EXPECT_EQ(n, -1) << code;
      continue;
    }
    ASSERT_GE(n, 0) << code;
    ASSERT_LT(n, 866) << code;
    EXPECT_TRUE(used.insert(n).second) << "code " << code << " shares text " << n;
  }
  EXPECT_EQ(GetErrorTextNumber(999), -1);
  EXPECT_EQ(GetErrorTextNumber(1630), -1);
}

TEST(BuiltinTexts, FixedNumbersKeepTheirTexts) {
  struct Case {
    int32_t number;
    const char* text;
  } cases[] = {
      {91, "Unknown error code!"},
      {92, "current line"},
      {95, "done"},
      {98, "Loading animation %s"},
      {99, "Preparing display"},
      {108, "failed"},
      {116, "Cannot open font %s with size %d!"},
      {194, "File"},
      {195, "skipped"},
      {217, "OK|Cancel"},
      {280, "In function"},
      {286, "Opening file %s"},
      {288, "Please select desired display mode!"},
      {307, "Cancel"},
      {338, "Yes"},
      {339, "No"},
      {372, "And Action!"},
      {517, "All"},
      {518, "Filter"},
      {792, "Full screen (best fit)|Windowed|Full screen (manual select)|Cancel"},
  };
  for (const Case& c : cases) EXPECT_STREQ(GetBuiltinString(c.number), c.text) << c.number;
}

TEST(ErrorText, MessagesFilledFromTheErrorArgument) {
  struct Case {
    const char* name;
    ErrorCode code;
    const char* arg;
    int32_t number;
    const char* expect;
  } cases[] = {
      {"no error", 0, "", 0, "No error occurred!"},
      {"plain text", ERR_MEM, "ignored %s", 3, "Out of memory!"},
      {"line break kept", ERR_WRONGUSAGE, "", 0,
       "Wrong usage/parameters for this command!\nRead the documentation!"},
      {"%d is the argument index", ERR_NUMEXPECTED, "", 2, "Number expected in argument 2!"},
      {"%s is the argument text", ERR_NUMTABLEARG, "width", 0,
       "Number expected in table argument \"width\"!"},
      {"argument with percent signs", ERR_FILEEXIST, "50%s%d%n.txt", 0,
       "File 50%s%d%n.txt does not exist!"},
      {"Error() text is the message", ERR_ERRORCALLED, "boom %s %d %n 100%", 7,
       "boom %s %d %n 100%"},
      {"font text is the message", ERR_OPENFONT, "Cannot open font x!", 0, "Cannot open font x!"},
      {"doubled percent shows once", ERR_MALFORMPAT1, "", 0,
       "Malformed pattern! (ends with \"%\")"},
      {"unknown code", 1, "", 0, "Unknown error code!"},
      {"unregistered plug-in code", 5000, "", 0, "Unknown error code!"},
      {"malformed linked-data name", ERR_READFILE, ":::chunkX", 0, "Cannot read file unknown !"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(message(c.code, c.arg, c.number), c.expect);
  }
  // Cut to the buffer, always terminated.
  EXPECT_EQ(message(ERR_MEM, "", 0, 4), "Out");
  std::string longArg(1023, 'x');
  EXPECT_EQ(message(ERR_ERRORCALLED, longArg.c_str(), 0, 1024), longArg);
}

TEST(ErrorText, PluginTexts) {
  ErrorCode code = RegisterCustomError("Plug-in failed on %s!");
  ASSERT_GE(code, ERR_FIRSTCUSTOM);
  EXPECT_EQ(message(code, "%d%s"), "Plug-in failed on %d%s!");
}

const char* replacementText;
int32_t replacedNumber;

const char* catalog(int32_t number, void*) {
  return number == replacedNumber ? replacementText : nullptr;
}

TEST(ErrorText, CatalogTextsMustKeepTheConversions) {
  struct Case {
    const char* name;
    int32_t number;
    const char* replacement;
    bool taken;
  } cases[] = {
      {"same conversions", 98, "Lade Animation %s", true},
      {"conversion added", 95, "fertig %s", false},
      {"conversion changed", 98, "Lade Animation %d", false},
      {"conversions swapped", 116, "Schrift %d mit %s!", false},
      {"conversions kept in order", 116,
       "Schrift %s mit Gr\xF6\xDF"
       "e %d!",
       true},
      {"escaped percent is no conversion", 95, "100%% fertig", true},
      {"width star takes an argument", 98, "%*s", false},
      {"length modifier differs", 116, "%s %ld", false},
  };
  SetCatalogTextSource(catalog, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    replacedNumber = c.number;
    replacementText = c.replacement;
    const char* got = GetBuiltinString(c.number);
    if (c.taken)
      EXPECT_STREQ(got, c.replacement);
    else
      EXPECT_STRNE(got, c.replacement);
  }
  // Messages take the replacement too.
  replacedNumber = GetErrorTextNumber(ERR_NUMEXPECTED);
  replacementText = "Zahl erwartet in Argument %d!";
  EXPECT_EQ(message(ERR_NUMEXPECTED, "", 4), "Zahl erwartet in Argument 4!");
  SetCatalogTextSource(nullptr, nullptr);
  EXPECT_EQ(message(ERR_NUMEXPECTED, "", 4), "Number expected in argument 4!");
}

// The runtime serves the error texts their custom texts and file names
// through a table; without it the engine still gives a sound message.
TEST(ErrorText, FileNamesAndCustomTextsWithAndWithoutTheRuntime) {
  ErrorCode custom = RegisterCustomError("Plug-in text");
  ASSERT_GE(custom, ERR_FIRSTCUSTOM);
  struct Case {
    const char* name;
    ErrorCode code;
    const char* arg;
    const char* withRuntime;
    const char* without;
  } cases[] = {
      {"file name cut to its last part", ERR_READFILE, "dir/x.txt", "Cannot read file x.txt !",
       "Cannot read file dir/x.txt !"},
      {"linked data shows its stored name", ERR_READFILE, ":::chunk1:2*a/b.png?",
       "Cannot read file a/b.png !", "Cannot read file :::chunk1:2*a/b.png? !"},
      {"registered custom text", custom, "", "Plug-in text", "Unknown error code!"},
  };
  const EngineRuntimeHooks* installed = &GetEngineRuntimeHooks();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(message(c.code, c.arg), c.withRuntime);
    SetEngineRuntimeHooks(nullptr);
    EXPECT_EQ(message(c.code, c.arg), c.without);
    SetEngineRuntimeHooks(installed);
  }
}

TEST(ErrorText, ReportWithLocation) {
  char buffer[256];
  ResetErrorLocation();
  FormatErrorText(nullptr, "Out of memory!", 1, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "Out of memory!");
  TagItem on[] = {{ATTR_SCRIPTRUNNING, 1}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, on);
  std::snprintf(vmErrorLocation.file, sizeof vmErrorLocation.file, "game.qm");
  vmErrorLocation.line = 12;
  FormatErrorText(nullptr, "Boom", 0, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "Boom\nFile: game.qm (current line: 12)");
  std::snprintf(vmErrorLocation.function, sizeof vmErrorLocation.function, "DisplayBrush");
  FormatErrorText(nullptr, "Boom %s", 0, buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "Boom %s\nFile: game.qm (current line: 12 - In function: DisplayBrush)");
  TagItem off[] = {{ATTR_SCRIPTRUNNING, 0}, {ATTR_DONE, 0}};
  SetGlobalAttrs(nullptr, off);
  ResetErrorLocation();
}

}  // namespace
