// The system library's date and time commands and the date text services
// that the rest of the player uses.
//
// The one date text form is "dd-Mon-yyyy hh:mm:ss", 20 characters (the
// date alone is its first 11). Years are written with at least four digits
// so that every text this code writes is read back by it. Commands that read
// a date text take the numbers from their fixed places; the stricter
// ParseDateString, used for file dates, checks the separators as well.
#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <langinfo.h>
#include <locale.h>
#include <string>

#include "display/display.h"
#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

constexpr const char* MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Lengths of the full date text and of its date-only form.
constexpr size_t DATE_TEXT_LENGTH = 20;
constexpr size_t DATE_ONLY_LENGTH = 11;
// Room for a formatted date text with any int fields.
constexpr size_t DATE_BUFFER_SIZE = 80;
// Timestamps beyond this many seconds are rejected before conversion.
constexpr double TIMESTAMP_LIMIT = 1e15;

// Forms of GetDate and fields of GetDateNum.
enum : int32_t { DATELOCALNATIVE = 0, DATELOCAL = 1, DATEUTC = 2 };
enum : int32_t { DATEYEAR = 0, DATEMONTH = 1, DATEDAY = 2, DATETIME = 3 };

bool isLeapYear(int32_t year) { return year % 4 == 0 && (year % 25 != 0 || year % 16 == 0); }

int32_t monthLength(int32_t year, int32_t month) {
  static const int32_t LENGTHS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : LENGTHS[month - 1];
}

// Year 1 to 2999, a real day of the month (month 1 to 12) and a real time.
bool isValidDate(const DateFields& d) {
  int32_t month = d.month + 1;
  return d.year >= 1 && d.year <= 2999 && month >= 1 && month <= 12 && d.day >= 1 &&
         d.day <= monthLength(d.year, month) && d.hours >= 0 && d.hours <= 23 && d.minutes >= 0 &&
         d.minutes <= 59 && d.seconds >= 0 && d.seconds <= 59;
}

// The month index 0..11 of the three letters at s, without regard to case;
// -1 when they name no month.
int32_t monthIndex(const char* s) {
  for (int32_t i = 0; i < 12; i++) {
    bool same = true;
    for (int k = 0; k < 3 && same; k++)
      same = std::tolower(static_cast<unsigned char>(s[k])) ==
             std::tolower(static_cast<unsigned char>(MONTH_NAMES[i][k]));
    if (same) return i;
  }
  return -1;
}

// A decimal number read from s up to the first non-digit (blanks and one
// sign first, as the C library's reader does), saturated to stay in range.
int32_t readNumber(const char* s, const char* end) {
  while (s < end && (*s == ' ' || *s == '\t')) s++;
  bool negative = false;
  if (s < end && (*s == '-' || *s == '+')) negative = *s++ == '-';
  int64_t n = 0;
  while (s < end && *s >= '0' && *s <= '9') {
    if (n < 100000000) n = n * 10 + (*s - '0');
    s++;
  }
  return static_cast<int32_t>(negative ? -n : n);
}

// Reads a date text of the given length (full or date-only) into fields:
// 1285 for another length or an unknown month. The calendar is not checked.
ErrorCode readDateFields(const char* s, size_t len, size_t want, DateFields* out) {
  *out = DateFields{};
  if (len != want) return ERR_INVALIDDATE;
  out->month = monthIndex(s + 3);
  if (out->month < 0) return ERR_INVALIDDATE;
  const char* end = s + len;
  out->day = readNumber(s, end);
  out->year = readNumber(s + 7, end);
  if (want == DATE_TEXT_LENGTH) {
    out->hours = readNumber(s + 12, end);
    out->minutes = readNumber(s + 15, end);
    out->seconds = readNumber(s + 18, end);
  }
  return ERR_NONE;
}

// A full date text argument that names a real date: 1285 otherwise.
ErrorCode dateArg(VmState* L, int index, DateFields* d) {
  size_t len;
  const char* s = VmCheckString(L, index, &len);
  if (readDateFields(s, len, DATE_TEXT_LENGTH, d) != ERR_NONE || !isValidDate(*d))
    return ERR_INVALIDDATE;
  return ERR_NONE;
}

std::string formatDate(const DateFields& d) {
  char text[DATE_BUFFER_SIZE];
  std::snprintf(text, sizeof text, "%.2d-%s-%.4d %.2d:%.2d:%.2d", d.day, MONTH_NAMES[d.month],
                d.year, d.hours, d.minutes, d.seconds);
  return text;
}

DateFields fromTm(const struct tm& t) {
  return DateFields{t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year + 1900};
}

