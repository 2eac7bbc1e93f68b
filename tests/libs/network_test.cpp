// The network library's connections, servers, UDP objects, names and
// events, called by name against loopback peers that the tests run in
// threads of their own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "display/display.h"
#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/network_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"
#include "runtime/runtime_private.h"
#include "tests/support/harness.h"

namespace {

struct Nil {};

// A TCP listener on 127.0.0.1 with a port of the system's choice.
struct Listener {
  int fd = -1;
  int port = 0;
  explicit Listener(int backlog = 8) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(listen(fd, backlog), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
  // The next client within five seconds, or -1.
  int Accept() const {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return -1;
    return accept(fd, nullptr, nullptr);
  }
};

// A client socket connected to 127.0.0.1:port (blocking).
int ConnectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

size_t ReadAll(int fd) {
  size_t total = 0;
  char b[4096];
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return total;
    ssize_t n = read(fd, b, sizeof b);
    if (n <= 0) return total;
    total += static_cast<size_t>(n);
  }
}

// The actions that the recording handler saw, with their ids.
std::vector<std::string> seen;

int recordHandler(VmState* L) {
  VmPushString(L, "action");
  VmGetTable(L, 1);
  std::string action = VmToString(L, -1);
  seen.push_back(action);
  if (action == "OnReceiveData") {
    // Read what waits, so that the close can be seen next.
    VmPushString(L, "receivedata");
    VmGetTable(L, VM_GLOBALS_INDEX);
    VmPushString(L, "id");
    VmGetTable(L, 1);
    VmPushNumber(L, RECEIVEALL);
    VmPushNumber(L, 0);
    VmCall(L, 3, 3);
    seen.push_back(std::string("data:") + VmToString(L, -3));
  }
  if (action == "OnConnect") {
    VmPushString(L, "clientid");
    VmGetTable(L, 1);
    seen.push_back(VmType(L, -1) == VM_TYPE_LIGHTUSERDATA ? "client:auto" : "client:?");
  }
  return 0;
}

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenNetworkLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
    seen.clear();
  }
  void TearDown() override {
    if (eventsOpen) {
      FreeAllEvents(L);
      FreeEventQueue(L);
    }
  }
  void OpenEvents() {
    ASSERT_EQ(InitEventQueue(), ERR_NONE);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenEventLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
    eventsOpen = true;
  }
  void Install(const std::vector<const char*>& names) {
    VmSetTop(L, 0);
    VmNewTable(L);
    for (const char* n : names) {
      VmPushString(L, n);
      VmPushCClosure(L, recordHandler, 0);
      VmSetTable(L, -3);
    }
    ASSERT_EQ(p.Call("InstallEventHandler", 1), ERR_NONE);
    VmSetTop(L, 0);
  }
  // Runs CheckEvent until want actions were seen or two seconds passed.
  void Pump(size_t want) {
    double end = GetTimeSeconds() + 2;
    while (seen.size() < want && GetTimeSeconds() < end) {
      VmSetTop(L, 0);
      ASSERT_EQ(p.Call("CheckEvent", 0), ERR_NONE);
      usleep(1000);
    }
    VmSetTop(L, 0);
  }

  void Push(int n) { VmPushNumber(L, n); }
  void Push(double n) { VmPushNumber(L, n); }
  void Push(const char* s) { VmPushString(L, s); }
  void Push(const std::string& s) { VmPushLString(L, s.data(), s.size()); }
  void Push(Nil) { VmPushNil(L); }
  void Push(void* p) { VmPushLightUserdata(L, p); }
  // Calls the command with the arguments; its results start at index 1.
  template <typename... A>
  ErrorCode Call(const char* name, A... args) {
    VmSetTop(L, 0);
    (Push(args), ...);
    return p.Call(name, static_cast<int>(sizeof...(args)));
  }
  std::string Text(int index) {
    size_t n = 0;
    const char* s = VmToString(L, index);
    n = s ? VmStrLen(L, index) : 0;
    return s ? std::string(s, n) : "<none>";
  }
  double Number(int index) { return VmToNumber(L, index); }
  // OpenConnection to 127.0.0.1 with number id 1.
  ErrorCode Connect(int port) { return Call("OpenConnection", 1, "127.0.0.1", port); }

  PlayerHarness p;
  VmState* L = p.L;
  bool eventsOpen = false;
};

