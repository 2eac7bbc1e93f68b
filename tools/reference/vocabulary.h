// The player's vocabulary as its own tables register it: each command
// library with its commands and constants (values included), read from a
// VM into which the player's libraries were opened. The reference checker
// (qmref) and the assembler (qmasm, for constants written #NAME) use it.
//
// The functions open the player's libraries in this process, so the program
// or test that calls them links the player's folder libraries (the static
// group qm_all, or the test tree's shared library).
#pragma once

#include <string>
#include <vector>

namespace vocabulary {

struct Constant {
  std::string name;  // as the constant is written: upper case
  bool isText = false;
  double number = 0;
  std::string text;
  // What the player itself says the constant means, where it says it: the
  // built-in text of an error code (ERR_ constants). Empty elsewhere.
  std::string meaning;
};

struct Library {
  std::string name;                   // the registered library name
  std::vector<std::string> commands;  // spelled as the command table spells them, sorted
  std::vector<Constant> constants;    // sorted by name
};

// Every library of the player in opening order. Each command and constant
// belongs to the library whose opening registered it; false with *error
// when the player registers something that no library here accounts for.
bool CollectPlayerVocabulary(std::vector<Library>* libraries, std::string* error);

// The player's built-in constants as it finds them at run time, matched
// without regard to case: the player's libraries opened into a VM of their
// own, which the destructor frees again as shut-down does.
class PlayerConstants {
 public:
  PlayerConstants();
  ~PlayerConstants();
  PlayerConstants(const PlayerConstants&) = delete;
  PlayerConstants& operator=(const PlayerConstants&) = delete;

  // False when the player has no constant of that name.
  bool Find(const std::string& name, Constant* value);

 private:
  struct State;
  State* state_;
};

}  // namespace vocabulary
