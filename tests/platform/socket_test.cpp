// Socket back end on loopback only (IPv4 and IPv6) against peers made in the
// test: connect, accept, transfer, peer close and reset, zero block time,
// descriptors beyond what select holds, look-ups of local names and the
// error texts. SIGPIPE keeps its default action here, so a send that raised
// it would end the test program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <ostream>
#include <string>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "libs/network_private.h"

namespace {

// The back end's time-out arithmetic and status texts are the network
// library's, which installs them when it opens.
class SocketHooks : public ::testing::Environment {
 public:
  void SetUp() override { SetSocketLibraryHooks(GetRemainingTimeout, SocketStatusText); }
};
::testing::Environment* const socketHooks = ::testing::AddGlobalTestEnvironment(new SocketHooks);

SocketTimeout limit(double blockSeconds) { return {blockSeconds, -1.0, GetTimeSeconds()}; }

struct Family {
  const char* name;
  int domain;
};
void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

// A listening socket and a connected pair on loopback of one family.
class Loopback : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    domain_ = GetParam().domain;
    ASSERT_EQ(CreateSocketHandle(&server_, domain_, SOCK_STREAM, 0), 0);
    ASSERT_EQ(SetSocketNonBlocking(server_), 0);
    loopback(&addr_, &addrLen_, 0);
    int32_t rc = BindSocket(server_, reinterpret_cast<sockaddr*>(&addr_), addrLen_);
    if (rc == EADDRNOTAVAIL && domain_ == AF_INET6) GTEST_SKIP() << "no IPv6 loopback";
    ASSERT_EQ(rc, 0) << SocketErrorText(rc);
    ASSERT_EQ(ListenSocket(server_, 4), 0);
    socklen_t len = sizeof addr_;
    ASSERT_EQ(getsockname(server_, reinterpret_cast<sockaddr*>(&addr_), &len), 0);
  }
  void TearDown() override {
    CloseSocketHandle(&client_);
    CloseSocketHandle(&accepted_);
    CloseSocketHandle(&server_);
  }
  void loopback(sockaddr_storage* a, uint32_t* len, uint16_t port) {
    std::memset(a, 0, sizeof *a);
    if (domain_ == AF_INET) {
      auto* in = reinterpret_cast<sockaddr_in*>(a);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      in->sin_port = htons(port);
      *len = sizeof *in;
    } else {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(a);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_loopback;
      in6->sin6_port = htons(port);
      *len = sizeof *in6;
    }
  }
  void connectPair() {
    ASSERT_EQ(CreateSocketHandle(&client_, domain_, SOCK_STREAM, 0), 0);
    ASSERT_EQ(SetSocketNonBlocking(client_), 0);
    SocketTimeout t = limit(5);
    ASSERT_EQ(ConnectSocket(client_, reinterpret_cast<sockaddr*>(&addr_), addrLen_, &t), 0);
    sockaddr_storage peer;
    uint32_t peerLen = sizeof peer;
    ASSERT_EQ(AcceptSocket(server_, &accepted_, reinterpret_cast<sockaddr*>(&peer), &peerLen, &t),
              0);
    ASSERT_GE(accepted_, 0);
    EXPECT_EQ(peer.ss_family, domain_);
    ASSERT_EQ(SetSocketNonBlocking(accepted_), 0);
  }
  // Blocks (up to 5 s) until the descriptor has something to report.
  static void awaitEvent(int fd) {
    pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
  }

  int domain_ = AF_INET;
  int32_t server_ = -1, client_ = -1, accepted_ = -1;
  sockaddr_storage addr_;
  uint32_t addrLen_ = 0;
};

