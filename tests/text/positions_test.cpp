// The string commands that take or give character positions, on long
// mixed texts (ASCII runs around the eight-byte steps, two-, three- and
// four-byte characters, stray continuation bytes, cut sequences, five- and
// six-byte forms, zero bytes) and one short text, against a plain walk of
// each text's characters written here. The calls go to several texts in
// turn, at increasing, decreasing, repeated and past-the-end positions,
// so a place remembered for one text or for another position would show.
// Both encodings: UTF-8 (characters) and Latin-1 (bytes).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "tests/support/harness.h"
#include "tests/text/string_support.h"

namespace {

using testcall::V;

bool isCont(unsigned char b) { return (b & 0xC0) == 0x80; }

// One text as the commands see it under one encoding: where each character
// starts (and the end), each character's code, and the characters as the
// pattern commands count the positions they give (a lead byte and up to
// three continuation bytes).
struct Walk {
  std::string s;
  std::vector<size_t> starts;  // count + 1 entries, the last the length
  std::vector<uint32_t> codes;
  std::vector<size_t> leadStarts;

  size_t Count() const { return codes.size(); }
  size_t At(size_t k) const { return starts[k < Count() ? k : Count()]; }
  // Characters (lead-byte count) that start before byte b.
  size_t LeadBefore(size_t b) const {
    size_t n = 0;
    while (n < leadStarts.size() && leadStarts[n] < b) n++;
    return n;
  }
};

Walk walkOf(const std::string& s, bool utf8) {
  Walk w{s, {}, {}, {}};
  const unsigned char* b = reinterpret_cast<const unsigned char*>(s.data());
  size_t len = s.size();
  for (size_t i = 0; i < len;) {
    w.starts.push_back(i);
    w.leadStarts.push_back(i);
    if (!utf8) {
      w.codes.push_back(b[i++]);
      continue;
    }
    // A lead byte announces 1 to 5 continuation bytes; a sequence cut by
    // the end or by another byte is the lead byte alone.
    unsigned char c = b[i];
    size_t need = c < 0xC0   ? 0
                  : c < 0xE0 ? 1
                  : c < 0xF0 ? 2
                  : c < 0xF8 ? 3
                  : c < 0xFC ? 4
                  : c < 0xFE ? 5
                             : 0;
    bool whole = need > 0 && len - i > need;
    uint32_t v = c & (0x3Fu >> need);
    for (size_t k = 1; whole && k <= need; k++) {
      whole = isCont(b[i + k]);
      v = (v << 6) | (b[i + k] & 0x3F);
    }
    w.codes.push_back(whole ? v : c);
    i += whole ? need + 1 : 1;
  }
  w.starts.push_back(len);
  if (utf8) {
    w.leadStarts.clear();
    for (size_t i = 0; i < len;) {
      w.leadStarts.push_back(i);
      i++;
      for (int k = 0; k < 3 && i < len && isCont(b[i]); k++) i++;
    }
  }
  return w;
}

// Index of the first character at or after k whose codes begin with
// needle's, or -1.
long findFrom(const Walk& w, const Walk& needle, size_t k) {
  for (; k + needle.Count() <= w.Count(); k++) {
    bool hit = true;
    for (size_t j = 0; hit && j < needle.Count(); j++) hit = w.codes[k + j] == needle.codes[j];
    if (hit) return static_cast<long>(k);
  }
  return -1;
}

// The pieces the texts are made of; the eight-byte ASCII runs meet bytes
// of every kind at their ends.
const char* const PIECES[] = {
    "a",
    "ab",
    "hello ",
    "0123456",
    "01234567",
    "012345678",
    "abcdefghijklmnop",
    "\xC3\xA4",
    "\xE2\x82\xAC",
    "\xF0\x9D\x84\x9E",
    "\x80",
    "\x80\x80\x80\x80\x80",
    "\xE2\x82",
    "\xC3",
    "\xF8\x88\x80\x80\x80",
    "\xFC\x84\x80\x80\x80\x80",
    "\xFE",
    "\xFF",
    "abcdefgh\x80\x80",
    "\xE2\x82\xAC\x61\x62",  // the euro sign and "ab"
};

std::string makeText(uint32_t seed, size_t bytes, bool asciiOnly) {
  std::string s;
  while (s.size() < bytes) {
    seed = seed * 1103515245u + 12345u;
    size_t n = sizeof PIECES / sizeof PIECES[0];
    const char* piece = PIECES[(seed >> 16) % n];
    if (asciiOnly && static_cast<unsigned char>(piece[0]) >= 0x80) continue;
    s += piece;
    if ((seed >> 8) % 29 == 0) s.push_back('\0');
  }
  return s;
}

// Positions of one pass over a text: forwards in uneven steps, repeated,
// backwards, past the end.
std::vector<size_t> positionsFor(size_t count) {
  std::vector<size_t> p;
  for (size_t k = 0; k < count; k += 1 + k % 97) p.push_back(k);
  p.push_back(count / 2);
  p.push_back(count / 2);
  for (size_t k = count; k > 0; k -= k > 211 ? 211 : k) p.push_back(k - 1);
  p.push_back(count);
  p.push_back(count + 1);
  p.push_back(count + 40);
  return p;
}

class PositionsTest : public ::testing::Test {
 protected:
  // Runs the command and compares with the expected results, or the error
  // when error is set; pos names the call in a failure.
  void Expect(const char* what, size_t pos, const char* command, const std::vector<V>& args,
              const std::vector<V>& expected, ErrorCode error = 0) {
    std::vector<V> results;
    ErrorCode got = testcall::Run(h.L, command, args, &results);
    if (got != error || (error == 0 && !(results == expected))) {
      ADD_FAILURE() << what << ": " << command << " at " << pos << " (encoding "
                    << testcall::Show({args.back()}) << ") gave error " << got << " "
                    << testcall::Show(results).substr(0, 200) << ", expected error " << error << " "
                    << testcall::Show(expected).substr(0, 200);
      failures++;
    }
  }

