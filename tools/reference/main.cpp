// qmref: keeps the command reference under docs/ in step with the player's
// own tables.
//
//   qmref check DOCS     exits 1 (saying why) when a registered command or
//                        constant is missing from the reference, when the
//                        reference names one that is not registered, when a
//                        constant's value differs or a command is not
//                        described yet
//   qmref update DOCS    writes the files again: new names get a section or
//                        row, names no longer registered leave, values are
//                        set; hand-written text stays with its name
//   qmref list           prints every library, command and constant
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/reference/reference.h"
#include "tools/reference/vocabulary.h"

namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

int usage() {
  std::fprintf(stderr, "usage: qmref check DOCS | qmref update DOCS | qmref list\n");
  return 2;
}

int list(const std::vector<vocabulary::Library>& libraries) {
  for (const vocabulary::Library& library : libraries) {
    std::printf("%s: %zu commands, %zu constants\n", library.name.c_str(), library.commands.size(),
                library.constants.size());
    for (const std::string& command : library.commands) std::printf("  %s\n", command.c_str());
    for (const vocabulary::Constant& c : library.constants)
      std::printf("  #%s = %s\n", c.name.c_str(), reference::FormatValue(c).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string mode = argv[1];
  if (mode == "list" ? argc != 2 : (mode != "check" && mode != "update") || argc != 3)
    return usage();

  std::vector<vocabulary::Library> libraries;
  std::string error;
  if (!vocabulary::CollectPlayerVocabulary(&libraries, &error)) {
    std::fprintf(stderr, "qmref: %s\n", error.c_str());
    return 1;
  }
  if (mode == "list") return list(libraries);

  const std::filesystem::path docs = argv[2];
  reference::Report report;
  std::vector<std::pair<std::filesystem::path, std::string>> files;
  for (const vocabulary::Library& library : libraries) {
    std::filesystem::path path = docs / reference::LibraryFile(library.name);
    files.emplace_back(path, reference::RenderLibrary(library, readFile(path), &report));
  }
  std::filesystem::path index = docs / reference::INDEX_FILE;
  files.emplace_back(index, reference::RenderIndex(libraries, readFile(index), &report));

  // Files of libraries the player does not have.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(docs / "reference", ec)) {
    bool known = false;
    for (const auto& file : files) known = known || file.first == entry.path();
    if (!known && entry.path().extension() == ".md")
      report.changes.push_back(entry.path().string() + " is not a library of the player");
  }

  if (mode == "update") {
    for (const auto& [path, text] : files) {
      if (readFile(path) == text) continue;
      if (!writeFile(path, text)) {
        std::fprintf(stderr, "qmref: cannot write %s\n", path.c_str());
        return 1;
      }
    }
    for (const std::string& change : report.changes) std::printf("%s\n", change.c_str());
    if (!report.undescribed.empty())
      std::printf("%zu sections are not described yet (marked \"%s\")\n", report.undescribed.size(),
                  reference::UNDESCRIBED);
    return 0;
  }

  bool stale = !report.changes.empty();
  for (const auto& [path, text] : files)
    if (readFile(path) != text) {
      if (!stale) report.changes.push_back(path.string() + " is not in the form qmref writes");
      stale = true;
    }
  for (const std::string& change : report.changes) std::fprintf(stderr, "%s\n", change.c_str());
  for (const std::string& item : report.undescribed)
    std::fprintf(stderr, "not described yet: %s\n", item.c_str());
  if (stale || !report.undescribed.empty()) {
    std::fprintf(stderr,
                 "qmref: the reference in %s is out of step with the player's tables; run "
                 "qmref update %s and describe what it marks \"%s\"\n",
                 docs.c_str(), docs.c_str(), reference::UNDESCRIBED);
    return 1;
  }
  return 0;
}
