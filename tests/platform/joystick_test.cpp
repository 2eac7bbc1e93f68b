// Joysticks through FIFOs that stand in for the devices: the scan order and
// its fallback path, events fed as 8-byte records, the direction table and
// the absence of devices.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/joystick_private.h"

namespace {

TEST(JoystickDirection, Table) {
  struct Case {
    int32_t h, v, dir;
  };
  const Case cases[] = {
      {0, -32767, JOYUP},
      {32767, -32767, JOYUPRIGHT},
      {32767, 0, JOYRIGHT},
      {32767, 32767, JOYDOWNRIGHT},
      {0, 32767, JOYDOWN},
      {-32767, 32767, JOYDOWNLEFT},
      {-32767, 0, JOYLEFT},
      {-32767, -32767, JOYUPLEFT},
      {0, 0, JOYNODIR},
      // The dead zone's edges are centred; one step beyond is not.
      {16000, -16000, JOYNODIR},
      {-16000, 16000, JOYNODIR},
      {16001, 0, JOYRIGHT},
      {0, -16001, JOYUP},
      {-16001, 16001, JOYDOWNLEFT},
  };
  for (const Case& c : cases) EXPECT_EQ(JoystickDirection(c.h, c.v), c.dir) << c.h << "," << c.v;
}

// A temporary directory with "input/js<n>" and "js<n>" FIFOs as devices.
class FakeJoysticks : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qmjoyXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(mkdir((dir_ + "/input").c_str(), 0700), 0);
    SetJoystickDevicePrefixes((dir_ + "/input/js").c_str(), (dir_ + "/js").c_str());
    FreeJoysticks();
  }
  void TearDown() override {
    FreeJoysticks();
    SetJoystickDevicePrefixes(nullptr, nullptr);
    for (int fd : writers_) close(fd);
    for (const std::string& p : made_) unlink(p.c_str());
    rmdir((dir_ + "/input").c_str());
    rmdir(dir_.c_str());
  }
  void makeDevice(const std::string& rel) {
    std::string p = dir_ + "/" + rel;
    ASSERT_EQ(mkfifo(p.c_str(), 0600), 0) << p;
    made_.push_back(p);
  }
  // Opened after the scan, which holds the reading end.
  int writer(const std::string& rel) {
    int fd = open((dir_ + "/" + rel).c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_GE(fd, 0) << rel;
    writers_.push_back(fd);
    return fd;
  }
  static std::vector<unsigned char> event(int16_t value, uint8_t type, uint8_t number) {
    std::vector<unsigned char> rec(8, 0);
    std::memcpy(rec.data() + 4, &value, 2);
    rec[6] = type;
    rec[7] = number;
    return rec;
  }
  static void send(int fd, const std::vector<unsigned char>& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  std::string dir_;
  std::vector<std::string> made_;
  std::vector<int> writers_;
};

TEST_F(FakeJoysticks, NoDeviceAtAll) {
  int32_t count = -1;
  EXPECT_EQ(ScanJoysticks(&count), ERR_NONE);
  EXPECT_EQ(count, 0);
  int32_t dir = -1;
  uint32_t buttons = 7;
  EXPECT_EQ(GetJoystickDevice(0, &dir, &buttons), ERR_NOJOYATPORT);
  EXPECT_EQ(GetJoystickDevice(-1, nullptr, nullptr), ERR_NOJOYATPORT);
  PollJoysticks();
}

TEST_F(FakeJoysticks, ScanOrderAndEvents) {
  makeDevice("input/js0");
  makeDevice("js1");        // found through the fallback path
  makeDevice("input/js3");  // after the gap at 2: never seen
  int32_t count = 0;
  ASSERT_EQ(GetJoystickDevice(5, nullptr, nullptr), ERR_NOJOYATPORT);  // scans first
  ASSERT_EQ(ScanJoysticks(&count), ERR_NONE);
  EXPECT_EQ(count, 2);
  int w0 = writer("input/js0");
  int w1 = writer("js1");

  std::vector<unsigned char> batch;
  auto add = [&](int16_t value, uint8_t type, uint8_t number) {
    auto rec = event(value, type, number);
    batch.insert(batch.end(), rec.begin(), rec.end());
  };
  add(1, 0x01 | 0x80, 0);  // initial state of button 0 (init flag set)
  add(1, 0x01, 31);        // highest button
  add(1, 0x01, 32);        // beyond the 32 bits: ignored
  add(1, 0x01, 5);
  add(0, 0x01, 5);       // released again
  add(20000, 0x02, 0);   // right
  add(-20000, 0x02, 1);  // up ...
  add(-100, 0x02, 2);    // ... but the third axis is the last vertical value
  send(w0, batch);
  send(w1, event(-32767, 0x02, 0));
  PollJoysticks();

  int32_t dir = -1;
  uint32_t buttons = 0;
  ASSERT_EQ(GetJoystickDevice(0, &dir, &buttons), ERR_NONE);
  EXPECT_EQ(buttons, 0x80000001u);
  EXPECT_EQ(dir, JOYRIGHT);
  ASSERT_EQ(GetJoystickDevice(1, &dir, &buttons), ERR_NONE);
  EXPECT_EQ(dir, JOYLEFT);
  EXPECT_EQ(buttons, 0u);
  EXPECT_EQ(GetJoystickDevice(2, &dir, &buttons), ERR_NOJOYATPORT);

  // A record split across two reads still counts once it is whole.
  auto rec = event(-20000, 0x02, 1);
  send(w0, std::vector<unsigned char>(rec.begin(), rec.begin() + 3));
  PollJoysticks();
  ASSERT_EQ(GetJoystickDevice(0, &dir, nullptr), ERR_NONE);
  EXPECT_EQ(dir, JOYRIGHT);
  send(w0, std::vector<unsigned char>(rec.begin() + 3, rec.end()));
  PollJoysticks();
  ASSERT_EQ(GetJoystickDevice(0, &dir, nullptr), ERR_NONE);
  EXPECT_EQ(dir, JOYUPRIGHT);

  // The scan runs once: a device added later is not seen until the list is
  // freed, and the next query scans again.
  makeDevice("input/js2");
  ASSERT_EQ(ScanJoysticks(&count), ERR_NONE);
  EXPECT_EQ(count, 2);
  FreeJoysticks();
  ASSERT_EQ(ScanJoysticks(&count), ERR_NONE);
  EXPECT_EQ(count, 4);
}

TEST_F(FakeJoysticks, AllocationFailure) {
  makeDevice("input/js0");
  makeDevice("input/js1");
  for (uint64_t n = 1;; n++) {
    FreeJoysticks();
    SetAllocFailure(n, false);
    int32_t count = -1;
    ErrorCode rc = ScanJoysticks(&count);
    bool injected = GetAllocFailureCount() > 0;
    SetAllocFailure(0, false);
    if (!injected) {
      EXPECT_EQ(rc, ERR_NONE);
      EXPECT_EQ(count, 2);
      break;
    }
    EXPECT_EQ(rc, ERR_MEM) << n;
    EXPECT_EQ(count, 0) << n;
  }
}

}  // namespace