struct tm toTm(const DateFields& d, int isDst) {
  struct tm t {};
  t.tm_sec = d.seconds;
  t.tm_min = d.minutes;
  t.tm_hour = d.hours;
  t.tm_mday = d.day;
  t.tm_mon = d.month;
  t.tm_year = d.year - 1900;
  t.tm_isdst = isDst;
  return t;
}

// The day number of a date (month 1 to 12): days counted from a fixed
// origin with March as the first month, so leap days fall at a year's end.
int64_t dayNumber(int64_t y, int64_t m, int64_t d) {
  int64_t mm = (m + 9) % 12;
  int64_t yy = y + (m + 9) / 12 - 1;
  return d + 365 * yy + yy / 4 - yy / 100 + yy / 400 + (306 * mm + 5) / 10 - 1;
}

// Now, in seconds, on the clock GetTimestamp reads: time() reads a coarser
// clock that can still show the second before at a second's turn.
time_t nowSeconds() {
  TimeValue sys;
  GetSysTime(&sys);
  return static_cast<time_t>(sys.seconds);
}

struct tm localNow() {
  time_t now = nowSeconds();
  struct tm t {};
  localtime_r(&now, &t);
  return t;
}

// The character set of a locale: 1 UTF-8, 0 Latin-1 (ISO-8859-1 or -15),
// -1 anything else.
int localeCharset(const char* name) {
  locale_t locale = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0));
  if (!locale) return -1;
  std::string codeset = nl_langinfo_l(CODESET, locale);
  freelocale(locale);
  if (codeset == "UTF-8") return 1;
  return codeset == "ISO-8859-1" || codeset == "ISO-8859-15" ? 0 : -1;
}

// Formats with the user's locale for dates (the environment's), then puts
// the previous locale back. The text comes in the locale's character set
// and goes to scripts in the player's string encoding.
std::string formatInUserLocale(const char* format, const struct tm& t) {
  const char* current = std::setlocale(LC_TIME, nullptr);
  std::string previous = current ? current : "C";
  const char* user = std::setlocale(LC_TIME, "");
  int charset = localeCharset(user ? user : "C");
  char text[256];
  size_t n = std::strftime(text, sizeof text, format, &t);
  std::setlocale(LC_TIME, previous.c_str());
  text[n] = '\0';
  char* converted = nullptr;
  if (charset == 1 && !unicodeUtf8Mode)
    converted = Utf8ToLatin1Dup(text);
  else if (charset == 0 && unicodeUtf8Mode)
    converted = ConvertStringEncoding(text, TEXT_ENCODING_LATIN1, TEXT_ENCODING_UTF8);
  if (!converted) return std::string(text, n);
  std::string result = converted;
  FreeMemory(converted);
  return result;
}

// Minutes between UTC and local time at t, positive west of UTC.
int32_t zoneMinutes(const struct tm& t) {
  char text[16];
  if (std::strftime(text, sizeof text, "%z", &t) < 5) return 0;
  int32_t minutes =
      ((text[1] - '0') * 10 + (text[2] - '0')) * 60 + (text[3] - '0') * 10 + (text[4] - '0');
  return text[0] == '-' ? minutes : -minutes;
}

bool optFlag(VmState* L, int index, bool def) {
  int t = VmType(L, index);
  if (t == VM_TYPE_NONE) return def;
  if (t == VM_TYPE_BOOLEAN) return VmToBoolean(L, index) != 0;
  return VmCheckNumber(L, index) != 0;
}

void pushText(VmState* L, const std::string& s) { VmPushLString(L, s.data(), s.size()); }

// Seconds since 1970 of a local date from 1970 on: 1285 otherwise.
ErrorCode localToSeconds(const DateFields& d, int isDst, time_t* out) {
  if (d.year < 1970) return ERR_INVALIDDATE;
  struct tm t = toTm(d, isDst);
  *out = std::mktime(&t);
  if (*out == static_cast<time_t>(-1) && t.tm_year + 1900 != 1969) return ERR_INVALIDDATE;
  return ERR_NONE;
}

int cmdGetDate(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  int32_t form = VmOptInteger(L, 1, DATELOCALNATIVE);
  time_t now = nowSeconds();
  struct tm t {};
  switch (form) {
    case DATELOCALNATIVE:
      localtime_r(&now, &t);
      pushText(L, formatInUserLocale("%x", t));
      return 1;
    case DATELOCAL:
      localtime_r(&now, &t);
      break;
    case DATEUTC:
      gmtime_r(&now, &t);
      break;
    default:
      return ERR_WRONGUSAGE;
  }
  pushText(L, formatDate(fromTm(t)));
  return 1;
}

