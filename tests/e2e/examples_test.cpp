// The example applets of examples/, each assembled beside copies of its
// data files and run by the built player on a private X server, with its
// sound going to ALSA's file plug-in. Each must end by itself with exit
// status 0 and no error on the debug device; while it shows its last
// picture, the window must have the property the example promises
// (colours at known points), and its console output must say what it did.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/player_run.h"
#include "tests/e2e/xvfb_suite.h"
#include "tests/platform/xvfb.h"

namespace {

// The window's pixel colours (0xRRGGBB), read once.
class Shot {
 public:
  Shot(Display* x, Window w) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(x, w, &a)) return;
    image_ = XGetImage(x, w, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height),
                       AllPlanes, ZPixmap);
  }
  ~Shot() {
    if (image_) XDestroyImage(image_);
  }
  bool valid() const { return image_ != nullptr; }
  uint32_t at(int px, int py) const {
    if (!image_ || px < 0 || py < 0 || px >= image_->width || py >= image_->height)
      return 0xFF000000;
    return static_cast<uint32_t>(XGetPixel(image_, px, py)) & 0xFFFFFF;
  }
  // Whether some pixel of the rectangle has the colour.
  bool any(int left, int top, int width, int height, uint32_t colour) const {
    for (int py = top; py < top + height; py++)
      for (int px = left; px < left + width; px++)
        if (at(px, py) == colour) return true;
    return false;
  }

 private:
  XImage* image_ = nullptr;
};

