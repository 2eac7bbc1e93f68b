// Wall-clock time, time arithmetic, sleeping, date conversion, the time zone
// and formatted dates. Invariant: arithmetic on normalised TimeValues keeps
// microseconds in 0..999,999; every text written is terminated in its buffer.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <langinfo.h>
#include <locale.h>
#include <sys/time.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"

namespace {

constexpr uint32_t MICROS_PER_SECOND = 1000000;
constexpr long long QUIT_CHECK_NS = 20000000;  // DelayUnlessQuit looks this often

// Formats with strftime under the environment's locale without touching the
// process-wide locale, which other threads may be reading at the same time.
void formatInUserLocale(char* text, size_t size, const char* cFormat, nl_item item,
                        const struct tm* tm) {
  locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) {
    if (strftime(text, size, cFormat, tm) == 0) text[0] = '\0';
    return;
  }
  const char* format = item ? nl_langinfo_l(item, loc) : cFormat;
  if (strftime_l(text, size, format, tm, loc) == 0) text[0] = '\0';
  freelocale(loc);
}

}  // namespace

void GetSysTime(TimeValue* out) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  out->seconds = static_cast<uint32_t>(tv.tv_sec);
  out->micros = static_cast<uint32_t>(tv.tv_usec);
}

double GetTimeSeconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

void SubTime(TimeValue* a, const TimeValue* b) {
  if (a->micros < b->micros) {
    a->micros = a->micros + MICROS_PER_SECOND - b->micros;
    a->seconds = a->seconds - b->seconds - 1;
  } else {
    a->micros -= b->micros;
    a->seconds -= b->seconds;
  }
}

void AddTime(TimeValue* a, const TimeValue* b) {
  a->seconds += b->seconds;
  a->micros += b->micros;
  if (a->micros > MICROS_PER_SECOND - 1) {
    a->micros -= MICROS_PER_SECOND;
    a->seconds += 1;
  }
}

int CmpTime(const TimeValue* a, const TimeValue* b) {
  if (a->seconds != b->seconds) return a->seconds < b->seconds ? -1 : 1;
  if (a->micros != b->micros) return a->micros < b->micros ? -1 : 1;
  return 0;
}

void Delay(int32_t milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec left;
  left.tv_sec = milliseconds / 1000;
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // A signal cuts nanosleep short; it reports the time still to sleep.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int DelayUnlessQuit(int32_t milliseconds) {
  if (milliseconds <= 0) return NativeQuitRequested();
  struct timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += milliseconds / 1000;
  end.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  // Short steps up to the end: each looks at the request first.
  for (;;) {
    if (NativeQuitRequested()) return 1;
    struct timespec now, step;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long left = (static_cast<long long>(end.tv_sec) - now.tv_sec) * 1000000000LL +
                     (end.tv_nsec - now.tv_nsec);
    if (left <= 0) return 0;
    if (left > QUIT_CHECK_NS) left = QUIT_CHECK_NS;
    step.tv_sec = 0;
    step.tv_nsec = static_cast<long>(left);
    nanosleep(&step, nullptr);
  }
}

int DateToTime(const DateFields* date, int64_t* times, int index) {
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  tm.tm_sec = date->seconds;
  tm.tm_min = date->minutes;
  tm.tm_hour = date->hours;
  tm.tm_mday = date->day;
  tm.tm_mon = date->month;
  // year - 1900 computed wide: a year near INT32_MIN must not overflow.
  int64_t year = static_cast<int64_t>(date->year) - 1900;
  if (year < INT32_MIN || year > INT32_MAX) return 0;
  tm.tm_year = static_cast<int>(year);
  tm.tm_isdst = -1;
  // mktime returns -1 both on failure and for 23:59:59 on 31 Dec 1969; the
  // weekday it fills in tells the two apart.
  tm.tm_wday = -1;
  time_t t = mktime(&tm);
  if (t == static_cast<time_t>(-1) && tm.tm_wday == -1) return 0;
  times[index] = static_cast<int64_t>(t);
  return 1;
}

int TimeToDate(const int64_t* times, DateFields* date, int index) {
  time_t t = static_cast<time_t>(times[index]);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr || tm.tm_year > INT32_MAX - 1900) {
    std::memset(date, 0, sizeof *date);
    return -1;
  }
  date->seconds = tm.tm_sec;
  date->minutes = tm.tm_min;
  date->hours = tm.tm_hour;
  date->day = tm.tm_mday;
  date->month = tm.tm_mon;
  date->year = tm.tm_year + 1900;
  return 0;
}

int GetTimeZoneMinutes(int* daylight) {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  if (daylight) *daylight = tm.tm_isdst > 0 ? 1 : 0;
  char zone[16];
  if (strftime(zone, sizeof zone, "%z", &tm) == 0) return 0;
  int hours = 0, minutes = 0;
  if (zone[0] == '\0' || sscanf(zone + 1, "%2d%2d", &hours, &minutes) < 1) return 0;
  int west = hours * 60 + minutes;
  return zone[0] == '+' ? -west : west;
}

void FormatDateTime(int kind, char* text, size_t size, char* text2, size_t size2) {
  bool haveFirst = text != nullptr && size > 0;
  bool haveSecond = text2 != nullptr && size2 > 0;
  time_t now = time(nullptr);
  struct tm tm;
  if (kind == 4) {
    gmtime_r(&now, &tm);
  } else {
    localtime_r(&now, &tm);
  }
  switch (kind) {
    case 0:
      if (haveFirst) formatInUserLocale(text, size, "%x", D_FMT, &tm);
      break;
    case 1:
    case 4:
      if (haveFirst)
        snprintf(text, size, "%.2d-%.2d-%d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
      if (haveSecond) snprintf(text2, size2, "%.2d:%.2d:%.2d", tm.tm_hour, tm.tm_min, tm.tm_sec);
      break;
    case 2:
      if (haveFirst) snprintf(text, size, "%.2d:%.2d:%.2d", tm.tm_hour, tm.tm_min, tm.tm_sec);
      break;
    case 3:
      if (haveFirst) formatInUserLocale(text, size, "%A", 0, &tm);
      break;
    default:
      break;
  }
}
