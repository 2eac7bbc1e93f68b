// qmasm: the assembler that turns the text form of compiled scripts into
// bytecode chunks, plain ("QMA") and compressed ("QMZ") applets, and program
// files with an applet appended. A test and authoring tool, not part of the
// player. The syntax is described in tools/qmasm/README.md.
//
// Invariant: assembly is a pure function of the text: the same text always
// gives the same bytes, and an error leaves the output untouched.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qmasm {

using Bytes = std::vector<uint8_t>;

struct Constant {
  enum Kind { NIL, NUMBER, STRING, RAW } kind = NIL;
  double number = 0;
  std::string text;  // STRING: the text; RAW: the payload bytes
  int rawTag = 0;    // RAW: the tag byte written
};

struct LocalVar {
  std::string name;
  int32_t start = 0;  // first active instruction
  int32_t end = 0;    // first inactive instruction
};

// One function record. Counts that a raw directive overrides are written
// as given while the entries themselves are written as they are.
struct Function {
  std::string name;
  bool hasSource = false;
  std::string source;
  int32_t lineDefined = 0;
  int nups = 0;
  int numparams = 0;
  int vararg = 0;
  int maxstack = 0;
  std::vector<uint32_t> code;
  std::vector<int32_t> lines;
  std::vector<LocalVar> locals;
  std::vector<std::string> upvalueNames;
  std::vector<Constant> constants;
  std::vector<std::unique_ptr<Function>> children;
  std::map<std::string, int64_t> countOverride;  // "lines", "locals", ...
};

// Chunk header choices. The defaults give the canonical header.
struct ChunkOptions {
  int byteOrder = 1;   // 1 little-endian, anything else big-endian
  int lengthSize = 4;  // 4 or 8
  double testNumber = 31415926.535897933;
  std::map<size_t, uint8_t> patch;  // raw: chunk offset -> byte
  int64_t truncate = -1;            // raw: cut the chunk to this many bytes
};

// One header section of an applet, in file order.
struct Section {
  int tag = 0;
  Bytes payload;
};

// A 32-bit field of a section that holds an applet offset of the trailing
// data (behind the script), known only once the script's size is.
struct TrailerReference {
  size_t section;   // index in Program::sections
  size_t at;        // byte offset of the field in its payload
  uint32_t offset;  // in the trailing data
};

struct Program {
  Function main;
  ChunkOptions chunk;
  std::vector<Section> sections;  // applet sections before the script
  bool versionGiven = false;
  Bytes trailer;  // linked data written behind the script
  std::vector<TrailerReference> trailerReferences;
};

// The value of a named constant, written #NAME in an operand.
struct NamedValue {
  bool isText = false;
  double number = 0;
  std::string text;
};
// Finds a constant by name (any case) among the player's own constants;
// false when there is none. The qmasm program passes the player's tables
// (tools/reference/vocabulary.h); without a lookup only #True, #False, #Nil
// and the applet's own constants (.applet constant) are known.
using ConstantLookup = std::function<bool(const std::string& name, NamedValue* value)>;

// Parses the text. On failure returns false and sets error to
// "<line>: <message>".
bool Parse(const std::string& text, Program* program, std::string* error,
           const ConstantLookup& lookup = nullptr);

// The chunk of a parsed program.
Bytes WriteChunk(const Program& program);

// Text to chunk in one step.
bool AssembleChunk(const std::string& text, Bytes* out, std::string* error,
                   const ConstantLookup& lookup = nullptr);

// A plain applet: "QMA", the sections (a version section 8.0 first unless
// the text gives its own), the script section holding the chunk.
Bytes WriteApplet(const Program& program, const Bytes& chunk);

// Compresses a plain applet into a "QMZ" container.
bool CompressApplet(const Bytes& plain, Bytes* out, std::string* error);

// A plug-in for the pack in front of an appended applet.
struct PackedPlugin {
  std::string name;  // without the ".qmp" extension
  Bytes data;
};

// A copy of the program with the pack (when plugins are given) and the
// applet appended, and its appended-applet record patched to point at them.
// The record must occur exactly once in the program.
bool AppendApplet(const Bytes& programFile, const std::vector<PackedPlugin>& plugins,
                  bool compressPlugins, const Bytes& applet, Bytes* out, std::string* error);

// The text that marks the appended-applet record.
constexpr char APPLET_RECORD_TEXT[] = "Vorlast Tessmark Entertainment";
constexpr uint32_t APPLET_RECORD_EMPTY = 0xDEADC0DE;

}  // namespace qmasm
