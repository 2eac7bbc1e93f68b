// Requesters: button sets, the console prompts with piped input (answers,
// refusals, end of input as cancel), and the GTK message requester under a
// private Xvfb answered with xdotool, with its console fall-backs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>
#include <sys/wait.h>

#include "platform/linux/dynlib.h"
#include "platform/linux/desktop_private.h"
#include "platform/linux/requester_private.h"
#include "tests/platform/xvfb.h"

namespace {

TEST(Requester, ButtonSetsIgnoreCase) {
  struct Case {
    const char* buttons;
    int32_t code;
    bool kept;  // the string stays for a custom set
  };
  const Case cases[] = {{nullptr, 3, false},         {"ok", 3, false},
                        {"Ok|Cancel", 0, false},     {"yes|no", 1, false},
                        {"YES|NO|CANCEL", 2, false}, {"Red|Green|Blue", 4, true},
                        {"Yes|No|Maybe", 4, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buttons ? c.buttons : "(none)");
    const char* buttons = c.buttons;
    EXPECT_EQ(RequesterButtonsFromType(&buttons), c.code);
    EXPECT_EQ(buttons != nullptr, c.kept);
  }
}

// Console requesters read from a piped input and write into a buffer.
class Console : public ::testing::Test {
 protected:
  void answer(const char* input) {
    input_ = input;
    in_ = fmemopen(const_cast<char*>(input_.data()), input_.size(), "r");
    if (input_.empty()) {
      fclose(in_);
      in_ = fopen("/dev/null", "r");  // end of input at once
    }
    out_ = open_memstream(&text_, &length_);
    SetRequesterConsole(in_, out_);
  }
  std::string printed() {
    fflush(out_);
    return std::string(text_, length_);
  }
  void TearDown() override {
    SetRequesterConsole(nullptr, nullptr);
    if (in_) fclose(in_);
    if (out_) fclose(out_);
    free(text_);
    in_ = out_ = nullptr;
    text_ = nullptr;
    length_ = 0;
  }
  std::string input_;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
  char* text_ = nullptr;
  size_t length_ = 0;
};

TEST_F(Console, MessageAnswersAndEndOfInput) {
  struct Case {
    const char* name;
    const char* buttons;
    const char* input;
    int32_t answer;
  };
  const Case cases[] = {
      {"first of three", "Red|Green|Blue", "1\n", 1},
      {"second of three", "Red|Green|Blue", "2\n", 2},
      {"last answers 0", "Red|Green|Blue", "3\n", 0},
      {"invalid, then end of input", "Red|Green|Blue", "7\nabc\n", 0},
      {"end of input cancels", "Yes|No", "", 0},
      {"no choice without a bar", "OK", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    answer(c.input);
    int32_t result = -5;
    EXPECT_EQ(NativeSystemRequester(nullptr, "Title", "Body", c.buttons, 1, &result), ERR_NONE);
    EXPECT_EQ(result, c.answer);
    TearDown();
  }
}

TEST_F(Console, ColourNeedsHashAndSixDigits) {
  struct Case {
    const char* name;
    const char* input;
    int32_t colour;
    const char* complaint;  // printed once before the answer, or null
  };
  const Case cases[] = {
      {"accepted", "#ff0000\n", 0xff0000, nullptr},
      {"without hash refused", "ff0000\n#00ff80\n", 0x00ff80,
       "Error. Color must be prefixed with a '#' character."},
      {"three digits refused", "#f00\n#0000ff\n", 0x0000ff,
       "Error. Color must use be 6 characters (two per red, green, blue)."},
      {"non-hex digits refused", "#gg0000\n", -1,
       "Error. Color must use be 6 characters (two per red, green, blue)."},
      {"empty line cancels", "\n", -1, nullptr},
      {"end of input cancels", "", -1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    answer(c.input);
    int32_t colour = 0;
    EXPECT_EQ(NativeColorRequester(nullptr, "Colour", 0, &colour), ERR_NONE);
    EXPECT_EQ(colour, c.colour);
    std::string text = printed();
    EXPECT_NE(text.find("Enter RGB color in a hexadecimal notation: "), std::string::npos);
    if (c.complaint) {
      EXPECT_NE(text.find(c.complaint), std::string::npos) << text;
    }
    TearDown();
  }
}

TEST_F(Console, ListStringFontAndFileCancelAtEndOfInput) {
  int32_t index = 5;
  answer("2\n");
  EXPECT_EQ(NativeListRequester(nullptr, "T", "Pick", "a\0b\0c\0", 0, &index), ERR_NONE);
  EXPECT_EQ(index, 1);
  TearDown();
  answer("\n");
  EXPECT_EQ(NativeListRequester(nullptr, "T", "Pick", "a\0b\0", 0, &index), ERR_NONE);
  EXPECT_EQ(index, -1);
  TearDown();
  answer("");
  EXPECT_EQ(NativeListRequester(nullptr, "T", "Pick", "a\0b\0", 0, &index), ERR_NONE);
  EXPECT_EQ(index, -1);
  TearDown();

  char* text = nullptr;
  answer("12a\n123456\n42\n");
  EXPECT_EQ(NativeStringRequester(nullptr, "T", "Number", "", 3, 5, 0, &text), ERR_NONE);
  EXPECT_STREQ(text, "42");
  EXPECT_NE(printed().find("Only numbers accepted, try again."), std::string::npos);
  EXPECT_NE(printed().find("String too long, 5 characters max. Try again.\n"), std::string::npos);
  FreeMemory(text);
  TearDown();
  answer("too\n");  // an over-long answer, then end of input
  EXPECT_EQ(NativeStringRequester(nullptr, "T", "Name", "", 0, 2, 0, &text), ERR_NONE);
  EXPECT_STREQ(text, "");
  FreeMemory(text);
  TearDown();

  FontRequestResult font;
  answer("Sans\nbig\n");
  EXPECT_EQ(NativeFontRequester(nullptr, "T", "Sans", 12, &font), ERR_NONE);
  EXPECT_STREQ(font.name, "");
  EXPECT_NE(printed().find("Error. Invalid size specified."), std::string::npos);
  TearDown();
  answer("Sans\n14\n");
  EXPECT_EQ(NativeFontRequester(nullptr, "T", "Sans", 12, &font), ERR_NONE);
  EXPECT_STREQ(font.name, "Sans");
  EXPECT_EQ(font.size, 14);
  TearDown();

  char* folder = nullptr;
  char* files = nullptr;
  int32_t count = -1, chosen = -1;
  answer("/proc/self/no-such-file\n");
  EXPECT_EQ(NativeFileRequester(nullptr, "Load", "", 0, "", "", &folder, &files, &count, &chosen),
            ERR_NONE);
  EXPECT_EQ(chosen, 0);
  EXPECT_EQ(folder, nullptr);
  EXPECT_NE(printed().find("/proc/self/no-such-file does not exist, try again.\n"),
            std::string::npos);
  TearDown();
  answer("/etc\n/etc/hostname\n");
  EXPECT_EQ(NativeFileRequester(nullptr, "Load", "", 0, "", "", &folder, &files, &count, &chosen),
            ERR_NONE);
  EXPECT_NE(printed().find("/etc is a directory, try again.\n"), std::string::npos);
  EXPECT_EQ(chosen, 1);
  EXPECT_EQ(count, 1);
  EXPECT_STREQ(folder, "/etc");
  EXPECT_STREQ(files, "hostname");
  FreeMemory(folder);
  FreeMemory(files);
  TearDown();
  answer("/etc/hostname\n");
  EXPECT_EQ(NativePathRequester(nullptr, "Dir", 0, "", &folder), ERR_NONE);
  EXPECT_EQ(folder, nullptr);
  EXPECT_NE(printed().find("/etc/hostname is not a directory, try again.\n"), std::string::npos);
  TearDown();
  answer("/etc/hostname\nn\n");
  EXPECT_EQ(NativeFileRequester(nullptr, "Save", "", 2, "", "", &folder, &files, &count, &chosen),
            ERR_NONE);
  EXPECT_EQ(chosen, 0);
  EXPECT_NE(printed().find("/etc/hostname does already exist. Overwrite? (y/n) "),
            std::string::npos);
}

TEST(Requester, ClosedStandardInputCancelsEveryPrompt) {
  // In a child whose standard input is closed, every console requester
  // returns its cancel value instead of asking again and again.
  pid_t child = fork();
  if (child == 0) {
    close(0);
    int out = open("/dev/null", O_WRONLY);
    dup2(out, 1);
    int32_t answer = -5, colour = 0, index = 0, count = 0, chosen = 1;
    char* text = nullptr;
    char* folder = nullptr;
    char* files = nullptr;
    FontRequestResult font;
    NativeSystemRequester(nullptr, "T", "B", "Yes|No|Cancel", 0, &answer);
    NativeColorRequester(nullptr, "T", 0, &colour);
    NativeListRequester(nullptr, "T", "B", "a\0b\0", 0, &index);
    NativeStringRequester(nullptr, "T", "P", "", 3, 4, 0, &text);
    NativeFileRequester(nullptr, "T", "", 2, "", "", &folder, &files, &count, &chosen);
    NativeFontRequester(nullptr, "T", "Sans", 10, &font);
    bool cancelled = answer == 0 && colour == -1 && index == -1 && text && text[0] == '\0' &&
                     chosen == 0 && font.name[0] == '\0';
    FreeMemory(text);
    _exit(cancelled ? 0 : 1);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 1000 && done == 0; i++) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(child, SIGKILL);  // a prompt that loops never ends by itself
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Waits for a requester's child process; one whose dialog missed its keys
// is ended after about 30 s rather than waited for. Its wait status.
int endChild(pid_t child) {
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 3000 && done == 0; i++) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  return status;
}

// Finds the child's dialog by its title and sends it key strokes.
bool answerDialog(const TestXServer& server, const char* title,
                  const std::vector<std::vector<std::string>>& commands) {
  std::string window;
  for (int i = 0; i < 200 && window.empty(); i++) {
    server.run({"xdotool", "search", "--onlyvisible", "--name", title}, nullptr, &window);
    if (window.empty()) usleep(50000);
  }
  if (window.empty()) return false;
  window = window.substr(0, window.find('\n'));
  // Once the server has given the dialog the focus, the dialog reads its
  // focus change before any key that follows, in the order the server sent
  // them.
  if (server.run({"xdotool", "windowfocus", "--sync", window}) != 0) return false;
  for (const auto& command : commands) server.run(command);
  return true;
}

// Runs one message requester in a child process (GTK keeps its start-up
// memory for the whole process) and answers it with xdotool keys; the
// child's answer, or -100 when it did not answer.
int gtkMessageAnswer(const TestXServer& server, const char* title, const char* keys) {
  pid_t child = fork();
  if (child == 0) {
    setenv("DISPLAY", server.name().c_str(), 1);
    BindDesktopLibraries();
    if (!DesktopGtkAvailable()) _exit(99);
    int32_t answer = -1;
    NativeSystemRequester(nullptr, title, "Pick one", "_Red|_Green|_Blue", 4, &answer);
    _exit(answer & 0xff);
  }
  if (!answerDialog(server, title, {{"xdotool", "key", "--clearmodifiers", keys}}))
    kill(child, SIGKILL);
  int status = endChild(child);
  if (!WIFEXITED(status)) return -100;
  return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

TEST(RequesterGtk, MessageWithThreeButtonsAnswersByPosition) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  struct Case {
    const char* title;
    const char* keys;
    int answer;
  };
  const Case cases[] = {{"QmFirst", "alt+r", 1}, {"QmSecond", "alt+g", 2}, {"QmThird", "alt+b", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(gtkMessageAnswer(server, c.title, c.keys), c.answer);
  }
}

TEST(RequesterGtk, NumbersOnlyEntryKeepsDigitsSignAndPoint) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  int result[2];
  ASSERT_EQ(pipe(result), 0);
  pid_t child = fork();
  if (child == 0) {
    setenv("DISPLAY", server.name().c_str(), 1);
    BindDesktopLibraries();
    char* text = nullptr;
    if (DesktopGtkAvailable())
      NativeStringRequester(nullptr, "QmNumbers", "Amount", "", 3, 0, 0, &text);
    ssize_t ignored = write(result[1], text ? text : "(none)", text ? std::strlen(text) : 6);
    (void)ignored;
    _exit(0);
  }
  close(result[1]);
  if (!answerDialog(
          server, "QmNumbers",
          {{"xdotool", "type", "--", "-1x2.5y"}, {"xdotool", "key", "--clearmodifiers", "alt+o"}}))
    kill(child, SIGKILL);
  endChild(child);
  std::string text;
  char buffer[64];
  ssize_t n;
  while ((n = read(result[0], buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<size_t>(n));
  close(result[0]);
  EXPECT_EQ(text, "-12.5");
}

TEST(RequesterGtk, ConsoleWhenGtkIsIncompleteOrNoDisplayOpens) {
  TestXServer server(24);
  ASSERT_TRUE(server.running());
  struct Case {
    const char* name;
    const char* display;
    const char* denied;  // library file the bind may not open, or null
  };
  const Case cases[] = {{"GLib missing", server.name().c_str(), "libglib-2.0.so.0"},
                        {"GObject missing", server.name().c_str(), "libgobject-2.0.so.0"},
                        {"no X display", ":139", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    static const char* denied;
    denied = c.denied;
    DesktopLibraryCalls calls = {[](const char* file, int flags) -> void* {
                                   if (denied && std::strcmp(file, denied) == 0) return nullptr;
                                   return dlopen(file, flags);
                                 },
                                 nullptr};
    SetDesktopLibraryCalls(&calls);
    setenv("DISPLAY", c.display, 1);
    BindDesktopLibraries();
    std::string input = "2\n";
    FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
    char* text = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&text, &length);
    SetRequesterConsole(in, out);
    int32_t answer = -1;
    EXPECT_EQ(NativeSystemRequester(nullptr, "T", "Body", "Red|Green|Blue", 0, &answer), ERR_NONE);
    EXPECT_EQ(answer, 2);
    SetRequesterConsole(nullptr, nullptr);
    fclose(in);
    fclose(out);
    EXPECT_NE(std::string(text, length).find("(3) Blue\n"), std::string::npos);
    free(text);
    UnbindDesktopLibraries();
    SetDesktopLibraryCalls(nullptr);
    unsetenv("DISPLAY");
  }
}

}  // namespace
