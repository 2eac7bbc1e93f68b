// The network library over a network-adapter plug-in (the test module
// "testnet", plain sockets): what the adapter is told, the address queries
// it answers, the codes it returns, and an https:// transfer through it.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "libs/libs.h"
#include "libs/network_private.h"
#include "tests/libs/netpeer.h"
#include "tests/plugins/plugin_fixture.h"

namespace {

using plugintest::PluginTest;

class NetworkAdapterTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    Install("testnet");
    ASSERT_EQ(ScanAndRegister(), ERR_NONE);
    VmPushValue(L, VM_GLOBALS_INDEX);
    ASSERT_EQ(OpenNetworkLibrary(L), ERR_NONE);
    VmSetTop(L, 0);
    force = plugintest::ModuleSymbol<void (*)(int32_t, int32_t)>(root + "/Plugins/testnet.qmp",
                                                                 "TestNetForce");
    ASSERT_NE(force, nullptr);
  }
  void TearDown() override {
    force(0, 0);
    PluginTest::TearDown();
  }

  // Calls the command with the values pushed by args, under a protected
  // trampoline that keeps the code the command returned; results start at
  // index 1.
  ErrorCode Call(const char* name, const std::function<void()>& args) {
    VmSetTop(L, 0);
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    VmPushString(L, lower.c_str());
    VmGetTable(L, VM_GLOBALS_INDEX);
    args();
    static ErrorCode returned;
    static int count;
    returned = ERR_NONE;
    count = VmGetTop(L) - 1;
    VmPushCClosure(
        L,
        [](VmState* L) {
          returned = VmCall(L, count, VM_MULTRET);
          return VmGetTop(L);
        },
        0);
    VmInsert(L, 1);
    ErrorCode error = VmPCall(L, VmGetTop(L) - 1, VM_MULTRET, 0);
    return error ? error : returned;
  }
  std::string Text(int index) { return std::string(VmToString(L, index), VmStrLen(L, index)); }

  void (*force)(int32_t, int32_t) = nullptr;
};

TEST_F(NetworkAdapterTest, ConnectionsThroughTheAdapter) {
  int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(server, 4), 0);
  socklen_t len = sizeof a;
  getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  std::thread echo([&] {
    int c = accept(server, nullptr, nullptr);
    char b[16];
    ssize_t n = recv(c, b, sizeof b, 0);
    if (n > 0) send(c, b, static_cast<size_t>(n), 0);
    close(c);
  });
  // An ssl request is handed on; the adapter opens it, so it stands.
  ASSERT_EQ(Call("OpenConnection",
                 [&] {
                   VmPushNumber(L, 1);
                   VmPushString(L, "127.0.0.1");
                   VmPushNumber(L, port);
                   VmNewTable(L);
                   SetTableFieldInt(L, "ssl", 1);
                 }),
            ERR_NONE);
  auto lastOptions = plugintest::ModuleSymbol<void (*)(QmTagItem*)>(root + "/Plugins/testnet.qmp",
                                                                    "TestNetLastOptions");
  ASSERT_NE(lastOptions, nullptr);
  QmTagItem options[3];
  lastOptions(options);
  EXPECT_EQ(options[0].tag, 1u);
  EXPECT_EQ(options[0].data, 1u);
  EXPECT_EQ(options[1].tag, 2u);
  EXPECT_EQ(options[1].data, 10000u);
  EXPECT_EQ(options[2].tag, 0u);
  struct Query {
    const char* command;
    std::string value;
  } queries[] = {
      {"GetLocalIP", "127.0.0.1"},
      {"GetConnectionIP", "127.0.0.1"},
      {"GetConnectionPort", std::to_string(port)},
      {"GetConnectionProtocol", "0"},
  };
  for (const Query& q : queries) {
    ASSERT_EQ(Call(q.command, [&] { VmPushNumber(L, 1); }), ERR_NONE) << q.command;
    EXPECT_EQ(Text(1), q.value) << q.command;
  }
  ASSERT_EQ(Call("GetLocalPort", [&] { VmPushNumber(L, 1); }), ERR_NONE);
  EXPECT_GT(VmToNumber(L, 1), 0);
  char name[64];
  GetConnectionAdapterName(ObjectId{nullptr, 1}, name, sizeof name);
  EXPECT_STREQ(name, "testnet");
  ASSERT_EQ(Call("SendData",
                 [&] {
                   VmPushNumber(L, 1);
                   VmPushString(L, "echo");
                 }),
            ERR_NONE);
  ASSERT_EQ(Call("ReceiveData",
                 [&] {
                   VmPushNumber(L, 1);
                   VmPushNumber(L, RECEIVEALL);
                 }),
            ERR_NONE);
  EXPECT_EQ(Text(1), "echo");
  EXPECT_EQ(VmToNumber(L, 3), 1);
  echo.join();
  close(server);
  // An adapter string naming only the adapter, which refuses the host.
  EXPECT_EQ(Call("OpenConnection",
                 [&] {
                   VmPushNumber(L, 2);
                   VmPushString(L, "refuse.invalid");
                   VmPushNumber(L, port);
                   VmNewTable(L);
                   SetTableFieldString(L, "adapter", "testnet");
                 }),
            ERR_SOCKET);
  EXPECT_STREQ(GetErrorArgString(), "connection refused");
}

TEST_F(NetworkAdapterTest, SecureTransfersAndAdapterCodes) {
  char pattern[] = "/tmp/qmnetadXXXXXX";
  std::string files = mkdtemp(pattern);
  PeerProcess peer("http", files);
  ASSERT_GT(peer.port, 0);
  std::string url = "https://127.0.0.1:" + std::to_string(peer.port) + "/chunk5";
  auto download = [&] {
    return Call("DownloadFile", [&] {
      VmPushString(L, url.c_str());
      VmNewTable(L);
      SetTableFieldString(L, "adapter", "testnet");
    });
  };
  ASSERT_EQ(download(), ERR_NONE);
  EXPECT_EQ(Text(1), "hello");
  struct Case {
    int32_t receive, send;
    ErrorCode code;
    const char* argument;
  } cases[] = {
      {QM_NET_CLOSED, 0, ERR_RECVCLOSED, nullptr},
      {QM_NET_RECEIVETIMEOUT, 0, ERR_RECVTIMEOUT, nullptr},
      {0, QM_NET_SENDTIMEOUT, ERR_SOCKET, "timeout"},
      {1424, 0, ERR_RECVUNKNOWN, nullptr},
  };
  ASSERT_EQ(Call("SetNetworkTimeout", [&] { VmPushNumber(L, 200); }), ERR_NONE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    force(c.receive, c.send);
    EXPECT_EQ(download(), c.code);
    if (c.argument) {
      EXPECT_STREQ(GetErrorArgString(), c.argument);
    }
  }
  force(0, 0);
  std::system(("rm -rf " + files).c_str());
}

}  // namespace