int cmdGetTime(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  bool seconds = optFlag(L, 1, false);
  struct tm t = localNow();
  char text[DATE_BUFFER_SIZE];
  if (seconds)
    std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d", t.tm_hour, t.tm_min, t.tm_sec);
  else
    std::snprintf(text, sizeof text, "%.2d:%.2d", t.tm_hour, t.tm_min);
  VmPushString(L, text);
  return 1;
}

int cmdGetWeekday(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  pushText(L, formatInUserLocale("%A", localNow()));
  return 1;
}

int cmdGetDateNum(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t field = VmCheckInteger(L, 1);
  struct tm t = localNow();
  double value = 0;
  switch (field) {
    case DATEYEAR:
      value = t.tm_year + 1900;
      break;
    case DATEMONTH:
      value = t.tm_mon + 1;
      break;
    case DATEDAY:
      value = t.tm_mday;
      break;
    case DATETIME:
      value = t.tm_hour * 10000 + t.tm_min * 100 + t.tm_sec;
      break;
    default:
      break;
  }
  VmPushNumber(L, value);
  return 1;
}

int cmdGetTimeZone(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  struct tm t = localNow();
  VmPushNumber(L, zoneMinutes(t));
  VmPushNumber(L, t.tm_isdst > 0 ? 1 : 0);
  return 2;
}

int cmdGetTimestamp(VmState* L) {
  CheckArgCount(L, 0, 1, 0, 0);
  TimeValue now;
  GetSysTime(&now);
  double seconds = now.seconds + now.micros / 1e6;
  VmPushNumber(L, optFlag(L, 1, false) ? seconds : seconds - GetEventTimeBase());
  return 1;
}

int cmdTimestampToDate(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  double stamp = VmCheckNumber(L, 1);
  if (!optFlag(L, 2, false)) stamp += GetEventTimeBase() - zoneMinutes(localNow()) * 60.0;
  if (!(std::fabs(stamp) < TIMESTAMP_LIMIT)) return ERR_INTERNAL;
  time_t seconds = static_cast<time_t>(std::floor(stamp));
  struct tm t {};
  if (!gmtime_r(&seconds, &t)) return ERR_INTERNAL;
  pushText(L, formatDate(fromTm(t)));
  return 1;
}

int cmdDateToTimestamp(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  DateFields d;
  if (ErrorCode e = dateArg(L, 1, &d)) return e;
  time_t seconds;
  ErrorCode error = localToSeconds(d, VmOptInteger(L, 2, -1), &seconds);
  if (error) return error;
  VmPushNumber(L, static_cast<double>(seconds));
  return 1;
}

int cmdDateToUTC(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  DateFields d;
  if (ErrorCode e = dateArg(L, 1, &d)) return e;
  time_t seconds;
  ErrorCode error = localToSeconds(d, VmOptInteger(L, 2, -1), &seconds);
  if (error) return error;
  struct tm t {};
  if (!gmtime_r(&seconds, &t)) return ERR_INVALIDDATE;
  pushText(L, formatDate(fromTm(t)));
  return 1;
}

int cmdUTCToDate(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  DateFields d;
  if (ErrorCode e = dateArg(L, 1, &d)) return e;
  if (d.year < 1970) return ERR_INVALIDDATE;
  struct tm utc = toTm(d, 0);
  time_t seconds = timegm(&utc);
  struct tm t {};
  if (!localtime_r(&seconds, &t)) return ERR_INVALIDDATE;
  pushText(L, formatDate(fromTm(t)));
  return 1;
}

int cmdMakeDate(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  VmCheckTable(L, 1);
  static const char* const FIELDS[6] = {"mday", "mon", "year", "hour", "min", "sec"};
  int32_t v[6];
  for (int i = 0; i < 6; i++) {
    VmPushString(L, FIELDS[i]);
    VmGetTable(L, 1);
    if (VmType(L, -1) != VM_TYPE_NUMBER) return ERR_WRONGUSAGE;
    v[i] = VmNumberToInteger(VmToNumber(L, -1));
    VmSetTop(L, -2);
  }
  DateFields d{v[5], v[4], v[3], v[0], v[1] - 1, v[2]};
  if (!isValidDate(d)) return ERR_INVALIDDATE;
  pushText(L, formatDate(d));
  return 1;
}