  // Every position command on text w at position pos (a byte offset for
  // CharOffset), under encoding enc.
  void CheckAt(const char* what, const Walk& w, size_t pos, int enc) {
    const std::string& s = w.s;
    size_t count = w.Count();
    double p = static_cast<double>(pos);
    size_t at = w.At(pos);
    size_t last = pos < count ? pos : count;
    Expect(what, pos, "StrLen", {s, enc}, {V(static_cast<double>(count))});
    Expect(what, pos, "LeftStr", {s, p, enc}, {V(pos < 1 ? "" : s.substr(0, at))});
    Expect(what, pos, "RightStr", {s, p, enc}, {V(pos < 1 ? "" : s.substr(w.At(count - last)))});
    Expect(what, pos, "MidStr", {s, p, 5, enc},
           {V(pos >= count ? "" : s.substr(at, w.At(pos + 5) - at))});
    Expect(what, pos, "UnleftStr", {s, p, enc},
           {V(pos >= count ? "" : s.substr(0, w.At(count - pos)))});
    Expect(what, pos, "UnrightStr", {s, p, enc}, {V(s.substr(at))});
    Expect(what, pos, "UnmidStr", {s, p, 3, enc}, {V(s.substr(0, at) + s.substr(w.At(pos + 3)))});
    Expect(what, pos, "InsertStr", {s, "|", p, enc}, {V(s.substr(0, at) + "|" + s.substr(at))});
    if (pos < count) {
      Expect(what, pos, "Asc", {s, p, enc}, {V(static_cast<double>(w.codes[pos]))});
      Expect(what, pos, "ByteOffset", {s, p, enc}, {V(static_cast<double>(at))});
      Expect(what, pos, "CharWidth", {s, p, enc}, {V(static_cast<double>(w.At(pos + 1) - at))});
    } else {
      Expect(what, pos, "Asc", {s, p, enc}, {}, ERR_WRONGUSAGE);
      Expect(what, pos, "ByteOffset", {s, p, enc}, {}, ERR_WRONGUSAGE);
      Expect(what, pos, "CharWidth", {s, p, enc}, {}, ERR_WRONGUSAGE);
    }
    if (pos < s.size()) {
      size_t k = 0;
      while (w.starts[k + 1] <= pos) k++;
      Expect(what, pos, "CharOffset", {s, p, enc}, {V(static_cast<double>(k))});
    } else {
      Expect(what, pos, "CharOffset", {s, p, enc}, {}, ERR_WRONGUSAGE);
    }
    for (const char* text : {"ab", "\x80", "\xE2\x82\xAC"}) {
      Walk needle = walkOf(text, enc == 1);
      long first = pos < count ? findFrom(w, needle, pos) : -1;
      Expect(what, pos, "FindStr", {s, text, 1, p, enc}, {V(static_cast<double>(first))});
      double found = 0;
      std::string replaced = s.substr(0, at);
      size_t from = last;
      for (long k = first; k >= 0; k = findFrom(w, needle, from)) {
        found++;
        replaced += s.substr(w.At(from), w.At(k) - w.At(from)) + "<>";
        // The match's bytes are whole characters in these texts.
        from = static_cast<size_t>(k) + needle.Count();
      }
      replaced += s.substr(w.At(from));
      Expect(what, pos, "CountStr", {s, text, 1, p, enc}, {V(found)});
      Expect(what, pos, "ReplaceStr", {s, text, "<>", 1, p, enc}, {V(replaced)});
      if (std::string(text) == "\x80") continue;  // a pattern item of code 0x80 matches U+0080
      std::string pattern = std::string("()") + text;
      if (pos > count) {
        Expect(what, pos, "PatternFindStrDirect", {s, pattern, p, enc}, {}, ERR_WRONGUSAGE);
        continue;
      }
      long k = findFrom(w, needle, pos);
      if (k < 0) {
        Expect(what, pos, "PatternFindStrDirect", {s, pattern, p, enc}, {V(-1)});
        continue;
      }
      double start = static_cast<double>(w.LeadBefore(w.At(k)));
      double end = static_cast<double>(w.LeadBefore(w.At(k + needle.Count()))) - 1;
      Expect(what, pos, "PatternFindStrDirect", {s, pattern, p, enc},
             {V(start), V(end), V(start + 1)});
    }
  }

