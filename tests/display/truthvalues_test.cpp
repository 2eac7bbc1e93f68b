// What the commands that answer yes or no give a script: the numbers 1 and
// 0 (True and False), so that `If Collision(...) = True` compares a number
// with a number; a boolean only where a command's description says so
// (LayerExists, IsPicture), which a script tests with If alone, since a
// boolean compared with a number is "Wrong operator for this type!".
#include <cstdio>
#include <string>
#include <vector>

#include "media/media.h"
#include "tests/support/adapter_display.h"
#include "text/text.h"

namespace {

ErrorCode registerBase(VmState* L) {
  VmRegisterBaseFunctions(L);
  return ERR_NONE;
}

class TruthValuesTest : public adaptertest::AdapterTest {
 protected:
  TruthValuesTest()
      : AdapterTest({registerBase, OpenStringLibrary, OpenGraphicsLibrary, OpenDisplayLibrary,
                     OpenLayersLibrary, OpenBrushLibrary, OpenBGPicLibrary, OpenTextLibrary,
                     OpenSoundLibrary}) {}

  void SetUp() override {
    AdapterTest::SetUp();
    if (HasFatalFailure()) return;
    OpenFirst(Value::Table({{"width", 64}, {"height", 48}, {"layers", true}}));
    ASSERT_EQ(call("CreateBrush", {1, 8, 8, 0xFF0000}), ERR_NONE);
    ASSERT_EQ(call("DisplayBrush", {1, 0, 0}), ERR_NONE);  // layer 1
    ASSERT_EQ(call("CreateTextObject", {1, "Hi"}), ERR_NONE);
  }

  // Calls the command; its first result's type and number are kept.
  ErrorCode call(const char* name, const std::vector<Value>& args) {
    for (const Value& a : args) PushValue(L, a);
    type = -1;
    return testcall::CallCollecting(
        L, name, static_cast<int>(args.size()), [this](VmState* L, int i) {
          if (type != -1) return;
          type = VmType(L, i);
          number = type == VM_TYPE_BOOLEAN ? VmToBoolean(L, i) : VmToNumber(L, i);
        });
  }

  // Runs `answer = (Command(args) = True)` as compiled code does.
  ErrorCode equalsTrue(const char* name, const std::vector<Value>& args, double* answer) {
    std::string text = ".line 1\nGETGLOBAL 0, \"" + lower(name) + "\"\n" + loads(args);
    text += "CALL 0, " + std::to_string(args.size() + 1) + ", 2\n" +
            "EQ 1, 0, #True\n"
            "JUMP equal\n"
            "LOADNUM 1, 0\n"
            "SETGLOBAL 1, \"answer\"\n"
            "RETURN 0, 1\n"
            "equal:\n"
            "LOADNUM 1, 1\n"
            "SETGLOBAL 1, \"answer\"\n"
            "RETURN 0, 1\n";
    return runForAnswer(text, answer);
  }

  // Runs the text; *answer is then the global "answer" as a number.
  ErrorCode runForAnswer(const std::string& text, double* answer) {
    ErrorCode code = Run(text);
    VmPushString(L, "answer");
    VmGetTable(L, VM_GLOBALS_INDEX);
    *answer = VmToNumber(L, -1);
    VmSetTop(L, -2);
    return code;
  }

  // Runs `code = Command(args)` in the form that catches a returned error
  // (CALLCATCH); a raised error ends the run with its code instead.
  ErrorCode caught(const char* name, const std::vector<Value>& args, double* code) {
    std::string text = ".line 1\nGETGLOBAL 0, \"" + lower(name) + "\"\n" + loads(args) +
                       "CALLCATCH 0, " + std::to_string(args.size() + 1) + ", 2\n" +
                       "SETGLOBAL 0, \"answer\"\nRETURN 0, 1\n";
    return runForAnswer(text, code);
  }

  // Loads the arguments into registers 1 up (numbers and texts).
  static std::string loads(const std::vector<Value>& args) {
    std::string text;
    int r = 1;
    for (const Value& a : args) {
      text += "LOADCONST " + std::to_string(r++) + ", ";
      text += a.kind == Value::STRING ? "\"" + a.text + "\"\n" : "#" + number_(a.number) + "\n";
    }
    return text;
  }

  static std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  static std::string number_(double n) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", n);
    return buffer;
  }

  int type = -1;
  double number = 0;
};

