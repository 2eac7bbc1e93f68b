// Time arithmetic, date conversion across a time-zone offset, the zone
// offset itself and the fixed date/time texts.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include <sys/time.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

// Sets TZ for one test and restores the previous zone afterwards.
class ZoneFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
  }
  void TearDown() override {
    if (hadOld_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void useZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  bool hadOld_ = false;
  std::string old_;
};

TEST(TimeArithmetic, AddSubCompare) {
  struct Case {
    const char* name;
    TimeValue a, b;
    TimeValue sum, diff;
    int cmp;
  };
  const Case cases[] = {
      {"borrow", {5, 200}, {2, 300}, {7, 500}, {2, 999900}, 1},
      {"carry", {1, 600000}, {0, 500000}, {2, 100000}, {1, 100000}, 1},
      {"carry at exactly one second", {0, 500000}, {0, 500000}, {1, 0}, {0, 0}, 0},
      {"equal", {7, 5}, {7, 5}, {14, 10}, {0, 0}, 0},
      {"seconds win over micros", {3, 0}, {2, 999999}, {5, 999999}, {0, 1}, 1},
      {"earlier", {2, 999999}, {3, 0}, {5, 999999}, {UINT32_MAX, 999999}, -1},
      {"unsigned seconds", {0x80000000u, 0}, {1, 0}, {0x80000001u, 0}, {0x7fffffffu, 0}, 1},
  };
  for (const Case& c : cases) {
    TimeValue s = c.a, d = c.a;
    AddTime(&s, &c.b);
    SubTime(&d, &c.b);
    EXPECT_EQ(s.seconds, c.sum.seconds) << c.name;
    EXPECT_EQ(s.micros, c.sum.micros) << c.name;
    EXPECT_EQ(d.seconds, c.diff.seconds) << c.name;
    EXPECT_EQ(d.micros, c.diff.micros) << c.name;
    EXPECT_EQ(CmpTime(&c.a, &c.b), c.cmp) << c.name;
    EXPECT_EQ(CmpTime(&c.b, &c.a), -c.cmp) << c.name;
  }
}

TEST(TimeArithmetic, ClockAgreesWithItself) {
  TimeValue t;
  GetSysTime(&t);
  EXPECT_LT(t.micros, 1000000u);
  double secs = GetTimeSeconds();
  EXPECT_GE(secs + 1.0, static_cast<double>(t.seconds));
  Delay(0);
  Delay(-5);
}

volatile sig_atomic_t alarms;
void countAlarm(int) { alarms = alarms + 1; }

TEST(TimeArithmetic, DelaySleepsOnThroughSignals) {
  // A handler without SA_RESTART cuts the sleep short; Delay must still
  // sleep the whole time. Only the lower bound is checked.
  struct sigaction sa = {}, old = {};
  sa.sa_handler = countAlarm;
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  alarms = 0;
  itimerval tick = {{0, 30000}, {0, 30000}};  // every 30 ms
  itimerval off = {};
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(setitimer(ITIMER_REAL, &tick, nullptr), 0);
  Delay(1200);  // whole seconds and a remainder
  setitimer(ITIMER_REAL, &off, nullptr);
  auto elapsed = std::chrono::steady_clock::now() - start;
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_GT(alarms, 0);
  EXPECT_GE(elapsed, std::chrono::milliseconds(1200));
}

TEST_F(ZoneFixture, DateConversionInBerlin) {
  useZone("Europe/Berlin");
  struct Case {
    const char* name;
    DateFields date;
    int64_t seconds;
  };
  const Case cases[] = {
      {"winter, UTC+1, January is month 0", {0, 0, 12, 15, 0, 2010}, 1263553200},
      {"summer, UTC+2", {0, 0, 12, 15, 6, 2010}, 1279188000},
      {"past 2038", {5, 30, 12, 1, 2, 2040}, 2214214205},
  };
  for (const Case& c : cases) {
    int64_t times[3] = {0, 0, 0};
    ASSERT_EQ(DateToTime(&c.date, times, 1), 1) << c.name;
    EXPECT_EQ(times[1], c.seconds) << c.name;
    EXPECT_EQ(times[0], 0) << c.name;
    DateFields back;
    ASSERT_EQ(TimeToDate(times, &back, 1), 0) << c.name;
    EXPECT_EQ(0, std::memcmp(&back, &c.date, sizeof back)) << c.name;
  }

  // One second before the epoch in UTC is a valid date, not a failure.
  useZone("UTC");
  DateFields justBefore = {59, 59, 23, 31, 11, 1969};
  int64_t t = 0;
  EXPECT_EQ(DateToTime(&justBefore, &t, 0), 1);
  EXPECT_EQ(t, -1);
  DateFields extreme = {0, 0, 0, 1, 0, INT32_MIN};
  EXPECT_EQ(DateToTime(&extreme, &t, 0), 0);
  int64_t huge = INT64_MAX;
  DateFields out;
  EXPECT_EQ(TimeToDate(&huge, &out, 0), -1);
}

TEST_F(ZoneFixture, ZoneMinutesWest) {
  struct Case {
    const char* zone;
    int standardWest;  // minutes west of UTC outside daylight saving
  };
  const Case cases[] = {
      {"UTC", 0},
      {"Europe/Berlin", -60},
      {"Asia/Kolkata", -330},
      {"America/St_Johns", 210},
  };
  for (const Case& c : cases) {
    useZone(c.zone);
    int daylight = -7;
    int west = GetTimeZoneMinutes(&daylight);
    ASSERT_TRUE(daylight == 0 || daylight == 1) << c.zone;
    EXPECT_EQ(west, c.standardWest - 60 * daylight) << c.zone;
  }
}

TEST_F(ZoneFixture, FixedDateTexts) {
  useZone("Europe/Berlin");
  const std::regex date("\\d\\d-\\d\\d-\\d{4}");
  const std::regex clock("\\d\\d:\\d\\d:\\d\\d");
  for (int kind : {1, 4}) {
    char d[32], t[32];
    FormatDateTime(kind, d, sizeof d, t, sizeof t);
    EXPECT_TRUE(std::regex_match(d, date)) << kind << ": " << d;
    EXPECT_TRUE(std::regex_match(t, clock)) << kind << ": " << t;
  }
  char t[32];
  FormatDateTime(2, t, sizeof t, nullptr, 0);
  EXPECT_TRUE(std::regex_match(t, clock)) << t;

  // Small buffers are cut and terminated; unknown kinds write nothing.
  char small[4] = {'x', 'x', 'x', 'x'};
  FormatDateTime(2, small, sizeof small, nullptr, 0);
  EXPECT_EQ(std::strlen(small), 3u);
  char untouched[8] = "keep";
  FormatDateTime(9, untouched, sizeof untouched, untouched, sizeof untouched);
  EXPECT_STREQ(untouched, "keep");

  // Kind 4 is kind 1 in UTC: under UTC both give the same date text
  // (unless midnight passes between the calls).
  useZone("UTC");
  char a[32], b[32], ta[32], tb[32];
  FormatDateTime(1, a, sizeof a, ta, sizeof ta);
  FormatDateTime(4, b, sizeof b, tb, sizeof tb);
  EXPECT_STREQ(a, b);

  char weekday[64] = "";
  FormatDateTime(3, weekday, sizeof weekday, nullptr, 0);
  EXPECT_GT(std::strlen(weekday), 0u);
  char localeDate[64] = "";
  FormatDateTime(0, localeDate, sizeof localeDate, nullptr, 0);
  EXPECT_GT(std::strlen(localeDate), 0u);
}

}  // namespace
