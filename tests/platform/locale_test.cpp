// Language and country from LANG, and catalogs: the directory search, the
// IFF and text forms, conversion to the text mode, and the replacement of
// built-in texts. Catalog files are made here: an IFF writer and plain text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "platform/linux/locale_private.h"
#include "runtime/runtime.h"

namespace {

// ---- IFF catalog writer ----

void putBE32(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v >> 24));
  out.push_back(static_cast<char>(v >> 16));
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

void putChunk(std::string& out, const char* id, const std::string& body) {
  out += id;
  putBE32(out, static_cast<uint32_t>(body.size()));
  out += body;
  if (body.size() % 2) out.push_back('\0');
}

struct IffString {
  uint32_t number;
  std::string text;  // Latin-1
};

// One STRS entry: the length counts the zero byte, padding to 4.
void putEntry(std::string& out, uint32_t number, const std::string& text) {
  putBE32(out, number);
  putBE32(out, static_cast<uint32_t>(text.size() + 1));
  out += text;
  out.push_back('\0');
  while (out.size() % 4) out.push_back('\0');
}

std::string strsBody(const std::vector<IffString>& strings) {
  std::string body;
  for (const IffString& s : strings) putEntry(body, s.number, s.text);
  return body;
}

// FORM CTLG with FVER, LANG and the given STRS body (raw, so tests can
// write malformed entries). strsLength overrides the chunk's length word.
std::string makeIff(const std::string& strs, std::optional<uint32_t> strsLength = std::nullopt,
                    const char* formType = "CTLG") {
  std::string inner = formType;
  putChunk(inner, "FVER", std::string("$VER: test.catalog 1.0 (1.1.2026)") + '\0');
  putChunk(inner, "LANG", std::string("deutsch") + '\0');
  putChunk(inner, "CSET", std::string(32, '\0'));
  inner += "STRS";
  putBE32(inner, strsLength ? *strsLength : static_cast<uint32_t>(strs.size()));
  inner += strs;
  std::string file = "FORM";
  putBE32(file, static_cast<uint32_t>(inner.size()));
  return file + inner;
}

