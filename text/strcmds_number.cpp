// The string library's conversions between numbers and text: Val, Eval,
// FormatStr, StrStr, PadNum, HexStr and BinStr.
//
// Invariant: the commands only read arguments and push results; parsing,
// evaluation and formatting are the plain functions of text/strcore.h, so
// every error is returned before anything is pushed.
#include <string>
#include <vector>

#include "text/strcmds.h"

namespace {

int cmdVal(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* s = VmCheckString(L, 1, nullptr);
  size_t used = 0;
  ErrorCode err;
  double v = ParseNumberString(s, &used, &err);
  VmPushNumber(L, err == ERR_NONE ? v : 0);
  VmPushNumber(L, static_cast<double>(err == ERR_NONE ? used : 0));
  return 2;
}

int cmdStrStr(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  double v = VmCheckNumber(L, 1);
  int32_t decimals = VmOptInteger(L, 2, 2);
  std::string text = FormatStrStr(v, decimals);
  VmPushLString(L, text.data(), text.size());
  return 1;
}

int cmdPadNum(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  double v = VmCheckNumber(L, 1);
  double length = VmCheckNumber(L, 2);
  std::string text;
  ErrorCode err = FormatPadNum(v, length, &text);
  if (err != ERR_NONE) return err;
  VmPushLString(L, text.data(), text.size());
  return 1;
}

int cmdHexStr(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  std::string text = FormatHexStr(VmCheckNumber(L, 1));
  VmPushLString(L, text.data(), text.size());
  return 1;
}

int cmdBinStr(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  double v = VmCheckNumber(L, 1);
  std::string text = FormatBinStr(v, VmOptInteger(L, 2, 1));
  VmPushLString(L, text.data(), text.size());
  return 1;
}

// FormatStr's values, read from argument 2 on as the conversions ask.
class StackArguments : public FormatArguments {
 public:
  explicit StackArguments(VmState* L) : L_(L) {}
  double Number(int index) override { return VmCheckNumber(L_, index + 2); }
  std::string Text(int index) override {
    size_t len;
    const char* s = VmCheckString(L_, index + 2, &len);
    return std::string(s, len);
  }

 private:
  VmState* L_;
};

int cmdFormatStr(VmState* L) {
  CheckArgCount(L, 1, -1, 0, 0);
  size_t len;
  const char* format = VmCheckString(L, 1, &len);
  StackArguments args(L);
  std::string out;
  ErrorCode err = FormatText(format, len, &args, &out);
  if (err != ERR_NONE) return err;
  VmPushLString(L, out.data(), out.size());
  return 1;
}

// Reads the "variables" list of Eval's options table at index 2.
ErrorCode readVariables(VmState* L, std::vector<EvalVariable>* vars) {
  VmCheckTable(L, 2);
  VmPushString(L, "variables");
  VmGetTable(L, 2);
  int list = VmGetTop(L);
  if (VmType(L, list) == VM_TYPE_NIL) return ERR_NONE;
  if (VmType(L, list) != VM_TYPE_TABLE) return ERR_WRONGUSAGE;
  for (int i = 0;; i++) {
    VmRawGetI(L, list, i);
    int entry = VmGetTop(L);
    if (VmType(L, entry) == VM_TYPE_NIL) break;
    if (VmType(L, entry) != VM_TYPE_TABLE) return ERR_WRONGUSAGE;
    VmPushString(L, "name");
    VmGetTable(L, entry);
    if (VmType(L, -1) != VM_TYPE_STRING) return ERR_WRONGUSAGE;
    size_t nameLength = VmStrLen(L, -1);
    const char* name = VmToString(L, -1);
    if (!EvalIsValidName(name, nameLength)) return ERR_WRONGUSAGE;
    EvalVariable v{std::string(name, nameLength), 0};
    VmPushString(L, "value");
    VmGetTable(L, entry);
    if (!VmIsNumber(L, -1)) return ERR_WRONGUSAGE;
    v.value = VmToNumber(L, -1);
    vars->push_back(std::move(v));
    VmSetTop(L, list);
  }
  VmSetTop(L, list - 1);
  return ERR_NONE;
}

int cmdEval(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  size_t len;
  const char* text = VmCheckString(L, 1, &len);
  std::vector<EvalVariable> vars;
  if (VmGetTop(L) >= 2) {
    ErrorCode err = readVariables(L, &vars);
    if (err != ERR_NONE) return err;
  }
  double result;
  ErrorCode err = EvalExpression(text, len, vars, &result);
  if (err != ERR_NONE) return err;
  VmPushNumber(L, result);
  return 1;
}

}  // namespace

extern const CommandTableEntry stringNumberCommands[] = {
    {"Val", cmdVal},       {"StrStr", cmdStrStr}, {"HexStr", cmdHexStr},
    {"BinStr", cmdBinStr}, {"PadNum", cmdPadNum}, {"FormatStr", cmdFormatStr},
    {"Eval", cmdEval},     {nullptr, nullptr},
};
