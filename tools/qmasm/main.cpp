// The qmasm program: reads assembler text and writes a chunk, an applet, or
// a copy of a program file with the applet appended.
//
//   qmasm [-f chunk|qma|qmz] [-o OUT] [--append PROGRAM]
//         [--plugin NAME=FILE]... [--compress-plugins] INPUT
//
// A constant written #NAME takes the value the player gives it: the player's
// libraries are opened here, once, when the first such name is met.
//
// Invariant: the output file is written only when everything succeeded.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "tools/qmasm/qmasm.h"
#include "tools/reference/vocabulary.h"

namespace {

bool readFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: qmasm [-f chunk|qma|qmz] [-o OUT] [--append PROGRAM] "
               "[--plugin NAME=FILE]... [--compress-plugins] INPUT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string format = "chunk", output, input, program;
  std::vector<qmasm::PackedPlugin> plugins;
  bool compressPlugins = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto next = [&](std::string* v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    if (a == "-f") {
      if (!next(&format)) return usage();
    } else if (a == "-o") {
      if (!next(&output)) return usage();
    } else if (a == "--append") {
      if (!next(&program)) return usage();
    } else if (a == "--compress-plugins") {
      compressPlugins = true;
    } else if (a == "--plugin") {
      std::string spec;
      if (!next(&spec) || spec.find('=') == std::string::npos) return usage();
      qmasm::PackedPlugin p;
      p.name = spec.substr(0, spec.find('='));
      std::string data;
      if (!readFile(spec.substr(spec.find('=') + 1), &data)) {
        std::fprintf(stderr, "qmasm: cannot read %s\n", spec.c_str());
        return 1;
      }
      p.data.assign(data.begin(), data.end());
      plugins.push_back(p);
    } else if (!a.empty() && a[0] == '-') {
      return usage();
    } else if (input.empty()) {
      input = a;
    } else {
      return usage();
    }
  }
  if (input.empty() || (format != "chunk" && format != "qma" && format != "qmz")) return usage();
  if (!program.empty() && format == "chunk") format = "qma";
  if (!plugins.empty() && program.empty()) return usage();

  std::string text;
  if (!readFile(input, &text)) {
    std::fprintf(stderr, "qmasm: cannot read %s\n", input.c_str());
    return 1;
  }
  std::unique_ptr<vocabulary::PlayerConstants> player;
  auto lookup = [&player](const std::string& name, qmasm::NamedValue* value) {
    if (!player) player = std::make_unique<vocabulary::PlayerConstants>();
    vocabulary::Constant found;
    if (!player->Find(name, &found)) return false;
    value->isText = found.isText;
    value->number = found.number;
    value->text = found.text;
    return true;
  };
  qmasm::Program prog;
  std::string error;
  if (!qmasm::Parse(text, &prog, &error, lookup)) {
    std::fprintf(stderr, "%s:%s\n", input.c_str(), error.c_str());
    return 1;
  }
  qmasm::Bytes out = qmasm::WriteChunk(prog);
  if (format != "chunk") {
    out = qmasm::WriteApplet(prog, out);
    if (format == "qmz") {
      qmasm::Bytes z;
      if (!qmasm::CompressApplet(out, &z, &error)) {
        std::fprintf(stderr, "qmasm: %s\n", error.c_str());
        return 1;
      }
      out = z;
    }
  }
  if (!program.empty()) {
    std::string exe;
    if (!readFile(program, &exe)) {
      std::fprintf(stderr, "qmasm: cannot read %s\n", program.c_str());
      return 1;
    }
    qmasm::Bytes joined;
    if (!qmasm::AppendApplet(qmasm::Bytes(exe.begin(), exe.end()), plugins, compressPlugins, out,
                             &joined, &error)) {
      std::fprintf(stderr, "qmasm: %s\n", error.c_str());
      return 1;
    }
    out = joined;
  }
  if (output.empty()) {
    size_t dot = input.rfind('.');
    size_t slash = input.rfind('/');
    std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                           ? input.substr(0, dot)
                           : input;
    output = stem + (!program.empty() ? "" : format == "chunk" ? ".qmb" : ".qma");
    if (output == input || output == program) {
      std::fprintf(stderr, "qmasm: give an output name with -o\n");
      return 1;
    }
  }
  std::string tmp = output + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!f) {
      std::fprintf(stderr, "qmasm: cannot write %s\n", output.c_str());
      std::remove(tmp.c_str());
      return 1;
    }
  }
  if (std::rename(tmp.c_str(), output.c_str()) != 0) {
    std::fprintf(stderr, "qmasm: cannot write %s\n", output.c_str());
    std::remove(tmp.c_str());
    return 1;
  }
  return 0;
}