  PlayerHarness h;
  int failures = 0;
};

TEST_F(PositionsTest, LongTextsAgreeWithAPlainWalkInEveryOrder) {
  struct Text {
    const char* name;
    uint32_t seed;
    size_t bytes;
    bool asciiOnly;
  };
  const Text texts[] = {
      {"mixed_3k", 1, 3000, false}, {"mixed_7k", 2, 7000, false}, {"mixed_13k", 3, 13000, false},
      {"ascii_5k", 4, 5000, true},  {"mixed_4k", 5, 4100, false}, {"short_mixed", 6, 300, false},
  };
  for (int enc : {1, 0}) {
    std::vector<Walk> walks;
    std::vector<std::vector<size_t>> positions;
    for (const Text& t : texts) {
      walks.push_back(walkOf(makeText(t.seed, t.bytes, t.asciiOnly), enc == 1));
      positions.push_back(positionsFor(walks.back().Count()));
    }
    // One text at a time, then all texts in turn (more than the commands
    // remember), so every call goes to another text than the one before.
    for (size_t t = 0; t < walks.size(); t++)
      for (size_t pos : positions[t]) CheckAt(texts[t].name, walks[t], pos, enc);
    for (size_t i = 0;; i++) {
      bool any = false;
      for (size_t t = 0; t < walks.size(); t++) {
        if (i >= positions[t].size()) continue;
        any = true;
        CheckAt(texts[t].name, walks[t], positions[t][i], enc);
      }
      if (!any) break;
    }
    ASSERT_EQ(failures, 0) << "encoding " << enc;
  }
}

}  // namespace