// A loopback HTTP server on a free port that answers every request with
// one fixed text body, on a thread of its own.
class TextServer {
 public:
  explicit TextServer(std::string body) : body_(std::move(body)) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd_, 4) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~TextServer() {
    stop_ = true;
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  int port() const { return port_; }

 private:
  void serve() {
    while (!stop_) {
      int client = accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      // Reads the request up to its blank line, then answers and closes.
      std::string request;
      char buffer[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                          std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
      send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(client);
    }
  }
  std::string body_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Example {
  const char* name;
  // The property of the window while the example shows its last picture;
  // null for examples with nothing to check on screen.
  std::function<bool(const Shot&)> last;
  // A text the console output must hold.
  const char* printed;
};

// Test names and messages name the example.
void PrintTo(const Example& example, std::ostream* out) { *out << example.name; }

const std::vector<Example>& Examples() {
  static const std::vector<Example> examples = {
      {"hello", nullptr, "Hello from Quillmere!"},
      // The yellow brush revealed over the gradient that replaced the
      // first picture.
      {"transition",
       [](const Shot& s) {
         return s.at(160, 120) == 0xFFE000 && s.at(10, 10) != 0x101848 &&
                s.at(10, 10) != 0xFFE000 && s.at(10, 10) != 0;
       },
       nullptr},
      // Both lines of text in their colours.
      {"text",
       [](const Shot& s) {
         return s.any(16, 30, 200, 40, 0xFFFFFF) && s.any(16, 115, 200, 20, 0xFFD048);
       },
       nullptr},
      // The box, the circle (its box's top left at 180, 20), the line and
      // the inside of the path.
      {"shapes",
       [](const Shot& s) {
         return s.at(70, 50) == 0xC02020 && s.at(220, 60) == 0x20A040 &&
                s.at(160, 220) == 0xFFFFFF && s.at(100, 190) == 0xFFE000;
       },
       nullptr},
      // Brush 3's layer is undone: the green one shows where it covered
      // it, the background beyond.
      {"layers",
       [](const Shot& s) {
         return s.at(60, 60) == 0xD03030 && s.at(200, 150) == 0x30D030 &&
                s.at(260, 200) == 0x202020;
       },
       nullptr},
      // The sprite rests at the last corner (40, 168): white frame, red
      // centre.
      {"sprite",
       [](const Shot& s) {
         return s.at(41, 169) == 0xFFFFFF && s.at(56, 184) == 0xE02020 && s.at(248, 40) == 0x183060;
       },
       nullptr},
      // The last frame: the yellow square at the bottom left of the frame.
      {"anim", [](const Shot& s) { return s.at(150, 130) == 0xFFFF40 && s.at(170, 110) == 0; },
       nullptr},
      {"sound", nullptr, nullptr},
      {"files", [](const Shot& s) { return s.any(16, 45, 250, 20, 0xFFFFFF); },
       "Read back: Quillmere 3"},
      {"http", [](const Shot& s) { return s.any(16, 45, 250, 20, 0xFFFFFF); },
       "Downloaded 20 bytes: Hello over loopback"},
      // The yellow text with its grey shadow, and the brush scaled to
      // 160 x 80 in the middle below it.
      {"shadow",
       [](const Shot& s) {
         return s.any(60, 30, 200, 40, 0xFFD048) && s.any(60, 30, 210, 45, 0x404040) &&
                s.at(160, 150) == 0x3070E0 && s.at(85, 185) == 0x3070E0 &&
                s.at(160, 195) == 0x102040;
       },
       nullptr},
  };
  return examples;
}

class ExampleRun : public e2e::XvfbSuite<::testing::TestWithParam<Example>> {};

// The viewable top-level window, or 0.
Window ShownWindow(Display* x) {
  Window root = DefaultRootWindow(x), r, parent, *children = nullptr, found = 0;
  unsigned count = 0;
  if (XQueryTree(x, root, &r, &parent, &children, &count))
    for (unsigned i = 0; i < count; i++) {
      XWindowAttributes a;
      if (XGetWindowAttributes(x, children[i], &a) && a.map_state == IsViewable)
        found = children[i];
    }
  if (children) XFree(children);
  return found;
}

TEST_P(ExampleRun, EndsCleanlyAndShowsWhatItPromises) {
  const Example& example = GetParam();
  const std::string qmasm = std::string(QM_BINARY_DIR) + "/tools/qmasm/qmasm";

  e2e::TempDir dir;
  namespace fs = std::filesystem;
  const fs::path source = fs::path(QM_SOURCE_DIR) / "examples" / example.name;
  for (const fs::directory_entry& entry : fs::directory_iterator(source))
    if (entry.path().extension() != ".qasm")
      fs::copy_file(entry.path(), fs::path(dir.path()) / entry.path().filename());
  const std::string applet = dir / (std::string(example.name) + ".qma");
  // Assembled by the qmasm program as the README does it: its named
  // constants take the player's values.
  {
    const fs::path text = source / (std::string(example.name) + ".qasm");
    ASSERT_TRUE(fs::exists(text));
    std::string command = qmasm + " -f qma -o '" + applet + "' '" + text.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  // Sound goes to ALSA's file plug-in over the null device; the player
  // finds the configuration in its HOME.
  {
    std::ofstream rc(dir / ".asoundrc");
    rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"" << (dir / "sound.raw")
       << "\"\n  format \"raw\"\n}\n";
  }
  TextServer http("Hello over loopback!");
  std::vector<std::string> args{"-debugdevice", "stdout", applet};
  if (std::string(example.name) == "http") {
    ASSERT_NE(http.port(), 0);
    args.push_back("-url");
    args.push_back("http://127.0.0.1:" + std::to_string(http.port()) + "/hello.txt");
  }

  Display* x = XOpenDisplay(server_->name().c_str());
  ASSERT_NE(x, nullptr);
  const char* oldHome = getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", dir.path().c_str(), 1);
  e2e::Child player(e2e::PLAYER, args, server_->name(), dir.path());
  if (oldHome)
    setenv("HOME", savedHome.c_str(), 1);
  else
    unsetenv("HOME");

  // Watches the window until the property holds or the player ends.
  bool seen = example.last == nullptr;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!seen && !player.Exited() && std::chrono::steady_clock::now() < end) {
    if (Window w = ShownWindow(x)) {
      Shot shot(x, w);
      if (shot.valid() && example.last(shot)) seen = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  e2e::RunResult result = player.Finish();
  XCloseDisplay(x);

  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_TRUE(seen) << "the window never showed the example's last picture";
  // An error reaches the debug device as "source:line: message".
  static const std::regex errorLine("(^|\n)[^ \n]*:-?[0-9]+: ");
  EXPECT_FALSE(std::regex_search(result.out, errorLine)) << result.out;
  if (example.printed) {
    EXPECT_NE(result.out.find(example.printed), std::string::npos) << result.out;
  }
  if (std::string(example.name) == "sound") {
    // Both the sample and the module reached the output, and not as silence.
    std::ifstream in(dir / "sound.raw", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GT(bytes.size(), 100000u);
    EXPECT_NE(bytes.find_first_not_of(bytes[0]), std::string::npos);
    // The module's sixteen rows (5,760 frames each at speed 6, 16-bit
    // stereo), then the music stops: not a second pass from its top.
    constexpr size_t ONE_PASS = 16 * 5760 * 4, HALF_SECOND = 48000 / 2 * 4;
    EXPECT_GE(bytes.size(), ONE_PASS);
    EXPECT_LT(bytes.size(), ONE_PASS + HALF_SECOND);
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleRun, ::testing::ValuesIn(Examples()),
                         [](const ::testing::TestParamInfo<Example>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