// ---- Fixture: a scratch directory as the current directory ----

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/qm-catalog-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    ASSERT_NE(getcwd(oldCwd_, sizeof oldCwd_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    const char* lang = std::getenv("LANG");
    if (lang) oldLang_ = lang;
    oldMode_ = unicodeUtf8Mode;
    unicodeUtf8Mode = 1;
  }
  void TearDown() override {
    InstallTextCatalog(nullptr);
    unicodeUtf8Mode = oldMode_;
    if (oldLang_)
      setenv("LANG", oldLang_->c_str(), 1);
    else
      unsetenv("LANG");
    EXPECT_EQ(chdir(oldCwd_), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  static void setLang(const char* lang) {
    if (lang)
      setenv("LANG", lang, 1);
    else
      unsetenv("LANG");
  }
  // Writes directory/language/name relative to the scratch directory.
  void writeCatalog(const std::string& directory, const std::string& language,
                    const std::string& name, const std::string& bytes) {
    mkdir(directory.c_str(), 0755);
    std::string sub = directory + "/" + language;
    mkdir(sub.c_str(), 0755);
    std::ofstream(sub + "/" + name, std::ios::binary) << bytes;
  }

  std::string dir_;
  char oldCwd_[4096];
  std::optional<std::string> oldLang_;
  int32_t oldMode_ = 0;
};

// ---- Language and country ----

TEST(LocaleTest, LanguageAndCountryFromLang) {
  struct Case {
    const char* name;
    const char* lang;  // null: unset
    int32_t language;
    int32_t country;
  };
  const Case cases[] = {
      {"unset", nullptr, LANGUAGE_UNKNOWN, COUNTRY_UNKNOWN},
      {"C locale", "C", LANGUAGE_UNKNOWN, COUNTRY_UNKNOWN},
      {"German in Germany", "de_DE.UTF-8", 1, 9},
      {"English in the US", "en_US.UTF-8", LANGUAGE_ENGLISH, 1},
      {"language only", "fr", 4, COUNTRY_UNKNOWN},
      {"Brazilian Portuguese", "pt_BR", 6, 5},
      {"unknown language, UK", "xx_UK", LANGUAGE_UNKNOWN, 0},
      {"codes are case-sensitive", "DE_de", LANGUAGE_UNKNOWN, COUNTRY_UNKNOWN},
      {"one letter after the underscore", "de_D", 1, COUNTRY_UNKNOWN},
  };
  const char* saved = std::getenv("LANG");
  std::string keep = saved ? saved : "";
  for (const Case& c : cases) {
    if (c.lang)
      setenv("LANG", c.lang, 1);
    else
      unsetenv("LANG");
    EXPECT_EQ(GetSystemLanguageId(), c.language) << c.name;
    EXPECT_EQ(GetSystemCountryId(), c.country) << c.name;
  }
  if (saved)
    setenv("LANG", keep.c_str(), 1);
  else
    unsetenv("LANG");
}

TEST(LocaleTest, TableLookups) {
  EXPECT_EQ(CountryIdFromCode("GB"), 0);
  EXPECT_EQ(CountryIdFromCode("UK"), 0);
  EXPECT_EQ(CountryIdFromCode("GBR"), 0);
  EXPECT_EQ(CountryIdFromCode("G"), COUNTRY_UNKNOWN);
  EXPECT_EQ(CountryIdFromCode("ZMB"), 232);
  const char* two = nullptr;
  const char* three = nullptr;
  ASSERT_EQ(CountryCodeStrings(0, &two, &three), 1);
  EXPECT_STREQ(two, "GB");
  EXPECT_STREQ(three, "GBR");
  EXPECT_EQ(CountryCodeStrings(COUNTRY_UNKNOWN, &two, &three), 0);

  EXPECT_EQ(LanguageIdFromCode("zu"), 183);
  EXPECT_EQ(LanguageIdFromCode("xx"), LANGUAGE_UNKNOWN);
  const char* code = nullptr;
  const char* english = nullptr;
  ASSERT_EQ(LanguageCodeStrings(14, &code, &english), 1);
  EXPECT_STREQ(code, "cs");
  EXPECT_STREQ(english, "czech");
  EXPECT_EQ(LanguageCodeStrings(LANGUAGE_UNKNOWN, &code, &english), 0);
  EXPECT_STREQ(LanguageNativeName(14),
               "\xc4\x8d"
               "e\xc5\xa1tina");
  EXPECT_EQ(LanguageNativeName(17), nullptr);  // russian has no native name
  EXPECT_STREQ(LanguageEnglishName(17), "russian");
  EXPECT_EQ(LanguageEnglishName(LANGUAGE_UNKNOWN), nullptr);
}

// ---- Finding a catalog ----

TEST_F(CatalogTest, SearchOrderAndLanguagesWithoutCatalogs) {
  const std::string name = "app.catalog";
  writeCatalog("Catalogs", "german", name, "from german\n");
  writeCatalog("Catalogs", "deutsch", name, "from deutsch\n");
  writeCatalog("Catalogs", "english", name, "from english\n");

  setLang("de_DE.UTF-8");
  Catalog* cat = OpenLocaleCatalog(name.c_str());
  ASSERT_NE(cat, nullptr);
  EXPECT_STREQ(GetLocaleString(cat, 0, "default"), "from german");
  CloseLocaleCatalog(cat);

  ASSERT_EQ(std::remove("Catalogs/german/app.catalog"), 0);
  cat = OpenLocaleCatalog(name.c_str());
  ASSERT_NE(cat, nullptr);
  EXPECT_STREQ(GetLocaleString(cat, 0, "default"), "from deutsch");
  CloseLocaleCatalog(cat);

  // The lower-case directory is found too, after both upper-case ones.
  ASSERT_EQ(std::remove("Catalogs/deutsch/app.catalog"), 0);
  writeCatalog("catalogs", "german", name, "from lower case\n");
  cat = OpenLocaleCatalog(name.c_str());
  ASSERT_NE(cat, nullptr);
  EXPECT_STREQ(GetLocaleString(cat, 0, "default"), "from lower case");
  CloseLocaleCatalog(cat);

  // English, an unset LANG and the C locale use no catalog, even one that
  // exists for English.
  for (const char* lang : {"en_US.UTF-8", "en_GB", static_cast<const char*>(nullptr), "C"}) {
    setLang(lang);
    EXPECT_EQ(OpenLocaleCatalog(name.c_str()), nullptr) << (lang ? lang : "unset");
  }
  setLang("fr_FR");
  EXPECT_EQ(OpenLocaleCatalog(name.c_str()), nullptr);  // no French catalog
  EXPECT_STREQ(GetLocaleString(nullptr, 3, "default"), "default");
}

// ---- IFF catalogs ----

TEST_F(CatalogTest, IffCatalogStringsInBothTextModes) {
  setLang("de_DE");
  std::string strs = strsBody({{0, "Hallo"},
                               {7,
                                "Gr\xfc\xdf"
                                "e"},
                               {12, "abc"}});
  // An entry whose length is a multiple of 4 and has no zero byte: the
  // string ends with its length.
  putBE32(strs, 20);
  putBE32(strs, 4);
  strs += "wxyz";
  writeCatalog("Catalogs", "german", "a.catalog", makeIff(strs));

  Catalog* cat = OpenLocaleCatalog("a.catalog");
  ASSERT_NE(cat, nullptr);
  unicodeUtf8Mode = 1;
  const char* first = GetLocaleString(cat, 7, "def");
  EXPECT_STREQ(first,
               "Gr\xc3\xbc\xc3\x9f"
               "e");
  EXPECT_EQ(GetLocaleString(cat, 7, "def"), first);  // the cached copy again
  EXPECT_STREQ(GetLocaleString(cat, 0, "def"), "Hallo");
  EXPECT_STREQ(GetLocaleString(cat, 20, "def"), "wxyz");
  EXPECT_STREQ(GetLocaleString(cat, 5, "def"), "def");   // missing number
  EXPECT_STREQ(GetLocaleString(cat, -1, "def"), "def");  // never the end word
  unicodeUtf8Mode = 0;
  EXPECT_STREQ(GetLocaleString(cat, 12, "def"), "abc");
  EXPECT_STREQ(GetLocaleString(cat, 20, "def"), "wxyz");
  CloseLocaleCatalog(cat);

  // Not a catalog form: no catalog at all.
  writeCatalog("Catalogs", "german", "b.catalog", makeIff(strs, std::nullopt, "CTLX"));
  EXPECT_EQ(OpenLocaleCatalog("b.catalog"), nullptr);

  // Shorter than an IFF catalog can be: read as text, line by line.
  writeCatalog("Catalogs", "german", "c.catalog", "FORM\nshort\n");
  cat = OpenLocaleCatalog("c.catalog");
  ASSERT_NE(cat, nullptr);
  EXPECT_STREQ(GetLocaleString(cat, 1, "def"), "short");
  CloseLocaleCatalog(cat);
}

TEST_F(CatalogTest, MalformedStringEntriesReadNothingOutside) {
  setLang("de_DE");
  struct Case {
    const char* name;
    std::string file;
    int32_t number;
    const char* expected;
  };
  std::string good = strsBody({{1, "one"}});
  std::string huge = good;
  putBE32(huge, 2);
  putBE32(huge, 0xFFFFFFF0u);  // length far past the file
  huge += "xx";
  std::string unterminated = good;
  putBE32(unterminated, 3);
  putBE32(unterminated, 6);
  unterminated += "abcdef";  // the file ends inside the padding
  std::string truncatedHeader = good;
  truncatedHeader += std::string("\0\0\0\4\0\0", 6);  // half an entry header
  // A form whose only string chunk header is its last 8 bytes.
  std::string atEnd = makeIff(good).substr(0, makeIff(good).find("STRS"));
  atEnd += "STRS";
  putBE32(atEnd, 100);
  const Case cases[] = {
      {"length past the file", makeIff(huge), 2, "def"},
      {"entries after a bad length are unreachable", makeIff(huge + strsBody({{4, "x"}})), 4,
       "def"},
      {"entry before a bad one", makeIff(huge), 1, "one"},
      {"chunk length past the file", makeIff(good, 0x7FFFFFF0u), 9, "def"},
      {"chunk shorter than its entries", makeIff(good + strsBody({{5, "five"}}), 12), 5, "def"},
      {"string runs into the file end", makeIff(unterminated), 3, "abcdef"},
      {"half an entry header at the end", makeIff(truncatedHeader), 4, "def"},
      {"string chunk header at the very end", atEnd, 8, "def"},
  };
  for (int mode = 0; mode < 2; mode++) {
    unicodeUtf8Mode = mode;
    for (const Case& c : cases) {
      writeCatalog("Catalogs", "german", "m.catalog", c.file);
      Catalog* cat = OpenLocaleCatalog("m.catalog");
      ASSERT_NE(cat, nullptr) << c.name;
      EXPECT_STREQ(GetLocaleString(cat, c.number, "def"), c.expected) << c.name << " mode " << mode;
      CloseLocaleCatalog(cat);
    }
  }
  // A chunk id without its length word: no string chunk, no catalog.
  writeCatalog("Catalogs", "german", "m.catalog", atEnd.substr(0, atEnd.size() - 4));
  EXPECT_EQ(OpenLocaleCatalog("m.catalog"), nullptr);
}

// ---- Text catalogs ----

TEST_F(CatalogTest, TextCatalogLines) {
  setLang("de_DE");
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::string> strings;  // empty: no catalog
  };
  const Case cases[] = {
      {"plain lines", "one\ntwo\n", {"one", "two"}},
      {"last line without a line end", "one\nlast", {"one", "last"}},
      {"single line without a line end", "x", {"x"}},
      {"blank lines keep numbers", "one\n\n \t\r\ntwo\r\n", {"one", "two"}},
      {"escaped line feed", "two\\nwords\n", {"two\nwords"}},
      {"escapes", "q\\\"\\'\\;\\t\\r\\x\\\n", {"q\"';\t\r\\x"}},
      {"backslash at the end of the file", "a\\", {"a\\"}},
      {"joined lines", "join\\\r\nme\nnext\n", {"joinme", "next"}},
      {"comment continues the string", "abc ;note\ndef\nghi ; x", {"abc def", "ghi "}},
      {"comment lines", "; header\none\n;; more\ntwo\n", {"one", "two"}},
      {"carriage returns dropped", "a\rb\r\n", {"ab"}},
      {"empty file", "", {}},
      {"only blank lines", "\n  \n\t\r\n", {}},
  };
  for (const Case& c : cases) {
    writeCatalog("Catalogs", "german", "t.catalog", c.file);
    Catalog* cat = OpenLocaleCatalog("t.catalog");
    if (c.strings.empty()) {
      EXPECT_EQ(cat, nullptr) << c.name;
      CloseLocaleCatalog(cat);
      continue;
    }
    ASSERT_NE(cat, nullptr) << c.name;
    for (size_t i = 0; i < c.strings.size(); i++)
      EXPECT_EQ(std::string(GetLocaleString(cat, static_cast<int32_t>(i), "def")), c.strings[i])
          << c.name << " #" << i;
    EXPECT_STREQ(GetLocaleString(cat, static_cast<int32_t>(c.strings.size()), "def"), "def")
        << c.name;
    CloseLocaleCatalog(cat);
  }
}

TEST_F(CatalogTest, TextCatalogIn8BitModeIsConvertedOnce) {
  setLang("de_DE");
  writeCatalog("Catalogs", "german", "u.catalog",
               "Gr\xc3\xbc\xc3\x9f"
               "e\n");
  Catalog* cat = OpenLocaleCatalog("u.catalog");
  ASSERT_NE(cat, nullptr);
  unicodeUtf8Mode = 0;
  const char* text = GetLocaleString(cat, 0, "def");
  EXPECT_STREQ(text,
               "Gr\xfc\xdf"
               "e");
  EXPECT_EQ(GetLocaleString(cat, 0, "def"), text);
  CloseLocaleCatalog(cat);
}

// ---- Built-in texts ----

TEST_F(CatalogTest, PlayerCatalogReplacesBuiltinTexts) {
  setLang("de_DE.UTF-8");
  const int32_t done = 95;         // "done"
  const int32_t loadingAnim = 98;  // "Loading animation %s"
  const int32_t openFont = 116;    // "Cannot open font %s with size %d!"
  const std::string builtinDone = GetBuiltinString(done);
  const std::string builtinAnim = GetBuiltinString(loadingAnim);
  const std::string builtinFont = GetBuiltinString(openFont);

  struct Form {
    const char* name;
    std::string file;
  };
  std::vector<std::string> lines(openFont + 1, "-");
  lines[done] = "fertig";
  lines[loadingAnim] = "Lade Animation %s";
  lines[openFont] = "Zeichensatz %d nicht offen: %s!";  // conversions swapped
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  const Form forms[] = {
      {"IFF", makeIff(strsBody({{done, "fertig"},
                                {loadingAnim, "Lade Animation %s"},
                                {openFont, "Zeichensatz %d nicht offen: %s!"}}))},
      {"text", text},
  };
  for (const Form& form : forms) {
    writeCatalog("Catalogs", "german", PLAYER_CATALOG_NAME, form.file);
    ASSERT_EQ(OpenPlayerCatalog(), 1) << form.name;
    EXPECT_STREQ(GetBuiltinString(done), "fertig") << form.name;
    EXPECT_STREQ(GetBuiltinString(loadingAnim), "Lade Animation %s") << form.name;
    EXPECT_EQ(GetBuiltinString(openFont), builtinFont) << form.name;  // refused
    ClosePlayerCatalog();
    EXPECT_EQ(GetBuiltinString(done), builtinDone) << form.name;
  }

  // English: no catalog, the built-in texts stay.
  setLang("en_GB.UTF-8");
  EXPECT_EQ(OpenPlayerCatalog(), 0);
  EXPECT_EQ(GetBuiltinString(loadingAnim), builtinAnim);
}

}  // namespace