TEST_P(Loopback, TransferAndPeerClose) {
  connectPair();
  SocketTimeout t = limit(5);
  SocketTimeout never = limit(0);
  char buf[16];
  size_t n = 99;

  // Nothing pending and a block time of 0: time-out at once.
  EXPECT_EQ(ReceiveSocket(client_, buf, sizeof buf, &n, &never), SOCKET_TIMEOUT);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(PeekSocketByte(client_, &never, false), SOCKET_TIMEOUT);
  int32_t extra = 7;
  EXPECT_EQ(AcceptSocket(server_, &extra, nullptr, nullptr, &never), SOCKET_TIMEOUT);
  EXPECT_EQ(extra, -1);

  ASSERT_EQ(SendSocket(client_, "ping", 4, &n, &t), 0);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(PeekSocketByte(accepted_, &t, false), 0);  // waits for it, leaves it there
  ASSERT_EQ(ReceiveSocket(accepted_, buf, sizeof buf, &n, &t), 0);
  EXPECT_EQ(std::string(buf, n), "ping");
  EXPECT_EQ(ReceiveSocket(accepted_, buf, 0, &n, &never), 0);  // asking for nothing
  EXPECT_EQ(n, 0u);

  // The peer closes: the receive reports closed with count 0.
  CloseSocketHandle(&accepted_);
  EXPECT_EQ(accepted_, -1);
  n = 99;
  EXPECT_EQ(ReceiveSocket(client_, buf, sizeof buf, &n, &t), SOCKET_CLOSED);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(PeekSocketByte(client_, &t, false), SOCKET_CLOSED);

  // A closed handle is closed for every operation.
  int32_t none = -1;
  EXPECT_EQ(SendSocket(none, "x", 1, &n, &t), SOCKET_CLOSED);
  EXPECT_EQ(ReceiveSocket(none, buf, 1, &n, &t), SOCKET_CLOSED);
  EXPECT_EQ(AcceptSocket(none, &extra, nullptr, nullptr, &t), SOCKET_CLOSED);
  EXPECT_EQ(ConnectSocket(none, reinterpret_cast<sockaddr*>(&addr_), addrLen_, &t), SOCKET_CLOSED);
  EXPECT_EQ(WaitSocketReady(none, SOCKET_WAIT_READ, &t), SOCKET_CLOSED);
}

TEST_P(Loopback, ResetPeerGivesClosedWithoutSignal) {
  connectPair();
  linger hard = {1, 0};  // close with a reset instead of a FIN
  ASSERT_EQ(setsockopt(accepted_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  CloseSocketHandle(&accepted_);
  awaitEvent(client_);  // the reset has arrived
  SocketTimeout t = limit(5);
  size_t n = 99;
  for (int i = 0; i < 2; i++) {  // the first send meets the reset, the next a broken pipe
    EXPECT_EQ(SendSocket(client_, "data", 4, &n, &t), SOCKET_CLOSED) << i;
    EXPECT_EQ(n, 0u);
  }
}

TEST_P(Loopback, ConnectOutcomes) {
  // A port nobody listens on: bound once to find a free one, then closed.
  int32_t probe = -1;
  ASSERT_EQ(CreateSocketHandle(&probe, domain_, SOCK_STREAM, 0), 0);
  sockaddr_storage dead;
  uint32_t deadLen;
  loopback(&dead, &deadLen, 0);
  ASSERT_EQ(BindSocket(probe, reinterpret_cast<sockaddr*>(&dead), deadLen), 0);
  socklen_t len = sizeof dead;
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&dead), &len), 0);
  CloseSocketHandle(&probe);

  struct Case {
    const char* name;
    bool refused;      // to the dead port, else to the server
    bool throughPoll;  // ConnectSocketTimeout, else ConnectSocket
    int32_t result;
  };
  const Case cases[] = {
      {"refused", true, false, ECONNREFUSED},
      {"refused while polling", true, true, ECONNREFUSED},
      {"connected while polling", false, true, 0},
  };
  for (const Case& c : cases) {
    int32_t h = -1;
    ASSERT_EQ(CreateSocketHandle(&h, domain_, SOCK_STREAM, 0), 0);
    ASSERT_EQ(SetSocketNonBlocking(h), 0);
    auto* target = reinterpret_cast<sockaddr*>(c.refused ? &dead : &addr_);
    uint32_t targetLen = c.refused ? deadLen : addrLen_;
    int32_t rc;
    if (c.throughPoll) {
      ErrorCode err = -1;
      rc = ConnectSocketTimeout(nullptr, h, target, targetLen, 5000, &err);
      EXPECT_EQ(err, ERR_NONE) << c.name;
    } else {
      SocketTimeout t = limit(5);
      rc = ConnectSocket(h, target, targetLen, &t);
    }
    EXPECT_EQ(rc, c.result) << c.name << ": " << SocketErrorText(rc);
    CloseSocketHandle(&h);
  }

  // With a block time of 0 the connection goes on in the background.
  ASSERT_EQ(CreateSocketHandle(&client_, domain_, SOCK_STREAM, 0), 0);
  ASSERT_EQ(SetSocketNonBlocking(client_), 0);
  SocketTimeout never = limit(0);
  int32_t rc = ConnectSocket(client_, reinterpret_cast<sockaddr*>(&addr_), addrLen_, &never);
  EXPECT_TRUE(rc == SOCKET_TIMEOUT || rc == 0) << rc;
  SocketTimeout t = limit(5);
  EXPECT_EQ(WaitSocketReady(client_, SOCKET_WAIT_WRITE, &t), 0);
  EXPECT_EQ(AcceptSocket(server_, &accepted_, nullptr, nullptr, &t), 0);
}

