// The user's language and country and the tables that translate between
// the script's LANGUAGE_ and COUNTRY_ ids and ISO codes and names.
//
// Invariant: the tables are searched front to back and the first matching
// row answers, so the order of the rows is part of the behaviour ("GB"
// before "UK" for country 0; the rows with native names first).
#include <cstdlib>
#include <cstring>

#include "platform/linux/platform.h"
#include "platform/linux/locale_private.h"

namespace {

struct LanguageRow {
  const char* code;        // ISO 639-1
  const char* nativeName;  // UTF-8, lower case; null when the row has none
  const char* englishName;
  int32_t id;
};

struct CountryRow {
  const char* code2;  // ISO 3166 two-letter
  const char* code3;  // three-letter
  int32_t id;
};

const LanguageRow languages[] = {
    {"da", "dansk", "danish", 8},
    {"de", "deutsch", "german", 1},
    {"en", "english", "english", 0},
    {"es", "espa\xc3\xb1ol", "spanish", 5},
    {"fr",
     "fran\xc3\xa7"
     "ais",
     "french", 4},
    {"el", "greek", "greek", 13},
    {"it", "italiano", "italian", 3},
    {"hu", "magyar", "hungarian", 12},
    {"nl", "nederlands", "dutch", 2},
    {"no", "norsk", "norwegian", 10},
    {"pl", "polski", "polish", 11},
    {"pt", "portugu\xc3\xaas", "portuguese", 6},
    {"fi", "suomi", "finnish", 9},
    {"sv", "svenska", "swedish", 7},
    {"tr",
     "t\xc3\xbcrk\xc3\xa7"
     "e",
     "turkish", 15},
    {"cs",
     "\xc4\x8d"
     "e\xc5\xa1tina",
     "czech", 14},
    {"hr", "hrvatski", "croatian", 16},
    {"ru", nullptr, "russian", 17},
    {"ab", nullptr, "abkhazian", 19},
    {"aa", nullptr, "afar", 20},
    {"af", nullptr, "afrikaans", 21},
    {"ak", nullptr, "akan", 22},
    {"sq", nullptr, "albanian", 23},
    {"am", nullptr, "amharic", 24},
    {"ar", nullptr, "arabic", 25},
    {"an", nullptr, "aragonese", 26},
    {"hy", nullptr, "armenian", 27},
    {"as", nullptr, "assamese", 28},
    {"av", nullptr, "avaric", 29},
    {"ae", nullptr, "avestan", 30},
    {"ay", nullptr, "aymara", 31},
    {"az", nullptr, "azerbaijani", 32},
    {"bm", nullptr, "bambara", 33},
    {"ba", nullptr, "bashkir", 34},
    {"eu", nullptr, "basque", 35},
    {"be", nullptr, "belarusian", 36},
    {"bn", nullptr, "bengali", 37},
    {"bh", nullptr, "bihari", 38},
    {"bi", nullptr, "bislama", 39},
    {"bs", nullptr, "bosnian", 40},
    {"br", nullptr, "breton", 41},
    {"bg", nullptr, "bulgarian", 42},
    {"my", nullptr, "burmese", 43},
    {"ca", nullptr, "catalan", 44},
    {"ch", nullptr, "chamorro", 45},
    {"ce", nullptr, "chechen", 46},
    {"ny", nullptr, "chichewa", 47},
    {"zh", nullptr, "chinese", 48},
    {"cv", nullptr, "chuvash", 49},
    {"kw", nullptr, "cornish", 50},
    {"co", nullptr, "corsican", 51},
    {"cr", nullptr, "cree", 52},
    {"dv", nullptr, "divehi", 53},
    {"dz", nullptr, "dzongkha", 54},
    {"eo", nullptr, "esperanto", 55},
    {"et", nullptr, "estonian", 56},
    {"ee", nullptr, "ewe", 57},
    {"fo", nullptr, "faroese", 58},
    {"fj", nullptr, "fijian", 59},
    {"ff", nullptr, "fulah", 60},
    {"gl", nullptr, "galician", 61},
    {"ka", nullptr, "georgian", 62},
    {"kl", nullptr, "greenlandic", 63},
    {"gn", nullptr, "guarani", 64},
    {"gu", nullptr, "gujarati", 65},
    {"ht", nullptr, "haitian", 66},
    {"ha", nullptr, "hausa", 67},
    {"he", nullptr, "hebrew", 68},
    {"hz", nullptr, "herero", 69},
    {"hi", nullptr, "hindi", 70},
    {"ho", nullptr, "hirimotu", 71},
    {"ia", nullptr, "interlingua", 72},
    {"id", nullptr, "indonesian", 73},
    {"ie", nullptr, "interlingue", 74},
    {"ga", nullptr, "irish", 75},
    {"ig", nullptr, "igbo", 76},
    {"ik", nullptr, "inupiaq", 77},
    {"io", nullptr, "ido", 78},
    {"is", nullptr, "icelandic", 79},
    {"iu", nullptr, "inuktitut", 80},
    {"ja", nullptr, "japanese", 81},
    {"jv", nullptr, "javanese", 82},
    {"kn", nullptr, "kannada", 83},
    {"kr", nullptr, "kanuri", 84},
    {"ks", nullptr, "kashmiri", 85},
    {"kk", nullptr, "kazakh", 86},
    {"km", nullptr, "centralkhmer", 87},
    {"ki", nullptr, "kikuyu", 88},
    {"rw", nullptr, "kinyarwanda", 89},
    {"ky", nullptr, "kirghiz", 90},
    {"kv", nullptr, "komi", 91},
    {"kg", nullptr, "kongo", 92},
    {"ko", nullptr, "korean", 93},
    {"ku", nullptr, "kurdish", 94},
    {"kj", nullptr, "kuanyama", 95},
    {"la", nullptr, "latin", 96},
    {"lb", nullptr, "luxembourgish", 97},
    {"lg", nullptr, "ganda", 98},
    {"li", nullptr, "limburgan", 99},
    {"ln", nullptr, "lingala", 100},
    {"lo", nullptr, "lao", 101},
    {"lt", nullptr, "lithuanian", 102},
    {"lu", nullptr, "lubakatanga", 103},
    {"lv", nullptr, "latvian", 104},
    {"gv", nullptr, "manx", 105},
    {"mk", nullptr, "macedonian", 106},
    {"mg", nullptr, "malagasy", 107},
    {"ms", nullptr, "malay", 108},
    {"ml", nullptr, "malayalam", 109},
    {"mt", nullptr, "maltese", 110},
    {"mi", nullptr, "maori", 111},
    {"mr", nullptr, "marathi", 112},
    {"mh", nullptr, "marshallese", 113},
    {"mn", nullptr, "mongolian", 114},
    {"na", nullptr, "nauru", 115},
    {"nv", nullptr, "navajo", 116},
    {"nd", nullptr, "northndebele", 117},
    {"ne", nullptr, "nepali", 118},
    {"ng", nullptr, "ndonga", 119},
    {"nb", nullptr, "norwegianbokmal", 120},
    {"nn", nullptr, "norwegiannynorsk", 121},
    {"ii", nullptr, "sichuanyi", 122},
    {"nr", nullptr, "southndebele", 123},
    {"oc", nullptr, "occitan", 124},
    {"oj", nullptr, "ojibwa", 125},
    {"cu", nullptr, "churchslavic", 126},
    {"om", nullptr, "oromo", 127},
    {"or", nullptr, "oriya", 128},
    {"os", nullptr, "ossetian", 129},
    {"pa", nullptr, "panjabi", 130},
    {"pi", nullptr, "pali", 131},
    {"fa", nullptr, "persian", 132},
    {"ps", nullptr, "pashto", 133},
    {"qu", nullptr, "quechua", 134},
    {"rm", nullptr, "romansh", 135},
    {"rn", nullptr, "rundi", 136},
    {"ro", nullptr, "romanian", 137},
    {"sa", nullptr, "sanskrit", 138},
    {"sc", nullptr, "sardinian", 139},
    {"sd", nullptr, "sindhi", 140},
    {"se", nullptr, "northernsami", 141},
    {"sm", nullptr, "samoan", 142},
    {"sg", nullptr, "sango", 143},
    {"sr", nullptr, "serbian", 144},
    {"gd", nullptr, "gaelic", 145},
    {"sn", nullptr, "shona", 146},
    {"si", nullptr, "sinhala", 147},
    {"sk", nullptr, "slovak", 148},
    {"sl", nullptr, "slovenian", 149},
    {"so", nullptr, "somali", 150},
    {"st", nullptr, "southernsotho", 151},
    {"su", nullptr, "sundanese", 152},
    {"sw", nullptr, "swahili", 153},
    {"ss", nullptr, "swati", 154},
    {"ta", nullptr, "tamil", 155},
    {"te", nullptr, "telugu", 156},
    {"tg", nullptr, "tajik", 157},
    {"th", nullptr, "thai", 158},
    {"ti", nullptr, "tigrinya", 159},
    {"bo", nullptr, "tibetan", 160},
    {"tk", nullptr, "turkmen", 161},
    {"tl", nullptr, "tagalog", 162},
    {"tn", nullptr, "tswana", 163},
    {"to", nullptr, "tonga", 164},
    {"ts", nullptr, "tsonga", 165},
    {"tt", nullptr, "tatar", 166},
    {"tw", nullptr, "twi", 167},
    {"ty", nullptr, "tahitian", 168},
    {"ug", nullptr, "uighur", 169},
    {"uk", nullptr, "ukrainian", 170},
    {"ur", nullptr, "urdu", 171},
    {"uz", nullptr, "uzbek", 172},
    {"ve", nullptr, "venda", 173},
    {"vi", nullptr, "vietnamese", 174},
    {"wa", nullptr, "walloon", 175},
    {"cy", nullptr, "welsh", 176},
    {"wo", nullptr, "wolof", 177},
    {"fy", nullptr, "westernfrisian", 178},
    {"xh", nullptr, "xhosa", 179},
    {"yi", nullptr, "yiddish", 180},
    {"yo", nullptr, "yoruba", 181},
    {"za", nullptr, "zhuang", 182},
    {"zu", nullptr, "zulu", 183},
};

const CountryRow countries[] = {
    {"AD", "AND", 36},  {"AU", "AUS", 2},   {"AT", "AUT", 34},  {"BE", "BEL", 3},
    {"BG", "BGR", 4},   {"BR", "BRA", 5},   {"CA", "CAN", 6},   {"CH", "CHE", 29},
    {"CZ", "CZE", 7},   {"DK", "DNK", 8},   {"DE", "DEU", 9},   {"ES", "ESP", 10},
    {"FI", "FIN", 30},  {"FR", "FRA", 11},  {"GB", "GBR", 0},   {"UK", "GBR", 0},
    {"GR", "GRE", 12},  {"IT", "ITA", 13},  {"IE", "IRL", 33},  {"IS", "ISL", 35},
    {"LI", "LIE", 14},  {"LT", "LTU", 15},  {"LU", "LUX", 16},  {"HU", "HUN", 17},
    {"MT", "MLT", 18},  {"MC", "MCO", 19},  {"NL", "NLD", 20},  {"NO", "NOR", 21},
    {"PL", "POL", 22},  {"PT", "PRT", 23},  {"RO", "ROU", 24},  {"RU", "RUS", 25},
    {"SM", "SMR", 26},  {"SE", "SWE", 31},  {"SK", "SVK", 27},  {"SI", "SVN", 28},
    {"TR", "TUR", 32},  {"UA", "UKR", 37},  {"US", "USA", 1},   {"AF", "AFG", 39},
    {"AX", "ALA", 40},  {"AL", "ALB", 41},  {"DZ", "DZA", 42},  {"AS", "ASM", 43},
    {"AO", "AGO", 44},  {"AI", "AIA", 45},  {"AQ", "ATA", 46},  {"AG", "ATG", 47},
    {"AR", "ARG", 48},  {"AM", "ARM", 49},  {"AW", "ABW", 50},  {"AZ", "AZE", 51},
    {"BS", "BHS", 52},  {"BH", "BHR", 53},  {"BD", "BGD", 54},  {"BB", "BRB", 55},
    {"BY", "BLR", 56},  {"BZ", "BLZ", 57},  {"BJ", "BEN", 58},  {"BM", "BMU", 59},
    {"BT", "BTN", 60},  {"BO", "BOL", 61},  {"BQ", "BES", 62},  {"BA", "BIH", 63},
    {"BW", "BWA", 64},  {"BV", "BVT", 65},  {"BN", "BRN", 66},  {"BF", "BFA", 67},
    {"BI", "BDI", 68},  {"CV", "CPV", 71},  {"KH", "KHM", 69},  {"CM", "CMR", 70},
    {"KY", "CYM", 72},  {"CF", "CAF", 73},  {"TD", "TCD", 74},  {"CL", "CHL", 75},
    {"CN", "CHN", 76},  {"CX", "CXR", 77},  {"CC", "CCK", 78},  {"CO", "COL", 79},
    {"KM", "COM", 80},  {"CG", "COG", 81},  {"CK", "COK", 82},  {"CR", "CRI", 83},
    {"HR", "HRV", 85},  {"CU", "CUB", 86},  {"CW", "CUW", 87},  {"CY", "CYP", 88},
    {"DJ", "DJI", 89},  {"DM", "DMA", 90},  {"DO", "DOM", 91},  {"CD", "COD", 92},
    {"EC", "ECU", 93},  {"EG", "EGY", 94},  {"SV", "SLV", 95},  {"GQ", "GNQ", 96},
    {"ER", "ERI", 97},  {"EE", "EST", 98},  {"ET", "ETH", 99},  {"FK", "FLK", 100},
    {"FO", "FRO", 101}, {"FJ", "FJI", 102}, {"GF", "GUF", 103}, {"PF", "PYF", 104},
    {"GA", "GAB", 105}, {"GM", "GMB", 106}, {"GE", "GEO", 107}, {"GH", "GHA", 108},
    {"GI", "GIB", 109}, {"GL", "GRL", 110}, {"GD", "GRD", 111}, {"GP", "GLP", 112},
    {"GU", "GUM", 113}, {"GT", "GTM", 114}, {"GG", "GGY", 115}, {"GN", "GIN", 116},
    {"GW", "GNB", 117}, {"GY", "GUY", 118}, {"HT", "HTI", 119}, {"VA", "VAT", 120},
    {"HN", "HND", 121}, {"HK", "HKG", 122}, {"IN", "IND", 123}, {"ID", "IDN", 124},
    {"IR", "IRN", 125}, {"IQ", "IRQ", 126}, {"IM", "IMN", 127}, {"IL", "ISR", 128},
    {"CI", "CIV", 84},  {"JM", "JAM", 129}, {"JP", "JPN", 130}, {"JE", "JEY", 131},
    {"JO", "JOR", 132}, {"KZ", "KAZ", 133}, {"KE", "KEN", 134}, {"KI", "KIR", 135},
    {"KP", "PRK", 136}, {"KR", "KOR", 137}, {"KW", "KWT", 138}, {"KG", "KGZ", 139},
    {"LA", "LAO", 140}, {"LV", "LVA", 141}, {"LB", "LBN", 142}, {"LS", "LSO", 143},
    {"LR", "LBR", 144}, {"LY", "LBY", 145}, {"MO", "MAC", 146}, {"MK", "MKD", 147},
    {"MG", "MDG", 148}, {"MW", "MWI", 149}, {"MY", "MYS", 150}, {"MV", "MDV", 151},
    {"ML", "MLI", 152}, {"MH", "MHL", 153}, {"MQ", "MTQ", 154}, {"MR", "MRT", 155},
    {"MU", "MUS", 156}, {"YT", "MYT", 157}, {"MX", "MEX", 158}, {"FM", "FSM", 159},
    {"MD", "MDA", 160}, {"MN", "MNG", 161}, {"ME", "MNE", 162}, {"MS", "MSR", 163},
    {"MA", "MAR", 164}, {"MZ", "MOZ", 165}, {"MM", "MMR", 166}, {"NA", "NAM", 167},
    {"NR", "NRU", 168}, {"NP", "NPL", 169}, {"NC", "NCL", 170}, {"NZ", "NZL", 171},
    {"NI", "NIC", 172}, {"NE", "NER", 173}, {"NG", "NGA", 174}, {"NU", "NIU", 175},
    {"NF", "NFK", 176}, {"OM", "OMN", 177}, {"PK", "PAK", 178}, {"PW", "PLW", 179},
    {"PS", "PSE", 180}, {"PA", "PAN", 181}, {"PG", "PNG", 182}, {"PY", "PRY", 183},
    {"PE", "PER", 184}, {"PH", "PHL", 185}, {"PN", "PCN", 186}, {"PR", "PRI", 187},
    {"QA", "QAT", 188}, {"RE", "REU", 189}, {"RW", "RWA", 190}, {"BL", "BLM", 191},
    {"SH", "SHN", 192}, {"KN", "KNA", 193}, {"LC", "LCA", 194}, {"VC", "VCT", 195},
    {"WS", "WSM", 196}, {"ST", "STP", 197}, {"SA", "SAU", 198}, {"SN", "SEN", 199},
    {"RS", "SRB", 200}, {"SC", "SYC", 201}, {"SL", "SLE", 202}, {"SG", "SGP", 203},
    {"SB", "SLB", 204}, {"SO", "SOM", 205}, {"ZA", "ZAF", 206}, {"SS", "SSD", 207},
    {"LK", "LKA", 208}, {"SD", "SDN", 209}, {"SR", "SUR", 210}, {"SZ", "SWZ", 211},
    {"SY", "SYR", 212}, {"TW", "TWN", 213}, {"TJ", "TJK", 214}, {"TZ", "TZA", 215},
    {"TH", "THA", 216}, {"TL", "TLS", 217}, {"TG", "TGO", 218}, {"TO", "TON", 219},
    {"TT", "TTO", 220}, {"TN", "TUN", 221}, {"TM", "TKM", 222}, {"TV", "TUV", 223},
    {"UG", "UGA", 224}, {"AE", "ARE", 225}, {"UY", "URY", 226}, {"UZ", "UZB", 227},
    {"VU", "VUT", 228}, {"VE", "VEN", 229}, {"VN", "VNM", 230}, {"YE", "YEM", 231},
    {"ZM", "ZMB", 232},
};

const LanguageRow* findLanguage(int32_t id) {
  for (const LanguageRow& row : languages)
    if (row.id == id) return &row;
  return nullptr;
}

const CountryRow* findCountry(int32_t id) {
  for (const CountryRow& row : countries)
    if (row.id == id) return &row;
  return nullptr;
}

}  // namespace