TEST_F(NetworkTest, ArgumentAndLookUpErrors) {
  Listener listener;
  struct Case {
    const char* name;
    std::function<ErrorCode()> call;
    ErrorCode code;
    const char* argument;  // error argument text, or null
  };
  Case cases[] = {
      {"port 0", [&] { return Call("OpenConnection", 1, "127.0.0.1", 0); }, ERR_WRONGUSAGE,
       nullptr},
      {"port 65536", [&] { return Call("OpenConnection", 1, "127.0.0.1", 65536); }, ERR_WRONGUSAGE,
       nullptr},
      {"adapter string without inbuilt",
       [&] {
         VmSetTop(L, 0);
         Push(1), Push("127.0.0.1"), Push(listener.port);
         VmNewTable(L);
         SetTableFieldString(L, "adapter", "nosuchadapter");
         return p.Call("OpenConnection", 4);
       },
       ERR_SOCKET, "connection refused"},
      {"ssl without an adapter",
       [&] {
         VmSetTop(L, 0);
         Push(1), Push("127.0.0.1"), Push(listener.port);
         VmNewTable(L);
         SetTableFieldInt(L, "ssl", 1);
         return p.Call("OpenConnection", 4);
       },
       ERR_SOCKET, "no secure connection available"},
      {"server port", [&] { return Call("CreateServer", 1, 65536); }, ERR_WRONGUSAGE, nullptr},
      {"udp mode", [&] { return Call("CreateUDPObject", 1, 0, "*", 3); }, ERR_WRONGUSAGE, nullptr},
      {"udp client to any", [&] { return Call("CreateUDPObject", 1, 0, "*", 1); }, ERR_WRONGUSAGE,
       nullptr},
      {"ToIP protocol 3", [&] { return Call("ToIP", "localhost", 3); }, ERR_WRONGUSAGE, nullptr},
      {"negative time-out", [&] { return Call("SetNetworkTimeout", -1); }, ERR_WRONGUSAGE, nullptr},
      {"receive mode", [&] { return Call("ReceiveData", 1, 3); }, ERR_WRONGUSAGE, nullptr},
      {"unknown automatic id", [&] { return Call("CloseConnection", static_cast<void*>(L)); },
       ERR_FINDARRAY, nullptr},
      {"unknown server", [&] { return Call("CloseServer", 3); }, ERR_FINDSERVER, nullptr},
      {"unknown udp object", [&] { return Call("CloseUDPObject", 3); }, ERR_FINDUDPOBJECT, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetErrorArgString("");
    EXPECT_EQ(c.call(), c.code);
    if (c.argument) {
      EXPECT_STREQ(GetErrorArgString(), c.argument);
    }
  }
  EXPECT_EQ(Call("CloseConnection", 7), ERR_FINDCLIENT);
  EXPECT_EQ(GetErrorArgNumber(), 7);
  char text[256];
  GetErrorText(ERR_FINDCLIENT, text, sizeof text);
  EXPECT_STREQ(text, "Could not find connection 7!");
}

TEST_F(NetworkTest, ReceiveModes) {
  Listener listener;
  std::atomic<bool> release{false};
  std::thread peer([&] {
    int c = listener.Accept();
    ASSERT_GE(c, 0);
    ASSERT_EQ(write(c, "ab\r\ncd", 6), 6);
    while (!release) usleep(1000);
    close(c);
  });
  ASSERT_EQ(Connect(listener.port), ERR_NONE);
  ASSERT_EQ(Call("ReceiveData", 1, RECEIVELINE), ERR_NONE);
  EXPECT_EQ(Text(1), "ab");
  EXPECT_EQ(Number(2), 2);
  EXPECT_EQ(Number(3), 1);
  // The rest stayed buffered; a silent peer ends the wait after the
  // time-out since the last byte, with what arrived and flag 0.
  ASSERT_EQ(Call("SetNetworkTimeout", 300), ERR_NONE);
  double start = GetTimeSeconds();
  ASSERT_EQ(Call("ReceiveData", 1, RECEIVEALL), ERR_NONE);
  EXPECT_GE(GetTimeSeconds() - start, 0.3);
  EXPECT_EQ(Text(1), "cd");
  EXPECT_EQ(Number(2), 2);
  EXPECT_EQ(Number(3), 0);
  release = true;
  peer.join();
  // The peer closed: everything until the close, flag 1 after bytes.
  Listener second;
  std::thread sender([&] {
    int c = second.Accept();
    ASSERT_EQ(write(c, "hello", 5), 5);
    close(c);
  });
  ASSERT_EQ(Connect(second.port), ERR_NONE);
  ASSERT_EQ(Call("ReceiveData", 1, RECEIVEALL), ERR_NONE);
  EXPECT_EQ(Text(1), "hello");
  EXPECT_EQ(Number(2), 5);
  EXPECT_EQ(Number(3), 1);
  sender.join();
  // An empty send sends nothing.
  EXPECT_EQ(Call("SendData", 1, ""), ERR_NONE);
  EXPECT_EQ(Number(1), 0);
}

TEST_F(NetworkTest, CallbacksAbortAndCloseTheirConnection) {
  Listener listener;
  std::thread peer([&] {
    int c = listener.Accept();
    ASSERT_EQ(write(c, "xyz", 3), 3);
    ReadAll(c);
    close(c);
  });
  // A data callback returning 1 aborts; one that closes the connection in
  // use ends the receive with 1423 and frees it afterwards.
  ASSERT_EQ(p.Run(".function abort\n.params 1\nLOADNUM 1, 1\nRETURN 1, 2\n.end\n"
                  "CLOSURE 0, abort\nSETGLOBAL 0, \"abort\"\n"
                  ".function closer\n.params 1\nGETGLOBAL 1, \"closeconnection\"\n"
                  "LOADNUM 2, 1\nCALL 1, 2, 1\nLOADNUM 1, 0\nRETURN 1, 2\n.end\n"
                  "CLOSURE 0, closer\nSETGLOBAL 0, \"closer\"\nRETURN 0, 1"),
            ERR_NONE);
  ASSERT_EQ(Connect(listener.port), ERR_NONE);
  auto receiveWith = [&](const char* callback) {
    VmSetTop(L, 0);
    Push(1), Push(RECEIVEBYTES), Push(1);
    VmPushString(L, callback);
    VmGetTable(L, VM_GLOBALS_INDEX);
    return p.Call("ReceiveData", 4);
  };
  EXPECT_EQ(receiveWith("abort"), ERR_USERABORT);
  EXPECT_EQ(receiveWith("closer"), ERR_RECVCLOSED);
  EXPECT_EQ(Call("CloseConnection", 1), ERR_FINDCLIENT);
  peer.join();
}

TEST_F(NetworkTest, ConnectTimeoutAgainstAFullBacklog) {
  Listener listener(0);
  // Fill the accept queue; later connection attempts get no answer.
  std::vector<int> fillers;
  for (int i = 0; i < 3; i++) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(listener.port));
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  usleep(50000);
  ASSERT_EQ(Call("SetNetworkTimeout", 0), ERR_NONE);
  EXPECT_EQ(Connect(listener.port), ERR_SOCKET);
  EXPECT_STREQ(GetErrorArgString(), "timeout");
  for (int fd : fillers) close(fd);
}