TEST_P(Loopback, Datagrams) {
  int32_t a = -1, b = -1;
  ASSERT_EQ(CreateSocketHandle(&a, domain_, SOCK_DGRAM, 0), 0);
  ASSERT_EQ(CreateSocketHandle(&b, domain_, SOCK_DGRAM, 0), 0);
  sockaddr_storage addr;
  uint32_t len;
  loopback(&addr, &len, 0);
  ASSERT_EQ(BindSocket(b, reinterpret_cast<sockaddr*>(&addr), len), 0);
  socklen_t slen = sizeof addr;
  ASSERT_EQ(getsockname(b, reinterpret_cast<sockaddr*>(&addr), &slen), 0);
  ASSERT_EQ(SetSocketNonBlocking(a), 0);
  SocketTimeout t = limit(5), never = limit(0);
  char buf[16];
  size_t n = 0;

  EXPECT_EQ(PeekSocketByte(b, &never, true), SOCKET_TIMEOUT);
  ASSERT_EQ(SendToSocket(a, "dg", 2, &n, reinterpret_cast<sockaddr*>(&addr), len, &t), 0);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(PeekSocketByte(b, &t, true), 0);
  sockaddr_storage from;
  uint32_t fromLen = sizeof from;
  ASSERT_EQ(
      ReceiveFromSocket(b, buf, sizeof buf, &n, reinterpret_cast<sockaddr*>(&from), &fromLen, &t),
      0);
  EXPECT_EQ(std::string(buf, n), "dg");
  EXPECT_EQ(from.ss_family, domain_);

  // An empty datagram is data, not a closed connection.
  ASSERT_EQ(SendToSocket(a, "", 0, &n, reinterpret_cast<sockaddr*>(&addr), len, &t), 0);
  n = 99;
  EXPECT_EQ(ReceiveFromSocket(b, buf, sizeof buf, &n, nullptr, nullptr, &t), 0);
  EXPECT_EQ(n, 0u);
  CloseSocketHandle(&a);
  CloseSocketHandle(&b);
}

INSTANTIATE_TEST_SUITE_P(Families, Loopback,
                         ::testing::Values(Family{"IPv4", AF_INET}, Family{"IPv6", AF_INET6}),
                         [](const ::testing::TestParamInfo<Family>& info) {
                           return info.param.name;
                         });

TEST(SocketLimits, DescriptorBeyondSelect) {
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  if (old.rlim_max != RLIM_INFINITY && old.rlim_max < 1100)
    GTEST_SKIP() << "descriptor limit too low";
  rlimit raised = old;
  raised.rlim_cur = old.rlim_max == RLIM_INFINITY ? 4096 : std::min<rlim_t>(old.rlim_max, 4096);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

  int32_t listener = -1;
  ASSERT_EQ(CreateSocketHandle(&listener, AF_INET, SOCK_STREAM, 0), 0);
  sockaddr_in in = {};
  in.sin_family = AF_INET;
  in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(BindSocket(listener, reinterpret_cast<sockaddr*>(&in), sizeof in), 0);
  ASSERT_EQ(ListenSocket(listener, 1), 0);
  int32_t high = dup2(listener, 1030);
  ASSERT_EQ(high, 1030);
  CloseSocketHandle(&listener);

  SocketTimeout t = limit(1);
  int32_t accepted = -1;
  EXPECT_EQ(WaitSocketReady(high, SOCKET_WAIT_READ, &t), EINVAL);
  EXPECT_EQ(AcceptSocket(high, &accepted, nullptr, nullptr, &t),
            EINVAL);  // nothing pending: must wait
  fd_set set;
  FD_ZERO(&set);
  errno = 0;
  EXPECT_EQ(WaitSocketTimeout(FD_SETSIZE + 1, &set, nullptr, nullptr, &t), -1);
  EXPECT_EQ(errno, EINVAL);
  CloseSocketHandle(&high);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
}

