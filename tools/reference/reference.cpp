// Parsing a reference file into its hand-written pieces and writing it again
// around the vocabulary's names and values.
#include "tools/reference/reference.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>

namespace reference {

namespace {

constexpr char COMMANDS_HEADING[] = "## Commands";
constexpr char CONSTANTS_HEADING[] = "## Constants";
constexpr char TABLE_HEADER[] = "| constant | value | meaning |";
constexpr char TABLE_RULE[] = "|---|---|---|";
constexpr char NO_CONSTANTS[] = "The library registers no constants.";
constexpr char INDEX_BEGIN[] = "<!-- libraries: written by qmref from the player's tables -->";
constexpr char INDEX_END[] = "<!-- end of libraries -->";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

// Lines joined, without the blank lines at either end.
std::string block(const std::vector<std::string>& from, size_t begin, size_t end) {
  while (begin < end && trim(from[begin]).empty()) begin++;
  while (end > begin && trim(from[end - 1]).empty()) end--;
  std::string out;
  for (size_t i = begin; i < end; i++) out += from[i] + "\n";
  return out;
}

// A name written in a heading or a table cell, without its backticks.
std::string bareName(const std::string& s) {
  std::string t = trim(s);
  if (t.size() >= 2 && t.front() == '`' && t.back() == '`') t = t.substr(1, t.size() - 2);
  return t;
}

// The cells of a table row; "\|" stays inside its cell.
std::vector<std::string> cells(const std::string& row) {
  std::vector<std::string> out;
  std::string cell;
  std::string t = trim(row);
  for (size_t i = 1; i < t.size(); i++) {
    if (t[i] == '\\' && i + 1 < t.size() && t[i + 1] == '|') {
      cell += "\\|";
      i++;
    } else if (t[i] == '|') {
      out.push_back(trim(cell));
      cell.clear();
    } else {
      cell += t[i];
    }
  }
  if (!trim(cell).empty()) out.push_back(trim(cell));
  return out;
}

std::string escapeCell(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '|') out += '\\';
    out += c == '\n' ? ' ' : c;
  }
  return out;
}

bool lessNoCase(const std::string& a, const std::string& b) {
  std::string la = lower(a), lb = lower(b);
  return la != lb ? la < lb : a < b;
}

// The hand-written pieces of a library's file.
struct Parsed {
  std::string head;                             // up to the commands heading
  std::map<std::string, std::string> commands;  // lower-cased name -> section text
  std::map<std::string, std::string> spelled;   // lower-cased name -> name as written
  std::string constantsText;                    // before the table
  std::map<std::string, std::string> meanings;  // constant name -> meaning cell
  std::map<std::string, std::string> values;    // constant name -> value cell as written
  std::vector<std::string> constantOrder;       // as written
  std::string tail;                             // after the table
};

Parsed parse(const std::string& text) {
  Parsed p;
  std::vector<std::string> l = lines(text);
  size_t i = 0;
  size_t n = l.size();
  while (i < n && trim(l[i]) != COMMANDS_HEADING && trim(l[i]) != CONSTANTS_HEADING) i++;
  p.head = block(l, 0, i);
  if (i < n && trim(l[i]) == COMMANDS_HEADING) i++;
  while (i < n && !startsWith(l[i], "## ")) {
    if (!startsWith(l[i], "### ")) {
      i++;
      continue;
    }
    std::string name = bareName(l[i].substr(4));
    size_t from = ++i;
    while (i < n && !startsWith(l[i], "### ") && !startsWith(l[i], "## ")) i++;
    p.commands[lower(name)] = block(l, from, i);
    p.spelled[lower(name)] = name;
  }
  if (i < n && trim(l[i]) == CONSTANTS_HEADING) i++;
  size_t from = i;
  while (i < n && trim(l[i]) != TABLE_HEADER) i++;
  std::vector<std::string> prose;
  for (size_t k = from; k < i; k++)
    if (trim(l[k]) != NO_CONSTANTS) prose.push_back(l[k]);
  p.constantsText = block(prose, 0, prose.size());
  if (i < n) i++;  // the header
  if (i < n && startsWith(trim(l[i]), "|---")) i++;
  for (; i < n && startsWith(trim(l[i]), "|"); i++) {
    std::vector<std::string> c = cells(l[i]);
    if (c.empty()) continue;
    std::string name = bareName(c[0]);
    p.constantOrder.push_back(name);
    p.values[name] = c.size() > 1 ? c[1] : "";
    p.meanings[name] = c.size() > 2 ? c[2] : "";
  }
  p.tail = block(l, i, n);
  return p;
}

}  // namespace

std::string LibraryFile(const std::string& library) { return "reference/" + library + ".md"; }