TEST_F(NetworkTest, SendStreamChecksTheAnnouncedSize) {
  Listener listener;
  size_t received = 0;
  std::thread peer([&] {
    int c = listener.Accept();
    received = ReadAll(c);
    close(c);
  });
  char path[] = "/tmp/qmnetXXXXXX";
  int fd = mkstemp(path);
  std::string bytes(99, 'q');
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), 99);
  close(fd);
  ASSERT_EQ(Connect(listener.port), ERR_NONE);
  ConnectionObject* c = nullptr;
  ASSERT_EQ(FindConnectionById(ObjectId{nullptr, 1}, &c), ERR_NONE);
  StreamHandle* file = OpenFileStream(path, STREAM_READ, nullptr);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(SendStream(L, c->record, nullptr, 0, file, 100), ERR_SENDDATA);
  CloseFileStream(file);
  ASSERT_EQ(Call("CloseConnection", 1), ERR_NONE);
  peer.join();
  EXPECT_EQ(received, 99u);
  unlink(path);
}

TEST_F(NetworkTest, ServerEventsInOrder) {
  OpenEvents();
  ASSERT_EQ(Call("CreateServer", Nil{}, 0), ERR_NONE);
  ASSERT_EQ(VmType(L, 1), VM_TYPE_LIGHTUSERDATA);
  void* server = VmToUserdata(L, 1);
  ASSERT_EQ(Call("GetLocalPort", server, NETWORKSERVER), ERR_NONE);
  int port = static_cast<int>(Number(1));
  ASSERT_GT(port, 0);
  Install({"onconnect", "onreceivedata", "ondisconnect"});
  int client = ConnectTo(port);
  ASSERT_GE(client, 0);
  ASSERT_EQ(write(client, "hi", 2), 2);
  close(client);
  Pump(6);
  std::vector<std::string> want = {"OnConnect", "client:auto", "OnReceiveData", "data:hi",
                                   "OnDisconnect"};
  ASSERT_GE(seen.size(), want.size());
  seen.resize(want.size());
  EXPECT_EQ(seen, want);
  ASSERT_EQ(Call("CloseServer", server), ERR_NONE);
}