TEST(SocketTexts, ErrorTexts) {
  struct Case {
    const char* name;
    const char* (*fn)(int32_t);
    int32_t code;
    std::string text;
  };
  const Case cases[] = {
      {"closed", SocketErrorText, -2, "closed"},
      {"timeout", SocketErrorText, -1, "timeout"},
      {"zero", SocketErrorText, 0, "unknown error"},
      {"not found", SocketErrorText, -3, "unknown error"},
      {"errno given", SocketErrorText, ECONNREFUSED, strerror(ECONNREFUSED)},
      {"resolver closed", ResolverErrorText, -2, "closed"},
      {"resolver host", ResolverErrorText, HOST_NOT_FOUND, hstrerror(HOST_NOT_FOUND)},
      {"badflags", AddrInfoErrorText, EAI_BADFLAGS, "invalid value for ai_flags"},
      {"noname", AddrInfoErrorText, EAI_NONAME, "host or service not provided, or not known"},
      {"again", AddrInfoErrorText, EAI_AGAIN, "temporary failure in name resolution"},
      {"fail", AddrInfoErrorText, EAI_FAIL, "non-recoverable failure in name resolution"},
      {"family", AddrInfoErrorText, EAI_FAMILY, "ai_family not supported"},
      {"socktype", AddrInfoErrorText, EAI_SOCKTYPE, "ai_socktype not supported"},
      {"service", AddrInfoErrorText, EAI_SERVICE, "service not supported for socket type"},
      {"memory", AddrInfoErrorText, EAI_MEMORY, "memory allocation failure"},
      {"overflow", AddrInfoErrorText, EAI_OVERFLOW, "argument buffer overflow"},
      {"other", AddrInfoErrorText, EAI_ADDRFAMILY, gai_strerror(EAI_ADDRFAMILY)},
  };
  for (const Case& c : cases) {
    errno = EBADF;  // the texts follow the code given, never errno
    const char* text = c.fn(c.code);
    ASSERT_NE(text, nullptr) << c.name;
    EXPECT_EQ(text, c.text) << c.name;
  }
  EXPECT_STREQ(SocketErrorTextOf(nullptr, ETIMEDOUT), strerror(ETIMEDOUT));
  EXPECT_EQ(AddrInfoErrorText(0), nullptr);
  errno = ENOENT;
  EXPECT_STREQ(AddrInfoErrorText(EAI_SYSTEM), strerror(ENOENT));
  EXPECT_EQ(IgnoreBrokenPipe(), 1);
  signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(NetCleanupStub(), 1);
}

TEST(SocketLookups, LocalNamesOnly) {
  const hostent* h = nullptr;
  ASSERT_EQ(HostNameLookup("localhost", &h), 0);
  ASSERT_NE(h, nullptr);
  ASSERT_NE(h->h_addr_list[0], nullptr);
  in_addr_t loop = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(HostAddressLookup(&loop, 4, &h), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_NE(h->h_name, nullptr);
  EXPECT_EQ(HostAddressLookup(&loop, 3, &h), EINVAL);
  EXPECT_EQ(h, nullptr);
}

TEST(SocketLookups, MacAddressIsAnInterfaces) {
  char text[32] = "unchanged";
  GetMacAddress(text, sizeof text);
  if (std::string(text) == "unchanged") return;  // no interface with a hardware address
  std::string got = text;
  bool known = false;
  if (DIR* d = opendir("/sys/class/net")) {
    while (dirent* e = readdir(d)) {
      std::ifstream f(std::string("/sys/class/net/") + e->d_name + "/address");
      std::string addr;
      if (!(f >> addr)) continue;
      std::transform(addr.begin(), addr.end(), addr.begin(),
                     [](unsigned char ch) { return std::toupper(ch); });
      known = known || addr == got;
    }
    closedir(d);
  }
  EXPECT_TRUE(known) << got;
  EXPECT_NE(got, "00:00:00:00:00:00");
}

}  // namespace