int cmdParseDate(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  DateFields d;
  if (ErrorCode e = dateArg(L, 1, &d)) return e;
  int64_t n = dayNumber(d.year, d.month + 1, d.day);
  VmNewTable(L);
  SetTableFieldInt(L, "mday", d.day);
  SetTableFieldInt(L, "mon", d.month + 1);
  SetTableFieldInt(L, "year", d.year);
  SetTableFieldInt(L, "hour", d.hours);
  SetTableFieldInt(L, "min", d.minutes);
  SetTableFieldInt(L, "sec", d.seconds);
  // Day 0 of the count was a Wednesday, so the offset of 3 makes Sunday 0.
  SetTableFieldInt(L, "wday", static_cast<int32_t>((n + 3) % 7));
  SetTableFieldInt(L, "yday", static_cast<int32_t>(n - dayNumber(d.year, 1, 1)));
  return 1;
}

int cmdValidateDate(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  size_t len;
  const char* s = VmCheckString(L, 1, &len);
  DateFields d;
  bool valid = readDateFields(s, len, DATE_TEXT_LENGTH, &d) == ERR_NONE && isValidDate(d);
  VmPushNumber(L, valid ? 1 : 0);
  return 1;
}

int cmdCompareDates(VmState* L) {
  CheckArgCount(L, 2, 3, 0, 0);
  size_t want = optFlag(L, 3, false) ? DATE_ONLY_LENGTH : DATE_TEXT_LENGTH;
  DateFields d[2];
  for (int i = 0; i < 2; i++) {
    size_t len;
    const char* s = VmCheckString(L, i + 1, &len);
    if (readDateFields(s, len, want, &d[i]) != ERR_NONE) return ERR_INVALIDDATE;
  }
  const int32_t a[6] = {d[0].year, d[0].month, d[0].day, d[0].hours, d[0].minutes, d[0].seconds};
  const int32_t b[6] = {d[1].year, d[1].month, d[1].day, d[1].hours, d[1].minutes, d[1].seconds};
  int result = 0;
  for (int i = 0; i < 6 && result == 0; i++) {
    if (a[i] > b[i]) result = 1;
    if (a[i] < b[i]) result = 2;
  }
  VmPushNumber(L, result);
  return 1;
}

const CommandTableEntry dateCommands[] = {
    {"GetDate", cmdGetDate},
    {"GetTime", cmdGetTime},
    {"GetWeekday", cmdGetWeekday},
    {"GetDateNum", cmdGetDateNum},
    {"GetTimeZone", cmdGetTimeZone},
    {"GetTimestamp", cmdGetTimestamp},
    {"TimestampToDate", cmdTimestampToDate},
    {"DateToTimestamp", cmdDateToTimestamp},
    {"DateToUTC", cmdDateToUTC},
    {"UTCToDate", cmdUTCToDate},
    {"MakeDate", cmdMakeDate},
    {"ParseDate", cmdParseDate},
    {"ValidateDate", cmdValidateDate},
    {"CompareDates", cmdCompareDates},
    {nullptr, nullptr},
};

const ConstantTableEntry dateConstants[] = {
    {"DATEYEAR", nullptr, DATEYEAR},
    {"DATEMONTH", nullptr, DATEMONTH},
    {"DATEDAY", nullptr, DATEDAY},
    {"DATETIME", nullptr, DATETIME},
    {"DATELOCALNATIVE", nullptr, DATELOCALNATIVE},
    {"DATELOCAL", nullptr, DATELOCAL},
    {"DATEUTC", nullptr, DATEUTC},
    {nullptr, nullptr, 0},
};

}  // namespace

ErrorCode OpenDateCommands(VmState* L) {
  ErrorCode error = RegisterLibrary(dateCommands, "system");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, dateCommands, 0);
  VmRegisterConstants(L, dateConstants, 0);
  return ERR_NONE;
}

int ParseDateString(const char* text, DateFields* out) {
  size_t len = std::strlen(text);
  if (len != DATE_TEXT_LENGTH) return 0;
  static const int DIGITS[] = {0, 1, 7, 8, 9, 10, 12, 13, 15, 16, 18, 19};
  for (int i : DIGITS)
    if (text[i] < '0' || text[i] > '9') return 0;
  if (text[2] != '-' || text[6] != '-' || text[11] != ' ' || text[14] != ':' || text[17] != ':')
    return 0;
  DateFields d;
  if (readDateFields(text, len, DATE_TEXT_LENGTH, &d) != ERR_NONE) return 0;
  if (d.day < 1 || d.day > 31 || d.hours > 23 || d.minutes > 59 || d.seconds > 59) return 0;
  *out = d;
  return 1;
}

void FormatCurrentDate(char* buffer, size_t size) {
  std::string text = formatDate(fromTm(localNow()));
  std::snprintf(buffer, size, "%s", text.c_str());
}

void FormatDateText(const DateFields* date, char* buffer, size_t size) {
  std::snprintf(buffer, size, "%s", formatDate(*date).c_str());
}