TEST_F(NetworkTest, ServerAddresses) {
  ASSERT_EQ(Call("CreateServer", 2, 0, "*", 4, IPV6), ERR_NONE);
  ASSERT_EQ(Call("GetLocalIP", 2, NETWORKSERVER), ERR_NONE);
  EXPECT_EQ(Text(1), "::");
  ASSERT_EQ(Call("GetLocalProtocol", 2, NETWORKSERVER), ERR_NONE);
  EXPECT_EQ(Number(1), IPV6);
  // A number id is replaced silently.
  ASSERT_EQ(Call("CreateServer", 2, 0, "127.0.0.1"), ERR_NONE);
  ASSERT_EQ(Call("GetLocalIP", 2, NETWORKSERVER), ERR_NONE);
  EXPECT_EQ(Text(1), "127.0.0.1");
  // A connection's addresses.
  ASSERT_EQ(Call("GetLocalPort", 2, NETWORKSERVER), ERR_NONE);
  int port = static_cast<int>(Number(1));
  ASSERT_EQ(Connect(port), ERR_NONE);
  ASSERT_EQ(Call("GetConnectionPort", 1), ERR_NONE);
  EXPECT_EQ(Number(1), port);
  ASSERT_EQ(Call("GetConnectionIP", 1), ERR_NONE);
  EXPECT_EQ(Text(1), "127.0.0.1");
  ASSERT_EQ(Call("GetConnectionProtocol", 1), ERR_NONE);
  EXPECT_EQ(Number(1), IPV4);
  EXPECT_EQ(Call("GetConnectionIP", 2, NETWORKSERVER), ERR_WRONGUSAGE);
}

TEST_F(NetworkTest, UdpObjects) {
  OpenEvents();
  ASSERT_EQ(Call("CreateUDPObject", 1, 0, "127.0.0.1"), ERR_NONE);
  ASSERT_EQ(Call("ReceiveUDPData", 1), ERR_NONE);
  EXPECT_EQ(Text(1), "");
  EXPECT_EQ(Text(2), "");
  EXPECT_EQ(Number(3), 0);
  EXPECT_EQ(Call("ReceiveUDPData", 1, 0), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("GetConnectionIP", 1, NETWORKUDP), ERR_WRONGUSAGE);
  EXPECT_EQ(Call("SendUDPData", 1, "x", "localhost", 9), ERR_SOCKET);
  EXPECT_EQ(Call("SendUDPData", 1, "", "127.0.0.1", 9), ERR_WRONGUSAGE);
  ASSERT_EQ(Call("GetLocalPort", 1, NETWORKUDP), ERR_NONE);
  int port = static_cast<int>(Number(1));
  // A second object sends to the first; its handler fires.
  Install({"onreceiveudpdata"});
  ASSERT_EQ(Call("CreateUDPObject", 2, 0, "127.0.0.1", UDPNONE), ERR_NONE);
  ASSERT_EQ(Call("SendUDPData", 2, "ping", "127.0.0.1", port), ERR_NONE);
  EXPECT_EQ(Number(1), 4);
  Pump(1);
  ASSERT_EQ(seen, std::vector<std::string>{"OnReceiveUDPData"});
  ASSERT_EQ(Call("ReceiveUDPData", 1), ERR_NONE);
  EXPECT_EQ(Text(1), "ping");
  EXPECT_EQ(Text(2), "127.0.0.1");
  EXPECT_GT(Number(3), 0);
  // A client object talks to its peer only.
  ASSERT_EQ(Call("CreateUDPObject", 3, port, "127.0.0.1", UDPCLIENT, IPV4), ERR_NONE);
  ASSERT_EQ(Call("SendUDPData", 3, "pong"), ERR_NONE);
  ASSERT_EQ(Call("GetConnectionPort", 3, NETWORKUDP), ERR_NONE);
  EXPECT_EQ(Number(1), port);
}