std::string FormatValue(const vocabulary::Constant& constant) {
  if (constant.isText) return "`\"" + escapeCell(constant.text) + "\"`";
  char text[64];
  double v = constant.number;
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 9007199254740992.0) {
    long long whole = static_cast<long long>(v);
    if (whole >= 65536)
      std::snprintf(text, sizeof text, "%lld ($%llX)", whole,
                    static_cast<unsigned long long>(whole));
    else
      std::snprintf(text, sizeof text, "%lld", whole);
  } else {
    std::snprintf(text, sizeof text, "%.15g", v);
  }
  return text;
}

std::string RenderLibrary(const vocabulary::Library& library, const std::string& existing,
                          Report* report) {
  Parsed p = parse(existing);
  const std::string& lib = library.name;
  std::string out;
  if (p.head.empty()) {
    out += "# The " + lib + " library\n\n" + UNDESCRIBED + "\n";
    report->changes.push_back(lib + ": new file");
    report->undescribed.push_back(lib + ": the library's introduction");
  } else {
    out += p.head;
    if (p.head.find(UNDESCRIBED) != std::string::npos)
      report->undescribed.push_back(lib + ": the library's introduction");
  }

  out += "\n";
  out += COMMANDS_HEADING;
  out += "\n";
  std::vector<std::string> commands = library.commands;
  std::sort(commands.begin(), commands.end(), lessNoCase);
  if (commands.empty()) out += "\nThe library registers no commands.\n";
  for (const std::string& name : commands) {
    auto it = p.commands.find(lower(name));
    std::string body;
    if (it == p.commands.end()) {
      report->changes.push_back(lib + ": missing command " + name);
    } else {
      body = it->second;
      if (p.spelled[lower(name)] != name)
        report->changes.push_back(lib + ": command " + p.spelled[lower(name)] + " is spelled " +
                                  name);
      p.commands.erase(it);
    }
    if (body.empty() || body.find(UNDESCRIBED) != std::string::npos) {
      body = std::string(UNDESCRIBED) + "\n";
      report->undescribed.push_back(lib + ": " + name);
    }
    out += "\n### " + name + "\n\n" + body;
  }
  for (const auto& [key, body] : p.commands)
    report->changes.push_back(lib + ": " + p.spelled[key] + " is not a registered command");

  out += "\n";
  out += CONSTANTS_HEADING;
  out += "\n\n";
  if (!p.constantsText.empty()) out += p.constantsText + "\n";
  if (library.constants.empty()) {
    out += std::string(NO_CONSTANTS) + "\n";
  } else {
    out += std::string(TABLE_HEADER) + "\n" + TABLE_RULE + "\n";
    for (const vocabulary::Constant& c : library.constants) {
      std::string value = FormatValue(c);
      auto meaning = p.meanings.find(c.name);
      if (meaning == p.meanings.end()) {
        report->changes.push_back(lib + ": missing constant " + c.name);
      } else if (p.values[c.name] != value) {
        report->changes.push_back(lib + ": constant " + c.name + " has the value " + value +
                                  ", not " + p.values[c.name]);
      }
      // The player's own text where it has one, else the hand-written one.
      std::string text = !c.meaning.empty()            ? escapeCell(c.meaning)
                         : meaning != p.meanings.end() ? meaning->second
                                                       : "";
      out += "| `" + c.name + "` | " + value + " | " + text + " |\n";
    }
  }
  for (const std::string& name : p.constantOrder) {
    bool known = std::any_of(library.constants.begin(), library.constants.end(),
                             [&](const vocabulary::Constant& c) { return c.name == name; });
    if (!known) report->changes.push_back(lib + ": " + name + " is not a registered constant");
  }
  if (!p.tail.empty()) out += "\n" + p.tail;
  return out;
}

std::string RenderIndex(const std::vector<vocabulary::Library>& libraries,
                        const std::string& existing, Report* report) {
  std::string table =
      std::string(INDEX_BEGIN) + "\n" + "| library | commands | constants |\n|---|---|---|\n";
  size_t commands = 0, constants = 0;
  for (const vocabulary::Library& library : libraries) {
    table += "| [" + library.name + "](" + LibraryFile(library.name) + ") | " +
             std::to_string(library.commands.size()) + " | " +
             std::to_string(library.constants.size()) + " |\n";
    commands += library.commands.size();
    constants += library.constants.size();
  }
  table += "| all " + std::to_string(libraries.size()) + " | " + std::to_string(commands) + " | " +
           std::to_string(constants) + " |\n" + INDEX_END + "\n";
  size_t begin = existing.find(INDEX_BEGIN);
  size_t end = existing.find(INDEX_END);
  std::string out;
  if (begin == std::string::npos || end == std::string::npos || end < begin) {
    out = existing;
    if (!out.empty() && out.back() != '\n') out += "\n";
    out += (out.empty() ? "" : "\n") + table;
  } else {
    size_t after = existing.find('\n', end);
    after = after == std::string::npos ? existing.size() : after + 1;
    out = existing.substr(0, begin) + table + existing.substr(after);
  }
  if (out != existing) report->changes.push_back(std::string(INDEX_FILE) + ": table of libraries");
  return out;
}

}  // namespace reference
