// The command reference under docs/: one file per library, written by hand
// around a skeleton that comes from the player's own tables. In a library's
// file every registered command has a "### Name" section and every
// registered constant a row of the constants table, whose value column the
// tables fill; everything else (the library's introduction, the text of each
// command's section, the meaning of each constant) is kept as written, keyed
// by the command's or constant's name. The index docs/reference.md holds a
// generated table of the libraries between two marker lines.
//
// Invariant: rendering is a pure function of the vocabulary and the existing
// text, and rendering its own output again gives the same text, so a file is
// up to date exactly when rendering leaves it unchanged.
#pragma once

#include <string>
#include <vector>

#include "tools/reference/vocabulary.h"

namespace reference {

// What rendering found: each entry one line for the person who runs the
// check ("missing command Foo", "removed constant BAR", ...).
struct Report {
  std::vector<std::string> changes;
  std::vector<std::string> undescribed;  // commands whose section has no text yet
};

// The text placed in the section of a command that has none yet.
constexpr char UNDESCRIBED[] = "*Not described yet.*";

// The library's file: the existing text (empty for a new file) brought in
// line with the vocabulary.
std::string RenderLibrary(const vocabulary::Library& library, const std::string& existing,
                          Report* report);

// The index: the existing text with its table of libraries regenerated.
std::string RenderIndex(const std::vector<vocabulary::Library>& libraries,
                        const std::string& existing, Report* report);

// The file of a library, relative to the docs folder.
std::string LibraryFile(const std::string& library);
constexpr char INDEX_FILE[] = "reference.md";

// How a constant's value is written in the table.
std::string FormatValue(const vocabulary::Constant& constant);

}  // namespace reference