TEST_F(NetworkTest, Names) {
  ASSERT_EQ(Call("ResolveHostName", "localhost"), ERR_NONE);
  VmRawGetI(L, 1, 0);
  ASSERT_EQ(VmType(L, -1), VM_TYPE_TABLE);
  VmPushString(L, "address");
  VmGetTable(L, -2);
  std::string first = Text(-1);
  EXPECT_TRUE(first == "127.0.0.1" || first == "::1") << first;
  ASSERT_EQ(Call("ToIP", "localhost", IPV4), ERR_NONE);
  EXPECT_EQ(Text(1), "127.0.0.1");
  ASSERT_EQ(Call("ToHostName", "127.0.0.1"), ERR_NONE);
  EXPECT_EQ(Text(1), "localhost");
  char host[256] = "";
  gethostname(host, sizeof host);
  ASSERT_EQ(Call("GetHostName"), ERR_NONE);
  EXPECT_EQ(Text(1), host);
  ASSERT_EQ(Call("GetMACAddress"), ERR_NONE);
  EXPECT_FALSE(Text(1).empty());
  // The online probe: a listener answers, a closed port does not.
  int closedPort;
  {
    Listener gone;
    closedPort = gone.port;
  }
  Listener listener;
  SetOnlineProbe("127.0.0.1", listener.port);
  ASSERT_EQ(Call("IsOnline"), ERR_NONE);
  EXPECT_EQ(Number(1), 1);
  SetOnlineProbe("127.0.0.1", closedPort);
  ASSERT_EQ(Call("IsOnline"), ERR_NONE);
  EXPECT_EQ(Number(1), 0);
}

TEST_F(NetworkTest, AttributeReaders) {
  Listener listener;
  ASSERT_EQ(Connect(listener.port), ERR_NONE);
  ASSERT_EQ(Call("CreateServer", 5, 0, "127.0.0.1"), ERR_NONE);
  struct Case {
    int32_t type;
    ObjectId id;
    int32_t attribute;
    ErrorCode code;
    const char* value;
  } cases[] = {
      {OBJTYPE_CLIENT, {nullptr, 1}, ATTRCOUNT, ERR_NONE, "1"},
      {OBJTYPE_CLIENT, {nullptr, 1}, ATTRADAPTER, ERR_NONE, "inbuilt"},
      {OBJTYPE_CLIENT, {nullptr, 9}, ATTRADAPTER, ERR_FINDCLIENT, nullptr},
      {OBJTYPE_CLIENT, {nullptr, 1}, ATTRWIDTH, ERR_UNKNOWNATTR, nullptr},
      {OBJTYPE_SERVER, {nullptr, 5}, ATTRCOUNT, ERR_NONE, "1"},
      {OBJTYPE_SERVER, {nullptr, 5}, ATTRWIDTH, ERR_UNKNOWNATTR, nullptr},
      {OBJTYPE_UDPOBJECT, {nullptr, 5}, ATTRCOUNT, ERR_NONE, "0"},
      {OBJTYPE_UDPOBJECT, {nullptr, 5}, ATTRWIDTH, ERR_FINDUDPOBJECT, nullptr},
  };
  // Through the script command, as scripts ask.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type * 1000 + c.attribute);
    VmSetTop(L, 0);
    VmPushNumber(L, c.type);
    PushObjectId(L, c.id);
    VmPushNumber(L, c.attribute);
    EXPECT_EQ(p.Call("GetAttribute", 3), c.code);
    if (c.value) {
      EXPECT_EQ(Text(-1), c.value);
    }
    VmSetTop(L, 0);
  }
}

}  // namespace