int32_t LanguageIdFromCode(const char* code) {
  if (code == nullptr) return LANGUAGE_UNKNOWN;
  for (const LanguageRow& row : languages)
    if (std::strcmp(row.code, code) == 0) return row.id;
  return LANGUAGE_UNKNOWN;
}

int32_t CountryIdFromCode(const char* code) {
  if (code == nullptr) return COUNTRY_UNKNOWN;
  bool twoLetter = std::strlen(code) == 2;
  for (const CountryRow& row : countries)
    if (std::strcmp(twoLetter ? row.code2 : row.code3, code) == 0) return row.id;
  return COUNTRY_UNKNOWN;
}

int32_t GetSystemLanguageId() {
  const char* lang = std::getenv("LANG");
  if (lang == nullptr) return LANGUAGE_UNKNOWN;
  // strncpy-like copy of at most two characters; a shorter LANG stays short.
  char code[3] = {0, 0, 0};
  for (size_t i = 0; i < 2 && lang[i] != '\0'; i++) code[i] = lang[i];
  return LanguageIdFromCode(code);
}

int32_t GetSystemCountryId() {
  const char* lang = std::getenv("LANG");
  if (lang == nullptr) return COUNTRY_UNKNOWN;
  const char* underscore = std::strchr(lang, '_');
  if (underscore == nullptr) return COUNTRY_UNKNOWN;
  char code[3] = {0, 0, 0};
  for (size_t i = 0; i < 2 && underscore[1 + i] != '\0'; i++) code[i] = underscore[1 + i];
  return CountryIdFromCode(code);
}

int LanguageCodeStrings(int32_t id, const char** code, const char** englishName) {
  const LanguageRow* row = findLanguage(id);
  if (row == nullptr) return 0;
  if (code != nullptr) *code = row->code;
  if (englishName != nullptr) *englishName = row->englishName;
  return 1;
}

int CountryCodeStrings(int32_t id, const char** twoLetter, const char** threeLetter) {
  const CountryRow* row = findCountry(id);
  if (row == nullptr) return 0;
  if (twoLetter != nullptr) *twoLetter = row->code2;
  if (threeLetter != nullptr) *threeLetter = row->code3;
  return 1;
}

const char* LanguageNativeName(int32_t id) {
  const LanguageRow* row = findLanguage(id);
  return row != nullptr ? row->nativeName : nullptr;
}

const char* LanguageEnglishName(int32_t id) {
  const LanguageRow* row = findLanguage(id);
  return row != nullptr ? row->englishName : nullptr;
}