TEST_F(TruthValuesTest, YesOrNoAnswersAreOneAndZeroUnlessDescribedAsBooleans) {
  const int32_t LAYER = OBJTYPE_LAYER, TEXT = OBJTYPE_TEXTOBJECT, BOX = 14;
  struct Case {
    const char* name;
    const char* command;
    std::vector<Value> args;
    int type;
    double value;  // -1: either 0 or 1
  } cases[] = {
      {"boxes that meet", "Collision", {BOX, 0, 0, 10, 10, 9, 9, 10, 10}, VM_TYPE_NUMBER, 1},
      {"boxes that touch", "Collision", {BOX, 0, 0, 10, 10, 10, 0, 10, 10}, VM_TYPE_NUMBER, 0},
      {"a shown layer", "GetAttribute", {LAYER, 1, ATTRVISIBLE}, VM_TYPE_NUMBER, 1},
      {"a text's font", "GetAttribute", {TEXT, 1, ATTRFONTSCALABLE}, VM_TYPE_NUMBER, -1},
      {"a text's smoothing", "GetAttribute", {TEXT, 1, ATTRFONTAA}, VM_TYPE_NUMBER, -1},
      {"no such sample file", "IsSample", {"none.wav"}, VM_TYPE_NUMBER, 0},
      {"no such music file", "IsMusic", {"none.wav"}, VM_TYPE_NUMBER, 0},
      {"a silent channel", "IsChannelPlaying", {1}, VM_TYPE_NUMBER, 0},
      {"sound output", "IsSound", {}, VM_TYPE_NUMBER, -1},
      {"no such layer", "LayerExists", {"none"}, VM_TYPE_BOOLEAN, 0},
      {"no such picture", "IsPicture", {"none.png"}, VM_TYPE_BOOLEAN, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(call(c.command, c.args), ERR_NONE);
    EXPECT_EQ(type, c.type);
    if (c.value >= 0)
      EXPECT_EQ(number, c.value);
    else
      EXPECT_TRUE(number == 0 || number == 1) << number;
    double answer = -1;
    ErrorCode code = equalsTrue(c.command, c.args, &answer);
    if (c.type == VM_TYPE_BOOLEAN) {
      EXPECT_EQ(code, ERR_WRONGOP);
    } else {
      EXPECT_EQ(code, ERR_NONE);
      EXPECT_EQ(answer, number == 1 ? 1 : 0);
    }
  }
}

// GetLayerStyle gives its switches as SetLayerStyle takes them: 1 or 0.
TEST_F(TruthValuesTest, LayerStyleSwitchesAreNumbers) {
  ASSERT_EQ(call("SetLayerStyle", {1, Value::Table({{"hidden", true}, {"smoothscale", 1}})}),
            ERR_NONE);
  PushValue(L, 1);
  ASSERT_EQ(testcall::Call(L, "getlayerstyle", 1), ERR_NONE);
  struct Field {
    const char* name;
    double value;
  } fields[] = {{"hidden", 1}, {"smoothscale", 1}, {"shadow", 0}, {"border", 0}};
  for (const Field& f : fields) {
    SCOPED_TRACE(f.name);
    VmPushString(L, f.name);
    VmGetTable(L, -2);
    EXPECT_EQ(VmType(L, -1), VM_TYPE_NUMBER);
    EXPECT_EQ(VmToNumber(L, -1), f.value);
    VmSetTop(L, -2);
  }
  VmSetTop(L, 0);
  ASSERT_EQ(call("GetAttribute", {OBJTYPE_LAYER, 1, ATTRVISIBLE}), ERR_NONE);
  EXPECT_EQ(type, VM_TYPE_NUMBER);
  EXPECT_EQ(number, 0);
}

// A layer named by a name no layer has is a look-up failure, returned by
// every layer command as an unknown layer number is.
TEST_F(TruthValuesTest, AnUnknownLayerNameIsReturnedByEveryLayerCommand) {
  const int32_t LAYER = OBJTYPE_LAYER;
  struct Case {
    const char* command;
    std::vector<Value> args;
  } cases[] = {
      {"GetAttribute", {LAYER, "none", ATTRWIDTH}},
      {"GetLayerStyle", {"none"}},
      {"SetLayerZPos", {1, "none"}},
      {"SwapLayers", {"none", 1}},
      {"HideLayer", {"none"}},
      {"ShowLayer", {"none"}},
      {"RemoveLayer", {"none"}},
      {"SetLayerTransparency", {"none", 10}},
      {"AddMove", {1, 22, "none"}},
      {"PlayLayer", {"none"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    double code = 0;
    EXPECT_EQ(caught(c.command, c.args, &code), ERR_NONE);
    EXPECT_EQ(code, ERR_FINDLAYER);
  }
}

}  // namespace
