// The system library's timers, waits and date commands called by name;
// dates are checked against python3's datetime and date(1) under two
// time zones.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <locale.h>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "engine/engine.h"
#include "libs/libs.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "tests/support/harness.h"

namespace {

using Arg = std::variant<double, std::string, bool>;
using Clock = std::chrono::steady_clock;

std::string runCommand(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// Sets TZ for the test and puts the previous value back afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

class TimeDateTest : public ::testing::Test {
 protected:
  PlayerHarness p;
  VmState* L = p.L;

  ErrorCode call(const char* name, const std::vector<Arg>& args) {
    VmSetTop(L, 0);
    for (const Arg& a : args) {
      if (const double* d = std::get_if<double>(&a))
        VmPushNumber(L, *d);
      else if (const std::string* s = std::get_if<std::string>(&a))
        VmPushLString(L, s->data(), s->size());
      else
        VmPushBoolean(L, std::get<bool>(a));
    }
    return p.Call(name, static_cast<int>(args.size()));
  }
  double number(int index = -1) { return VmToNumber(L, index); }
  std::string text(int index = -1) { return std::string(VmToString(L, index), VmStrLen(L, index)); }
  double timer(double id) {
    EXPECT_EQ(call("GetTimer", {id}), 0);
    return number();
  }
  double field(const char* name) {
    VmPushString(L, name);
    VmGetTable(L, -2);
    double v = VmToNumber(L, -1);
    VmSetTop(L, -2);
    return v;
  }
  // A table of six date fields at the top of the stack.
  void pushDateTable(int mday, int mon, int year, int hour = 0, int min = 0, int sec = 0) {
    VmSetTop(L, 0);
    VmNewTable(L);
    SetTableFieldNumber(L, "mday", mday);
    SetTableFieldNumber(L, "mon", mon);
    SetTableFieldNumber(L, "year", year);
    SetTableFieldNumber(L, "hour", hour);
    SetTableFieldNumber(L, "min", min);
    SetTableFieldNumber(L, "sec", sec);
  }
};

TEST_F(TimeDateTest, TimersCountPauseAndReset) {
  ASSERT_EQ(call("StartTimer", {1.0}), 0);
  EXPECT_LT(timer(1), 50);
  ASSERT_EQ(call("ResetTimer", {1.0, 5000.0}), 0);
  double t = timer(1);
  EXPECT_GE(t, 5000);
  EXPECT_LT(t, 5050);

  ASSERT_EQ(call("PauseTimer", {1.0}), 0);
  ASSERT_EQ(call("PauseTimer", {1.0}), 0);
  double frozen = timer(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(timer(1), frozen);
  EXPECT_EQ(call("WaitTimer", {1.0, 100.0}), ERR_WRONGUSAGE);
  ASSERT_EQ(call("ResumeTimer", {1.0}), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  t = timer(1);
  EXPECT_GE(t, frozen + 25);
  EXPECT_LT(t, frozen + 200);
  ASSERT_EQ(call("ResumeTimer", {1.0}), 0);
  EXPECT_GE(timer(1), t);

  // A number in use restarts that timer instead of adding a second one.
  ASSERT_EQ(call("StartTimer", {1.0}), 0);
  EXPECT_LT(timer(1), 50);
  VmSetTop(L, 0);
  VmPushNil(L);
  ASSERT_EQ(p.Call("StartTimer", 1), 0);
  ASSERT_EQ(VmType(L, -1), VM_TYPE_LIGHTUSERDATA);
  ASSERT_EQ(call("GetAttribute", {double(OBJTYPE_TIMER), 0.0, double(ATTRCOUNT)}), 0);
  EXPECT_EQ(number(), 2);
  EXPECT_EQ(call("GetAttribute", {double(OBJTYPE_TIMER), 1.0, double(ATTRWIDTH)}), ERR_UNKNOWNATTR);
  EXPECT_EQ(call("GetAttribute", {double(OBJTYPE_TIMER), 9.0, double(ATTRWIDTH)}), ERR_FINDTIMER);
}

TEST_F(TimeDateTest, UnknownTimersAreReportedByKind) {
  EXPECT_EQ(call("StopTimer", {7.0}), ERR_FINDTIMER);
  char message[256];
  GetErrorText(ERR_FINDTIMER, message, sizeof message);
  EXPECT_NE(std::string(message).find('7'), std::string::npos) << message;
  VmSetTop(L, 0);
  VmPushNil(L);
  ASSERT_EQ(p.Call("StartTimer", 1), 0);
  void* automatic = VmToUserdata(L, -1);
  VmSetTop(L, 0);
  VmPushLightUserdata(L, automatic);
  ASSERT_EQ(p.Call("StopTimer", 1), 0);
  VmSetTop(L, 0);
  VmPushLightUserdata(L, automatic);
  EXPECT_EQ(p.Call("GetTimer", 1), ERR_FINDARRAY);
}

TEST_F(TimeDateTest, WaitTimerPacesFromTheStart) {
  ASSERT_EQ(call("StartTimer", {2.0}), 0);
  Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(call("WaitTimer", {2.0, 100.0}), 0);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_GE(waited.count(), 95);
  EXPECT_LE(waited.count(), 250);
  EXPECT_LT(timer(2), 30);  // restarted when the wait ended

  // Without restart the timer keeps counting from its old start; a time
  // already passed does not wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  start = Clock::now();
  ASSERT_EQ(call("WaitTimer", {2.0, 10.0, false}), 0);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            15);
  EXPECT_GE(timer(2), 20);
}

TEST_F(TimeDateTest, WaitUnits) {
  struct Case {
    std::vector<Arg> args;
    int minMillis;
  } cases[] = {
      {{-5.0}, 0},       {{0.0}, 0}, {{2.0}, 40},  // ticks of 20 ms by default
      {{60.0, 1.0}, 60},                           // MILLISECONDS
      {{0.1, 0.0}, 0},                             // truncated to 0 seconds
      {{1.0, 2.0}, 20},                            // TICKS
  };
  for (const Case& c : cases) {
    Clock::time_point start = Clock::now();
    ASSERT_EQ(call("Wait", c.args), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, c.minMillis);
    EXPECT_LT(ms, c.minMillis + 150);
  }
}

TEST_F(TimeDateTest, MakeParseValidateAndCompare) {
  pushDateTable(29, 2, 2100);
  EXPECT_EQ(p.Call("MakeDate", 1), ERR_INVALIDDATE);
  pushDateTable(29, 2, 2000);
  ASSERT_EQ(p.Call("MakeDate", 1), 0);
  EXPECT_EQ(text(), "29-Feb-2000 00:00:00");
  pushDateTable(3, 12, 7, 23, 59, 58);  // a year below 1000 still reads back
  ASSERT_EQ(p.Call("MakeDate", 1), 0);
  std::string small = text();
  EXPECT_EQ(small, "03-Dec-0007 23:59:58");
  ASSERT_EQ(call("ValidateDate", {small}), 0);
  EXPECT_EQ(number(), 1);
  pushDateTable(1, 1, 2000);
  VmPushString(L, "sec");
  VmPushNil(L);
  VmSetTable(L, 1);
  EXPECT_EQ(p.Call("MakeDate", 1), ERR_WRONGUSAGE);

  ASSERT_EQ(call("ParseDate", {std::string("01-jan-2000 12:00:00")}), 0);
  EXPECT_EQ(field("wday"), 6);
  EXPECT_EQ(field("yday"), 0);
  EXPECT_EQ(field("mon"), 1);
  EXPECT_EQ(field("hour"), 12);

  struct Validity {
    const char* text;
    double valid;
  } validity[] = {
      {"29-Feb-2000 00:00:00", 1}, {"29-Feb-1900 00:00:00", 0}, {"31-Apr-2020 00:00:00", 0},
      {"01-Jan-0001 00:00:00", 1}, {"01-Jan-3000 00:00:00", 0}, {"01-Foo-2000 00:00:00", 0},
      {"01-Jan-2000 24:00:00", 0}, {"01-Jan-2000 00:00", 0},    {"01-JAN-2000 23:59:59", 1},
  };
  for (const Validity& v : validity) {
    SCOPED_TRACE(v.text);
    ASSERT_EQ(call("ValidateDate", {std::string(v.text)}), 0);
    EXPECT_EQ(number(), v.valid);
  }
  EXPECT_EQ(call("ParseDate", {std::string("31-Apr-2020 00:00:00")}), ERR_INVALIDDATE);

  struct Comparison {
    const char* a;
    const char* b;
    bool dateOnly;
    double result;
  } comparisons[] = {
      {"01-Jan-2000", "02-Jan-2000", true, 2},
      {"02-Jan-2000", "01-Jan-2000", true, 1},
      {"01-Feb-1999", "01-jan-2000", true, 2},
      {"01-Jan-2000 10:00:00", "01-Jan-2000 10:00:00", false, 0},
      {"01-Jan-2000 10:00:01", "01-Jan-2000 10:00:00", false, 1},
      {"31-Feb-2000 00:00:00", "01-Mar-2000 00:00:00", false, 2},  // no calendar check
  };
  for (const Comparison& c : comparisons) {
    SCOPED_TRACE(c.a);
    ASSERT_EQ(call("CompareDates", {std::string(c.a), std::string(c.b), c.dateOnly}), 0);
    EXPECT_EQ(number(), c.result);
  }
  EXPECT_EQ(
      call("CompareDates", {std::string("01-Jan-2000 10:00:00"), std::string("01-Jan-2000"), true}),
      ERR_INVALIDDATE);
}

TEST_F(TimeDateTest, WeekdayAndDayOfYearAgreeWithPython) {
  std::string reference = runCommand(
      "/usr/bin/python3 -c 'import datetime\n"
      "for y in range(1, 3000):\n"
      " for m in (1, 3):\n"
      "  d = datetime.date(y, m, 1)\n"
      "  print(y, m, (d.weekday() + 1) % 7, d.timetuple().tm_yday - 1)'");
  int checked = 0;
  size_t pos = 0;
  while (pos < reference.size()) {
    size_t end = reference.find('\n', pos);
    if (end == std::string::npos) end = reference.size();
    int y, m, wday, yday;
    ASSERT_EQ(std::sscanf(reference.c_str() + pos, "%d %d %d %d", &y, &m, &wday, &yday), 4);
    char date[32];
    std::snprintf(date, sizeof date, "01-%s-%.4d 00:00:00", m == 1 ? "Jan" : "Mar", y);
    ASSERT_EQ(call("ParseDate", {std::string(date)}), 0) << date;
    ASSERT_EQ(field("wday"), wday) << date;
    ASSERT_EQ(field("yday"), yday) << date;
    checked++;
    pos = end + 1;
  }
  EXPECT_EQ(checked, 2 * 2999);
}

TEST_F(TimeDateTest, ConversionsFollowTheTimeZone) {
  for (const char* zone : {"UTC", "Europe/Rome"}) {
    SCOPED_TRACE(zone);
    ZoneScope scope(zone);
    std::string env = std::string("TZ=") + zone + " ";
    for (const char* date :
         {"01-Jan-2000 12:00:00", "15-Jul-2021 08:30:05", "01-Mar-2100 00:00:00"}) {
      SCOPED_TRACE(date);
      ASSERT_EQ(call("DateToTimestamp", {std::string(date)}), 0);
      double stamp = number();
      EXPECT_EQ(stamp, std::stod(runCommand(env + "date -d '" + std::string(date) + "' +%s")));
      ASSERT_EQ(call("DateToUTC", {std::string(date)}), 0);
      std::string utc = text();
      EXPECT_EQ(
          utc, runCommand("LC_ALL=C TZ=UTC date -d @" +
                          std::to_string(static_cast<long long>(stamp)) + " '+%d-%b-%Y %H:%M:%S'"));
      ASSERT_EQ(call("UTCToDate", {utc}), 0);
      EXPECT_EQ(text(), date);
      ASSERT_EQ(call("TimestampToDate", {stamp, true}), 0);
      EXPECT_EQ(text(), utc);
    }
    EXPECT_EQ(call("DateToTimestamp", {std::string("31-Dec-1969 23:59:59")}), ERR_INVALIDDATE);
    EXPECT_EQ(call("UTCToDate", {std::string("31-Dec-1969 23:59:59")}), ERR_INVALIDDATE);

    ASSERT_EQ(call("GetTimeZone", {}), 0);
    std::string z = runCommand(env + "date +%z");
    int minutes = std::stoi(z.substr(1, 2)) * 60 + std::stoi(z.substr(3, 2));
    EXPECT_EQ(number(1), z[0] == '-' ? minutes : -minutes);

    // The relative timestamp counts from the run's time base and turns
    // back into the local date of now.
    ASSERT_EQ(call("GetTimestamp", {}), 0);
    double relative = number();
    ASSERT_EQ(call("TimestampToDate", {relative}), 0);
    std::string local = text();
    ASSERT_EQ(call("GetDate", {1.0}), 0);
    EXPECT_EQ(local, text());
  }
  EXPECT_EQ(call("GetDate", {3.0}), ERR_WRONGUSAGE);
  ASSERT_EQ(call("GetTime", {}), 0);
  EXPECT_EQ(text().size(), 5u);
  ASSERT_EQ(call("GetTime", {true}), 0);
  EXPECT_EQ(text().size(), 8u);
}

TEST_F(TimeDateTest, WeekdayUsesTheUserLocale) {
  if (!std::setlocale(LC_TIME, "it_IT.UTF-8")) GTEST_SKIP() << "it_IT.UTF-8 is not installed";
  std::setlocale(LC_TIME, "C");
  const char* old = std::getenv("LC_ALL");
  std::string saved = old ? old : "";
  setenv("LC_ALL", "it_IT.UTF-8", 1);
  ErrorCode error = call("GetWeekday", {});
  std::string weekday = text();
  if (old)
    setenv("LC_ALL", saved.c_str(), 1);
  else
    unsetenv("LC_ALL");
  ASSERT_EQ(error, 0);
  EXPECT_EQ(weekday, runCommand("LC_ALL=it_IT.UTF-8 date +%A"));
  EXPECT_STREQ(std::setlocale(LC_TIME, nullptr), "C");
}

// The locale's text reaches scripts in the player's string encoding: the
// Italian weekday (five of the seven end in a grave i) from a UTF-8 and
// from a Latin-1 locale, in both modes.
TEST_F(TimeDateTest, LocaleTextFollowsThePlayersEncoding) {
  for (const char* name : {"it_IT.UTF-8", "it_IT.ISO-8859-1"}) {
    locale_t installed = newlocale(LC_TIME_MASK, name, static_cast<locale_t>(0));
    if (!installed) GTEST_SKIP() << name << " is not installed";
    freelocale(installed);
  }
  const char* old = std::getenv("LC_ALL");
  std::string saved = old ? old : "";
  int32_t mode = unicodeUtf8Mode;
  struct Case {
    const char* locale;
    int32_t utf8;
    const char* encode;  // iconv's target for date's UTF-8 output
  } cases[] = {{"it_IT.UTF-8", 1, "UTF-8"},
               {"it_IT.UTF-8", 0, "ISO-8859-1"},
               {"it_IT.ISO-8859-1", 1, "UTF-8"},
               {"it_IT.ISO-8859-1", 0, "ISO-8859-1"}};
  for (const Case& c : cases) {
    setenv("LC_ALL", c.locale, 1);
    unicodeUtf8Mode = c.utf8;
    ErrorCode error = call("GetWeekday", {});
    std::string weekday = text();
    EXPECT_EQ(error, 0);
    EXPECT_EQ(weekday, runCommand(std::string("LC_ALL=it_IT.UTF-8 date +%A | iconv -f UTF-8 -t ") +
                                  c.encode))
        << c.locale << " " << c.utf8;
  }
  unicodeUtf8Mode = mode;
  if (old)
    setenv("LC_ALL", saved.c_str(), 1);
  else
    unsetenv("LC_ALL");
}

TEST(FileDateParser, ChecksTheWholeForm) {
  struct Case {
    const char* text;
    int ok;
  } cases[] = {
      {"05-Mar-2021 13:14:15", 1}, {"05-mar-2021 13:14:15", 1},  {"31-Feb-2021 00:00:00", 1},
      {"05/Mar/2021 13:14:15", 0}, {"05-Mar-2021 13.14.15", 0},  {"32-Mar-2021 00:00:00", 0},
      {"05-Mar-2021 24:00:00", 0}, {"05-Mar-2021 00:60:00", 0},  {"05-Xyz-2021 00:00:00", 0},
      {"05-Mar-2021 00:00:0", 0},  {"05-Mar-2021 00:00:000", 0}, {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    DateFields d{};
    ASSERT_EQ(ParseDateString(c.text, &d), c.ok);
  }
  DateFields d{};
  ASSERT_EQ(ParseDateString("05-Mar-2021 13:14:15", &d), 1);
  EXPECT_EQ(d.day, 5);
  EXPECT_EQ(d.month, 2);
  EXPECT_EQ(d.year, 2021);
  EXPECT_EQ(d.hours, 13);
  EXPECT_EQ(d.minutes, 14);
  EXPECT_EQ(d.seconds, 15);
  char text[32];
  FormatDateText(&d, text, sizeof text);
  EXPECT_STREQ(text, "05-Mar-2021 13:14:15");
}

}  // namespace
