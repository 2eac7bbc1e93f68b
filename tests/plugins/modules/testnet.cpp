// Test plug-in "testnet": a network adapter over plain TCP
// sockets. It takes any host, with or without a scheme in front ("https://h/"
// is h), except hosts beginning "refuse". TestNetLastOptions copies the
// option tags of the last OpenConnection; TestNetForce makes ReceiveData
// and SendData return fixed codes (0: behave normally).
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugins/qmplugin.h"

namespace {

const PluginHostApi* host = nullptr;
QmTagItem lastOptions[3] = {};
int32_t forcedReceive = 0;
int32_t forcedSend = 0;

struct Connection {
  int fd;
};

bool waitFor(int fd, short events) {
  pollfd p = {fd, events, 0};
  return poll(&p, 1, 10) == 1;
}

int32_t addressOf(int fd, bool local, char* text, int32_t* port) {
  sockaddr_storage a = {};
  socklen_t len = sizeof a;
  int rc = local ? getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len)
                 : getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (rc != 0) return 1414;
  char h[NI_MAXHOST], s[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&a), len, h, sizeof h, s, sizeof s,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return 1414;
  if (text) {
    // Numeric host names are far shorter than the address buffer.
    std::strncpy(text, h, QM_NET_ADDRESS_SIZE - 1);
    text[QM_NET_ADDRESS_SIZE - 1] = '\0';
  }
  if (port) *port = std::atoi(s);
  return 0;
}

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  host = api;
  base->capabilities = PLUGINCAPS_NETWORKADAPTER;
  base->version = 1;
  base->moduleName = "testnet";
  return api->system->addToLoaderList(base, PLUGINCAPS_NETWORKADAPTER) == 0 ? 1 : 0;
}

void ClosePlugin() {}

void TestNetLastOptions(QmTagItem* out) { std::memcpy(out, lastOptions, sizeof lastOptions); }

void TestNetForce(int32_t receive, int32_t send) {
  forcedReceive = receive;
  forcedSend = send;
}

void* OpenConnection(const char* name, int32_t port, const QmTagItem* options, int32_t) {
  for (int i = 0; i < 3; i++) {
    lastOptions[i] = options[i];
    if (options[i].tag == 0) break;
  }
  std::string h = name;
  size_t scheme = h.find("://");
  if (scheme != std::string::npos) h = h.substr(scheme + 3);
  if (!h.empty() && h.back() == '/') h.pop_back();
  if (h.compare(0, 6, "refuse") == 0) return nullptr;
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(h.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return nullptr;
  int fd = socket(list->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, list->ai_addr, list->ai_addrlen) != 0) {
    if (fd >= 0) close(fd);
    freeaddrinfo(list);
    return nullptr;
  }
  freeaddrinfo(list);
  auto* c = static_cast<Connection*>(host->system->allocMemory(sizeof(Connection), 0));
  c->fd = fd;
  return c;
}

void CloseConnection(void* handle) {
  auto* c = static_cast<Connection*>(handle);
  close(c->fd);
  host->system->freeMemory(c);
}

int32_t GetConnectionInfo(void* handle, QmConnectionInfoRequest* request) {
  auto* c = static_cast<Connection*>(handle);
  switch (request->code) {
    case 1:
      return addressOf(c->fd, true, static_cast<char*>(request->result), nullptr);
    case 2:
      return addressOf(c->fd, true, nullptr, static_cast<int32_t*>(request->result));
    case 3:
      return addressOf(c->fd, false, static_cast<char*>(request->result), nullptr);
    case 4:
      return addressOf(c->fd, false, nullptr, static_cast<int32_t*>(request->result));
    default:
      return 1055;
  }
}

int32_t ReceiveData(void* handle, void* buffer, int32_t size, int32_t* received, uintptr_t) {
  auto* c = static_cast<Connection*>(handle);
  *received = 0;
  if (forcedReceive) return forcedReceive;
  if (!waitFor(c->fd, POLLIN)) return QM_NET_RECEIVETIMEOUT;
  ssize_t n = recv(c->fd, buffer, static_cast<size_t>(size), 0);
  if (n == 0) return QM_NET_CLOSED;
  if (n < 0) return 1424;
  *received = static_cast<int32_t>(n);
  return 0;
}

int32_t SendData(void* handle, const void* data, int32_t size, int32_t* sent, uintptr_t) {
  auto* c = static_cast<Connection*>(handle);
  *sent = 0;
  if (forcedSend) return forcedSend;
  if (!waitFor(c->fd, POLLOUT)) return QM_NET_SENDTIMEOUT;
  ssize_t n = send(c->fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0) return QM_NET_CLOSED;
  *sent = static_cast<int32_t>(n);
  return 0;
}

}  // extern "C"
