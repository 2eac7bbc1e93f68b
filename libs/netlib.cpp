// The "network" library's objects: the connection, server and UDP lists,
// the library settings, the connecting steps through network adapters or
// the inbuilt sockets, address and name queries, the event polls that the
// event dispatcher walks, the attribute readers, the opener and the
// shut-down.
//
// Invariant: every node in a list owns its socket or connection record; a
// node leaves its list (moving the event walk's cursor past it) before
// anything it owns is closed, and a record in use by an engine is only
// marked closed and freed when the engine lets it go.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "display/display.h"
#include "engine/engine.h"
#include "engine/optiontable.h"
#include "libs/libs.h"
#include "libs/network_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

// Longest adapter string of an option table.
constexpr size_t ADAPTER_TEXT_MAX = 255;
// Sizes of the numeric address and service texts.
constexpr size_t HOST_TEXT_SIZE = 46;
constexpr size_t SERVICE_TEXT_SIZE = 6;
// The probe of IsOnline unless a test replaces it.
constexpr const char* DEFAULT_PROBE_HOST = "example.com";
constexpr int32_t DEFAULT_PROBE_PORT = 80;
constexpr int32_t DEFAULT_TIMEOUT_MS = 10000;

// The library's state; FreeAllNetworkObjects puts it back to its start.
struct NetworkState {
  int32_t defaultProtocol = IPV4;
  int32_t timeoutMs = DEFAULT_TIMEOUT_MS;
  int socketReady = 0;
  ObjectHead* connections = nullptr;
  ObjectHead* servers = nullptr;
  ObjectHead* udpObjects = nullptr;
  // The event walk: the list (0 UDP, 1 servers, 2 connections), the node
  // to look at next and, for a connection, which of its two polls is next.
  int32_t walkList = 0;
  ObjectHead* walkNode = nullptr;
  int32_t walkPoll = 0;
  std::string probeHost = DEFAULT_PROBE_HOST;
  int32_t probePort = DEFAULT_PROBE_PORT;
};
NetworkState net;

int familyOf(int32_t protocol) {
  if (protocol == IPV4) return AF_INET;
  if (protocol == IPV6) return AF_INET6;
  return AF_UNSPEC;
}

int32_t protocolOf(int family) {
  if (family == AF_UNSPEC) return IPAUTO;
  if (family == AF_INET) return IPV4;
  if (family == AF_INET6) return IPV6;
  return IPUNKNOWN;
}

ErrorCode socketError(int32_t status) {
  SetErrorArgString(SocketErrorText(status));
  return ERR_SOCKET;
}

ErrorCode socketError(const char* text) {
  SetErrorArgString(text);
  return ERR_SOCKET;
}

// A descriptor of the family, non-blocking, IPv6-only for IPv6.
int32_t newDescriptor(int32_t* descriptor, int family, int type, int protocol) {
  int32_t rc = CreateSocketHandle(descriptor, family, type, protocol);
  if (rc != 0) return rc;
  if (family == AF_INET6) {
    int one = 1;
    setsockopt(*descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  rc = SetSocketNonBlocking(*descriptor);
  if (rc != 0) CloseSocketHandle(descriptor);
  return rc;
}

void closeSocketObject(SocketObject* s) {
  if (!s) return;
  CloseSocketHandle(&s->descriptor);
  FreeMemory(s);
}

// A socket record with time-outs 0; a descriptor when a family is given.
ErrorCode newSocketObject(int family, SocketObject** out) {
  auto* s = static_cast<SocketObject*>(AllocMemory(sizeof(SocketObject), 1));
  if (!s) return ERR_MEM;
  s->descriptor = -1;
  s->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  if (family != AF_UNSPEC) {
    int32_t rc = newDescriptor(&s->descriptor, family, SOCK_STREAM, 0);
    if (rc != 0) {
      FreeMemory(s);
      return socketError(rc);
    }
    s->family = family;
  }
  *out = s;
  return ERR_NONE;
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};
using OwnedAddrInfo = std::unique_ptr<addrinfo, AddrInfoFree>;

// The outcome of the address-trying steps.
struct TryResult {
  int32_t status = 0;      // 0 success, else the last socket status
  int resolver = 0;        // a resolver code: its text is the one to report
  ErrorCode pollCode = 0;  // the event poll asked to stop the wait
  bool pollStopped = false;
};

// Tries the addresses of host and service in order, connecting (within the
// network time-out since start) or binding, replacing the descriptor when
// an address needs another family.
TryResult tryAddresses(VmState* L, int32_t* descriptor, int32_t* family, const char* host,
                       const char* service, const addrinfo& hints, bool connect, double start) {
  TryResult r;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host, service, &hints, &list);
  if (rc != 0) {
    r.resolver = rc;
    r.status = -1;
    return r;
  }
  OwnedAddrInfo owned(list);
  r.status = SOCKET_NOTFOUND;
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (*descriptor < 0 || *family != a->ai_family) {
      CloseSocketHandle(descriptor);
      if (newDescriptor(descriptor, a->ai_family, a->ai_socktype, a->ai_protocol) != 0) continue;
      *family = a->ai_family;
    }
    if (connect) {
      double elapsedMs = (GetTimeSeconds() - start) * 1000.0;
      double left = net.timeoutMs - elapsedMs;
      auto ms = static_cast<int32_t>(left > 0 ? left : 0);
      ErrorCode pollCode = ERR_NONE;
      r.status = ConnectSocketTimeout(L, *descriptor, a->ai_addr,
                                      static_cast<uint32_t>(a->ai_addrlen), ms, &pollCode);
      if (r.status != 0 && (pollCode != ERR_NONE || vmRun.quit)) {
        r.pollStopped = true;
        r.pollCode = pollCode;
        return r;
      }
      if (r.status == 0) return r;
      if ((GetTimeSeconds() - start) * 1000.0 >= net.timeoutMs) return r;
    } else {
      r.status = BindSocket(*descriptor, a->ai_addr, static_cast<uint32_t>(a->ai_addrlen));
      if (r.status == 0) return r;
    }
  }
  return r;
}

// The error of a failed address walk.
ErrorCode tryFailure(const TryResult& r) {
  if (r.pollStopped) return vmRun.quit ? ERR_USERABORT : (r.pollCode ? r.pollCode : ERR_SOCKET);
  if (r.resolver)
    SetErrorArgString(AddrInfoErrorText(r.resolver));
  else
    SetErrorArgString(SocketErrorText(r.status));
  return vmRun.quit ? ERR_USERABORT : ERR_SOCKET;
}

// ---- Lists --------------------------------------------------------------------------------

void appendNode(ObjectHead** list, ObjectHead* node) {
  ObjectHead** link = list;
  while (*link) link = &(*link)->next;
  *link = node;
}

// Unlinks the node; the event walk moves past it.
void unlinkNode(ObjectHead** list, ObjectHead* node) {
  if (net.walkNode == node) {
    net.walkNode = node->next;
    net.walkPoll = 0;
  }
  for (ObjectHead** link = list; *link; link = &(*link)->next) {
    if (*link == node) {
      *link = node->next;
      return;
    }
  }
}

ErrorCode findNode(ObjectHead* list, ObjectId id, ErrorCode notFound, ObjectHead** out) {
  for (ObjectHead* h = list; h; h = h->next) {
    if (id.autoId ? h->autoId == id.autoId : (h->autoId == nullptr && h->number == id.number)) {
      *out = h;
      return ERR_NONE;
    }
  }
  *out = nullptr;
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return notFound;
}

void initHead(ObjectHead* head, int32_t type, ObjectId id, bool automatic) {
  head->type = type;
  head->number = automatic ? 0 : id.number;
  head->autoId = automatic ? head : nullptr;
}

ObjectId idOf(const ObjectHead* h) { return ObjectId{h->autoId, h->number}; }

void freeConnectionNode(VmState* L, ConnectionObject* c) {
  FreeConnectionRecord(c->record);
  if (c->head.data) FreeObjectDataList(L, &c->head.data);
  FreeMemory(c);
}

void freeServerNode(VmState* L, ServerObject* s) {
  closeSocketObject(s->socket);
  if (s->head.data) FreeObjectDataList(L, &s->head.data);
  FreeMemory(s);
}

void freeUdpSocket(UdpSocket* u) {
  if (!u) return;
  CloseSocketHandle(&u->descriptor);
  FreeMemory(u);
}

void freeUdpNode(VmState* L, UdpObject* u) {
  freeUdpSocket(u->socket);
  if (u->head.data) FreeObjectDataList(L, &u->head.data);
  FreeMemory(u);
}

// Closes an existing object of a number id before a create reuses it.
template <typename Node>
void dropNumbered(VmState* L, ObjectHead** list, ObjectId id, void (*freeNode)(VmState*, Node*)) {
  for (ObjectHead* h = *list; h; h = h->next) {
    if (h->autoId == nullptr && h->number == id.number) {
      unlinkNode(list, h);
      freeNode(L, reinterpret_cast<Node*>(h));
      return;
    }
  }
}

// A created object's node goes at the end of its list; an automatic id is
// pushed as the command's result.
int addCreated(VmState* L, ObjectHead** list, ObjectHead* head, bool automatic) {
  appendNode(list, head);
  if (!automatic) return 0;
  VmPushLightUserdata(L, head);
  return 1;
}

// A close command: the object of the id in argument 1, unlinked and freed.
template <typename Node>
int closeCommand(VmState* L, ObjectHead** list, ErrorCode notFound,
                 void (*freeNode)(VmState*, Node*)) {
  CheckArgCount(L, 1, 1, 0, 0);
  ObjectHead* h;
  ErrorCode error = findNode(*list, GetObjectIdArg(L, 1, nullptr), notFound, &h);
  if (error) return error;
  unlinkNode(list, h);
  freeNode(L, reinterpret_cast<Node*>(h));
  return 0;
}

// ---- Adapters -----------------------------------------------------------------------------

template <typename F>
F adapterEntry(PluginBase* base, const char* name) {
  if (base->kind == PLUGIN_KIND_BRIDGED) return nullptr;
  return reinterpret_cast<F>(GetPluginEntry(base, name));
}

// ---- Connections --------------------------------------------------------------------------

int cmdOpenConnection(VmState* L) {
  CheckArgCount(L, 3, 4, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  const char* host = VmCheckString(L, 2, nullptr);
  int32_t port = VmCheckInteger(L, 3);
  if (port < 1 || port > 65535) return ERR_WRONGUSAGE;
  int32_t protocol = net.defaultProtocol;
  int32_t ssl = 0;
  char adapters[ADAPTER_TEXT_MAX + 1] = "";
  if (VmType(L, 4) > VM_TYPE_NIL) {
    VmCheckTable(L, 4);
    OptionField rows[] = {
        {"protocol", OPTION_INT, &protocol},
        {"ssl", OPTION_INT, &ssl},
        {"adapter", OPTION_STRING, adapters, sizeof adapters},
    };
    ErrorCode error = ReadOptionTable(L, 4, rows);
    if (error) return error;
  }
  if (!automatic) dropNumbered<ConnectionObject>(L, &net.connections, id, freeConnectionNode);
  ErrorCode error = ReadySocketLayer();
  if (error) return error;
  ConnectionRecord* record = nullptr;
  error = ConnectViaAdapter(L, host, port, protocol, adapters, ssl, &record);
  if (error) return error;
  // Asked for a secure connection, no adapter took it: refuse rather than
  // talk in clear.
  if (ssl && !record->adapter) {
    FreeConnectionRecord(record);
    return socketError("no secure connection available");
  }
  auto* c = static_cast<ConnectionObject*>(AllocMemory(sizeof(ConnectionObject), 1));
  if (!c) {
    FreeConnectionRecord(record);
    return ERR_MEM;
  }
  initHead(&c->head, OBJTYPE_CLIENT, id, automatic);
  c->record = record;
  return addCreated(L, &net.connections, &c->head, automatic);
}

int cmdCloseConnection(VmState* L) {
  return closeCommand(L, &net.connections, ERR_FINDCLIENT, freeConnectionNode);
}

// ---- Servers ------------------------------------------------------------------------------

// A listening socket of the protocol's family bound to interface and port.
ErrorCode listenOn(VmState* L, const char* interface, const char* service, int family,
                   int32_t backlog, SocketObject** out) {
  SocketObject* s = nullptr;
  ErrorCode error = newSocketObject(family, &s);
  if (error) return error;
  int one = 1;
  setsockopt(s->descriptor, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  addrinfo hints = {};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  TryResult r = tryAddresses(L, &s->descriptor, &s->family, interface, service, hints, false,
                             GetTimeSeconds());
  if (r.status == 0) {
    // A descriptor made anew for another family needs the reuse switch too;
    // setting it after bind still helps the next bind after this closes.
    setsockopt(s->descriptor, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    r.status = ListenSocket(s->descriptor, backlog);
  }
  if (r.status != 0) {
    closeSocketObject(s);
    return tryFailure(r);
  }
  *out = s;
  return ERR_NONE;
}

int cmdCreateServer(VmState* L) {
  CheckArgCount(L, 1, 5, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t port = VmOptInteger(L, 2, 0);
  const char* interface = VmOptString(L, 3, "*", nullptr);
  int32_t backlog = VmOptInteger(L, 4, 32);
  int32_t protocol = VmOptInteger(L, 5, net.defaultProtocol);
  if (port < 0 || port > 65535) return ERR_WRONGUSAGE;
  if (!automatic) dropNumbered<ServerObject>(L, &net.servers, id, freeServerNode);
  ErrorCode error = ReadySocketLayer();
  if (error) return error;
  std::string where = interface;
  if (where == "*") where = protocol == IPV6 ? "::" : "0.0.0.0";
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  SocketObject* socket = nullptr;
  int family = familyOf(protocol);
  if (family != AF_UNSPEC) {
    error = listenOn(L, where.c_str(), service, family, backlog, &socket);
  } else {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(where.c_str(), nullptr, &hints, &list);
    if (rc != 0) return socketError(AddrInfoErrorText(rc));
    OwnedAddrInfo owned(list);
    error = ERR_SOCKET;
    SetErrorArgString(SocketErrorText(SOCKET_NOTFOUND));
    for (addrinfo* a = list; a; a = a->ai_next) {
      char text[NI_MAXHOST];
      rc = getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
      if (rc != 0) return socketError(AddrInfoErrorText(rc));
      error = listenOn(L, text, service, a->ai_family == AF_INET ? AF_INET : AF_INET6, backlog,
                       &socket);
      if (error != ERR_SOCKET) break;
    }
  }
  if (error) return error;
  auto* s = static_cast<ServerObject*>(AllocMemory(sizeof(ServerObject), 1));
  if (!s) {
    closeSocketObject(socket);
    return ERR_MEM;
  }
  initHead(&s->head, OBJTYPE_SERVER, id, automatic);
  s->socket = socket;
  return addCreated(L, &net.servers, &s->head, automatic);
}

int cmdCloseServer(VmState* L) {
  return closeCommand(L, &net.servers, ERR_FINDSERVER, freeServerNode);
}

// ---- UDP objects --------------------------------------------------------------------------

ErrorCode findUdp(ObjectId id, UdpObject** out) {
  ObjectHead* h;
  ErrorCode error = findNode(net.udpObjects, id, ERR_FINDUDPOBJECT, &h);
  *out = reinterpret_cast<UdpObject*>(h);
  return error;
}

int cmdCreateUDPObject(VmState* L) {
  CheckArgCount(L, 1, 5, 0, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  int32_t port = VmOptInteger(L, 2, 0);
  const char* address = VmOptString(L, 3, "*", nullptr);
  int32_t mode = VmOptInteger(L, 4, UDPSERVER);
  int32_t protocol = VmOptInteger(L, 5, net.defaultProtocol);
  if (port < 0 || port > 65535) return ERR_WRONGUSAGE;
  if (mode < UDPSERVER || mode > UDPNONE) return ERR_WRONGUSAGE;
  if (mode == UDPCLIENT && std::strcmp(address, "*") == 0) return ERR_WRONGUSAGE;
  if (!automatic) dropNumbered<UdpObject>(L, &net.udpObjects, id, freeUdpNode);
  ErrorCode error = ReadySocketLayer();
  if (error) return error;
  auto* u = static_cast<UdpSocket*>(AllocMemory(sizeof(UdpSocket), 1));
  if (!u) return ERR_MEM;
  std::unique_ptr<UdpSocket, void (*)(UdpSocket*)> owned(u, freeUdpSocket);
  u->descriptor = -1;
  int family = familyOf(protocol);
  if (family != AF_UNSPEC) {
    int32_t rc = newDescriptor(&u->descriptor, family, SOCK_DGRAM, 0);
    if (rc != 0) return socketError(rc);
    u->family = family;
  }
  if (mode != UDPNONE) {
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints = {};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_DGRAM;
    const char* host = address;
    if (mode == UDPSERVER) {
      hints.ai_flags = AI_PASSIVE;
      if (std::strcmp(address, "*") == 0) host = nullptr;
    }
    TryResult r = tryAddresses(L, &u->descriptor, &u->family, host, service, hints,
                               mode == UDPCLIENT, GetTimeSeconds());
    if (r.status != 0) return tryFailure(r);
  }
  u->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  auto* node = static_cast<UdpObject*>(AllocMemory(sizeof(UdpObject), 1));
  if (!node) return ERR_MEM;
  initHead(&node->head, OBJTYPE_UDPOBJECT, id, automatic);
  node->socket = owned.release();
  node->mode = mode;
  return addCreated(L, &net.udpObjects, &node->head, automatic);
}

int cmdCloseUDPObject(VmState* L) {
  return closeCommand(L, &net.udpObjects, ERR_FINDUDPOBJECT, freeUdpNode);
}

int cmdSendUDPData(VmState* L) {
  CheckArgCount(L, 2, 4, 0, 0);
  UdpObject* u;
  ErrorCode error = findUdp(GetObjectIdArg(L, 1, nullptr), &u);
  if (error) return error;
  size_t length = 0;
  const char* data = VmCheckString(L, 2, &length);
  if (length == 0) return ERR_WRONGUSAGE;
  UdpSocket* s = u->socket;
  size_t sent = 0;
  int32_t rc;
  if (u->mode == UDPCLIENT) {
    rc = SendSocket(s->descriptor, data, length, &sent, &s->timeout);
  } else {
    const char* host = VmCheckString(L, 3, nullptr);
    int32_t port = VmCheckInteger(L, 4);
    if (port < 1 || port > 65535) return ERR_WRONGUSAGE;
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_family = s->family;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    int gai = getaddrinfo(host, service, &hints, &list);
    if (gai != 0) return socketError(AddrInfoErrorText(gai));
    OwnedAddrInfo owned(list);
    addrinfo* target = list;
    if (s->descriptor < 0) {
      int32_t last = SOCKET_NOTFOUND;
      for (target = list; target; target = target->ai_next) {
        last = newDescriptor(&s->descriptor, target->ai_family, SOCK_DGRAM, 0);
        if (last == 0) {
          s->family = target->ai_family;
          break;
        }
      }
      if (!target) return socketError(last);
    }
    rc = SendToSocket(s->descriptor, data, length, &sent, target->ai_addr,
                      static_cast<uint32_t>(target->ai_addrlen), &s->timeout);
  }
  if (rc == SOCKET_CLOSED) return socketError("connection refused");
  if (rc != 0) return socketError(rc);
  VmPushNumber(L, static_cast<double>(sent));
  return 1;
}

int cmdReceiveUDPData(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  UdpObject* u;
  ErrorCode error = findUdp(GetObjectIdArg(L, 1, nullptr), &u);
  if (error) return error;
  int32_t length = VmOptInteger(L, 2, static_cast<int32_t>(NET_CHUNK));
  if (length < 1) return ERR_WRONGUSAGE;
  if (static_cast<size_t>(length) > NET_CHUNK) length = static_cast<int32_t>(NET_CHUNK);
  UdpSocket* s = u->socket;
  s->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  sockaddr_storage from = {};
  uint32_t fromLength = sizeof from;
  size_t got = 0;
  int32_t rc = ReceiveFromSocket(s->descriptor, s->buffer, static_cast<size_t>(length), &got,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength, &s->timeout);
  if (rc == SOCKET_TIMEOUT) {
    VmPushString(L, "");
    VmPushString(L, "");
    VmPushNumber(L, 0);
    u->datagramWaiting = 0;
    return 3;
  }
  if (rc == SOCKET_CLOSED) return socketError("connection refused");
  if (rc != 0) return socketError(rc);
  char host[NI_MAXHOST], service[NI_MAXSERV];
  int gai = getnameinfo(reinterpret_cast<sockaddr*>(&from), fromLength, host, sizeof host, service,
                        sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  if (gai != 0) return socketError(AddrInfoErrorText(gai));
  VmPushLString(L, reinterpret_cast<const char*>(s->buffer), got);
  VmPushString(L, host);
  VmPushNumber(L, std::atoi(service));
  u->datagramWaiting = 0;
  return 3;
}

// ---- Address queries ----------------------------------------------------------------------

enum class AddressPart { IP, PORT, PROTOCOL };

// The descriptor and family an address query of that kind reads, or an
// adapter connection (*record set, descriptor -1).
ErrorCode queryTarget(VmState* L, bool local, int32_t* descriptor, int32_t* family,
                      ConnectionRecord** record) {
  ObjectId id = GetObjectIdArg(L, 1, nullptr);
  int32_t type = VmOptInteger(L, 2, NETWORKCONNECTION);
  *record = nullptr;
  *descriptor = -1;
  *family = 0;
  if (type == NETWORKCONNECTION) {
    ConnectionObject* c;
    ErrorCode error = FindConnectionById(id, &c);
    if (error) return error;
    if (c->record->adapter) {
      *record = c->record;
      return ERR_NONE;
    }
    *descriptor = c->record->socket->descriptor;
    *family = c->record->socket->family;
    return ERR_NONE;
  }
  if (type == NETWORKSERVER && local) {
    ObjectHead* h;
    ErrorCode error = findNode(net.servers, id, ERR_FINDSERVER, &h);
    if (error) return error;
    auto* s = reinterpret_cast<ServerObject*>(h);
    *descriptor = s->socket->descriptor;
    *family = s->socket->family;
    return ERR_NONE;
  }
  if (type == NETWORKUDP) {
    UdpObject* u;
    ErrorCode error = findUdp(id, &u);
    if (error) return error;
    if (!local && u->mode != UDPCLIENT) return ERR_WRONGUSAGE;
    *descriptor = u->socket->descriptor;
    *family = u->socket->family;
    return ERR_NONE;
  }
  return ERR_WRONGUSAGE;
}

int addressQuery(VmState* L, bool local, AddressPart part) {
  CheckArgCount(L, 1, 2, 0, 0);
  int32_t descriptor, family;
  ConnectionRecord* record;
  ErrorCode error = queryTarget(L, local, &descriptor, &family, &record);
  if (error) return error;
  if (record) {
    if (part == AddressPart::PROTOCOL) {
      VmPushNumber(L, 0);
      return 1;
    }
    auto info = adapterEntry<QmGetConnectionInfoFunc>(record->adapter, "GetConnectionInfo");
    char text[QM_NET_ADDRESS_SIZE] = "";
    int32_t port = 0;
    QmConnectionInfoRequest request = {0, nullptr, 0};
    if (part == AddressPart::IP) {
      request.code = local ? 1 : 3;
      request.result = text;
    } else {
      request.code = local ? 2 : 4;
      request.result = &port;
    }
    int32_t rc = info ? info(record->handle, &request) : 0;
    if (rc != 0) return rc;
    text[sizeof text - 1] = '\0';
    if (part == AddressPart::IP)
      VmPushString(L, text);
    else
      VmPushNumber(L, port);
    return 1;
  }
  if (part == AddressPart::PROTOCOL) {
    VmPushNumber(L, protocolOf(family));
    return 1;
  }
  sockaddr_storage address = {};
  socklen_t length = sizeof address;
  int rc = local ? getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length)
                 : getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
  if (rc != 0) return socketError(errno);
  char host[HOST_TEXT_SIZE], service[SERVICE_TEXT_SIZE];
  int gai = getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service,
                        sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
  if (gai != 0) return socketError(AddrInfoErrorText(gai));
  if (part == AddressPart::IP)
    VmPushString(L, host);
  else
    VmPushNumber(L, std::atoi(service));
  return 1;
}

int cmdGetConnectionIP(VmState* L) { return addressQuery(L, false, AddressPart::IP); }
int cmdGetConnectionPort(VmState* L) { return addressQuery(L, false, AddressPart::PORT); }
int cmdGetConnectionProtocol(VmState* L) { return addressQuery(L, false, AddressPart::PROTOCOL); }
int cmdGetLocalIP(VmState* L) { return addressQuery(L, true, AddressPart::IP); }
int cmdGetLocalPort(VmState* L) { return addressQuery(L, true, AddressPart::PORT); }
int cmdGetLocalProtocol(VmState* L) { return addressQuery(L, true, AddressPart::PROTOCOL); }

// ---- Names --------------------------------------------------------------------------------

int cmdResolveHostName(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* host = VmCheckString(L, 1, nullptr);
  ErrorCode error = ReadySocketLayer();
  if (error) return error;
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &list);
  if (rc != 0) return socketError(AddrInfoErrorText(rc));
  OwnedAddrInfo owned(list);
  VmNewTable(L);
  int index = 0;
  for (addrinfo* a = list; a; a = a->ai_next) {
    char text[NI_MAXHOST];
    rc = getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    if (rc != 0) return socketError(AddrInfoErrorText(rc));
    VmNewTable(L);
    SetTableFieldInt(L, "protocol", protocolOf(a->ai_family));
    SetTableFieldString(L, "address", text);
    VmRawSetI(L, -2, index++);
  }
  return 1;
}

// The host entry of a name, or of an address in dotted form.
ErrorCode lookupHost(const char* host, const hostent** entry) {
  in_addr address;
  int32_t rc = inet_aton(host, &address) ? HostAddressLookup(&address, 4, entry)
                                         : HostNameLookup(host, entry);
  if (rc != 0 || !*entry) return socketError(ResolverErrorText(rc ? rc : SOCKET_NOTFOUND));
  return ERR_NONE;
}

int cmdToIP(VmState* L) {
  CheckArgCount(L, 1, 2, 0, 0);
  const char* host = VmCheckString(L, 1, nullptr);
  int32_t protocol = VmOptInteger(L, 2, net.defaultProtocol);
  if (protocol != IPV4 && protocol != IPV6) return ERR_WRONGUSAGE;
  ErrorCode error = ReadySocketLayer();
  if (error) return error;
  if (protocol == IPV4) {
    in_addr address;
    if (inet_aton(host, &address)) {
      VmPushString(L, inet_ntoa(address));
      return 1;
    }
    const hostent* entry = nullptr;
    int32_t rc = HostNameLookup(host, &entry);
    if (rc != 0 || !entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0])
      return socketError(ResolverErrorText(rc ? rc : SOCKET_NOTFOUND));
    std::memcpy(&address, entry->h_addr_list[0], sizeof address);
    VmPushString(L, inet_ntoa(address));
    return 1;
  }
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &list);
  if (rc != 0) return socketError(AddrInfoErrorText(rc));
  OwnedAddrInfo owned(list);
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family != AF_INET6) continue;
    char text[NI_MAXHOST];
    rc = getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    if (rc != 0) return socketError(AddrInfoErrorText(rc));
    VmPushString(L, text);
    return 1;
  }
  return socketError("cannot resolve hostname");
}

int cmdToHostName(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  const char* host = VmCheckString(L, 1, nullptr);
  ErrorCode error = ReadySocketLayer();
  if (error) return error;
  const hostent* entry = nullptr;
  error = lookupHost(host, &entry);
  if (error) return error;
  VmPushString(L, entry->h_name);
  return 1;
}

int cmdGetHostName(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  ErrorCode error = ReadySocketLayer();
  if (error) return error;
  char name[256];
  if (gethostname(name, sizeof name) != 0) return ERR_HOSTNAME;
  name[sizeof name - 1] = '\0';
  VmPushString(L, name);
  return 1;
}

int cmdGetMACAddress(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  ErrorCode error = ReadySocketLayer();
  if (error) return error;
  char text[32] = "Unknown";
  GetMacAddress(text, sizeof text);
  VmPushString(L, text);
  return 1;
}

int cmdIsOnline(VmState* L) {
  CheckArgCount(L, 0, 0, 0, 0);
  int online = 0;
  if (ReadySocketLayer() == ERR_NONE) {
    ConnectionRecord* record = nullptr;
    if (ConnectViaAdapter(L, net.probeHost.c_str(), net.probePort, IPAUTO, "", 0, &record) ==
        ERR_NONE) {
      FreeConnectionRecord(record);
      online = 1;
    }
  }
  VmPushNumber(L, online);
  return 1;
}

int cmdSetNetworkProtocol(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  net.defaultProtocol = VmCheckInteger(L, 1);
  return 0;
}

int cmdSetNetworkTimeout(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  int32_t ms = VmCheckInteger(L, 1);
  if (ms < 0) return ERR_WRONGUSAGE;
  net.timeoutMs = ms;
  return 0;
}

// ---- Event polls --------------------------------------------------------------------------

// A waiting client of the server becomes a connection with an automatic id.
int acceptServerClient(ServerObject* server, ObjectId* clientId) {
  SocketObject* listening = server->socket;
  listening->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  sockaddr_storage address;
  uint32_t length = listening->family == AF_INET    ? sizeof(sockaddr_in)
                    : listening->family == AF_INET6 ? sizeof(sockaddr_in6)
                                                    : sizeof address;
  int32_t fd = -1;
  if (AcceptSocket(listening->descriptor, &fd, reinterpret_cast<sockaddr*>(&address), &length,
                   &listening->timeout) != 0)
    return 0;
  auto* socket = static_cast<SocketObject*>(AllocMemory(sizeof(SocketObject), 1));
  auto* record = static_cast<ConnectionRecord*>(AllocMemory(sizeof(ConnectionRecord), 1));
  auto* c = static_cast<ConnectionObject*>(AllocMemory(sizeof(ConnectionObject), 1));
  if (!socket || !record || !c || SetSocketNonBlocking(fd) != 0) {
    FreeMemory(socket);
    FreeMemory(record);
    FreeMemory(c);
    CloseSocketHandle(&fd);
    return 0;
  }
  socket->descriptor = fd;
  socket->family = listening->family;
  socket->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  record->socket = socket;
  initHead(&c->head, OBJTYPE_CLIENT, ObjectId{nullptr, 0}, true);
  c->record = record;
  appendNode(&net.connections, &c->head);
  *clientId = idOf(&c->head);
  return 1;
}

int32_t peekConnection(ConnectionObject* c) {
  SocketObject* s = c->record->socket;
  s->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  return PeekSocketByte(s->descriptor, &s->timeout, false);
}

int pollConnectionData(ConnectionObject* c) {
  if (c->record->adapter || c->dataWaiting || c->peerClosed) return 0;
  SocketObject* s = c->record->socket;
  if (s->buffer.first < s->buffer.last || peekConnection(c) == 0) {
    c->dataWaiting = 1;
    return 1;
  }
  return 0;
}

int pollConnectionClosed(ConnectionObject* c) {
  if (c->record->adapter || c->peerClosed) return 0;
  if (c->record->socket->buffer.first < c->record->socket->buffer.last) return 0;
  if (peekConnection(c) == SOCKET_CLOSED) {
    c->peerClosed = 1;
    return 1;
  }
  return 0;
}

int pollUdpData(UdpObject* u) {
  if (u->datagramWaiting) return 0;
  u->socket->timeout = SocketTimeout{0, 0, GetTimeSeconds()};
  if (PeekSocketByte(u->socket->descriptor, &u->socket->timeout, true) == 0) {
    u->datagramWaiting = 1;
    return 1;
  }
  return 0;
}

ObjectHead* listHead(int32_t list) {
  return list == 0 ? net.udpObjects : list == 1 ? net.servers : net.connections;
}

// The dispatcher's source: walks the UDP, server and connection lists with
// one cursor and reports the next due event.
int nextNetworkEvent(int restart, uint32_t wanted, NetworkEventNotice* out) {
  if (restart) {
    net.walkList = 0;
    net.walkNode = listHead(0);
    net.walkPoll = 0;
  }
  while (net.walkList < 3) {
    ObjectHead* node = net.walkNode;
    if (!node) {
      net.walkList++;
      net.walkNode = net.walkList < 3 ? listHead(net.walkList) : nullptr;
      net.walkPoll = 0;
      continue;
    }
    if (net.walkList == 0) {
      net.walkNode = node->next;
      if ((wanted & NETWORK_EVENT_RECEIVEUDP) && pollUdpData(reinterpret_cast<UdpObject*>(node))) {
        *out = NetworkEventNotice{NETWORK_EVENT_RECEIVEUDP, idOf(node), {}};
        return 1;
      }
    } else if (net.walkList == 1) {
      // A server may have several waiting clients; each round takes one.
      net.walkNode = node->next;
      ObjectId client;
      if ((wanted & NETWORK_EVENT_CONNECT) &&
          acceptServerClient(reinterpret_cast<ServerObject*>(node), &client)) {
        *out = NetworkEventNotice{NETWORK_EVENT_CONNECT, idOf(node), client};
        return 1;
      }
    } else {
      auto* c = reinterpret_cast<ConnectionObject*>(node);
      if (net.walkPoll == 0) {
        net.walkPoll = 1;
        if ((wanted & NETWORK_EVENT_RECEIVEDATA) && pollConnectionData(c)) {
          *out = NetworkEventNotice{NETWORK_EVENT_RECEIVEDATA, idOf(node), {}};
          return 1;
        }
      } else {
        net.walkPoll = 0;
        net.walkNode = node->next;
        if ((wanted & NETWORK_EVENT_DISCONNECT) && pollConnectionClosed(c)) {
          *out = NetworkEventNotice{NETWORK_EVENT_DISCONNECT, idOf(node), {}};
          return 1;
        }
      }
    }
  }
  return 0;
}

// ---- Attributes ---------------------------------------------------------------------------

int readClientAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(net.connections));
    return 1;
  }
  ObjectId id = GetObjectIdArg(L, 2, nullptr);
  ConnectionObject* c;
  ErrorCode error = FindConnectionById(id, &c);
  if (error) return error;
  if (attribute != ATTRADAPTER) return ERR_UNKNOWNATTR;
  char name[PLUGIN_MODULE_NAME_SIZE];
  GetConnectionAdapterName(id, name, sizeof name);
  VmPushString(L, name);
  return 1;
}

int readServerAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(net.servers));
    return 1;
  }
  ObjectHead* h;
  ErrorCode error = findNode(net.servers, GetObjectIdArg(L, 2, nullptr), ERR_FINDSERVER, &h);
  if (error) return error;
  return ERR_UNKNOWNATTR;
}

int readUdpAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(net.udpObjects));
    return 1;
  }
  UdpObject* u;
  ErrorCode error = findUdp(GetObjectIdArg(L, 2, nullptr), &u);
  if (error) return error;
  return ERR_UNKNOWNATTR;
}

// ---- Tables -------------------------------------------------------------------------------

const CommandTableEntry networkCommands[] = {
    {"OpenConnection", cmdOpenConnection},
    {"CloseConnection", cmdCloseConnection},
    {"CreateServer", cmdCreateServer},
    {"CloseServer", cmdCloseServer},
    {"CreateUDPObject", cmdCreateUDPObject},
    {"CloseUDPObject", cmdCloseUDPObject},
    {"SendData", CmdSendData},
    {"ReceiveData", CmdReceiveData},
    {"SendUDPData", cmdSendUDPData},
    {"ReceiveUDPData", cmdReceiveUDPData},
    {"GetConnectionIP", cmdGetConnectionIP},
    {"GetConnectionPort", cmdGetConnectionPort},
    {"GetConnectionProtocol", cmdGetConnectionProtocol},
    {"GetLocalIP", cmdGetLocalIP},
    {"GetLocalPort", cmdGetLocalPort},
    {"GetLocalProtocol", cmdGetLocalProtocol},
    {"ResolveHostName", cmdResolveHostName},
    {"ToIP", cmdToIP},
    {"ToHostName", cmdToHostName},
    {"GetHostName", cmdGetHostName},
    {"GetMACAddress", cmdGetMACAddress},
    {"IsOnline", cmdIsOnline},
    {"SetNetworkProtocol", cmdSetNetworkProtocol},
    {"SetNetworkTimeout", cmdSetNetworkTimeout},
    {"DownloadFile", CmdDownloadFile},
    {"UploadFile", CmdUploadFile},
    {nullptr, nullptr},
};

const ConstantTableEntry networkConstants[] = {
    {"RECEIVEALL", nullptr, RECEIVEALL},
    {"RECEIVEBYTES", nullptr, RECEIVEBYTES},
    {"RECEIVELINE", nullptr, RECEIVELINE},
    {"FTPASCII", nullptr, 97},
    {"FTPBINARY", nullptr, 105},
    {"DOWNLOADFILE_STATUS", nullptr, 0},
    {"UPLOADFILE_STATUS", nullptr, 0},
    {"UPLOADFILE_RESPONSE", nullptr, 1},
    {"NETWORKCONNECTION", nullptr, NETWORKCONNECTION},
    {"NETWORKSERVER", nullptr, NETWORKSERVER},
    {"NETWORKUDP", nullptr, NETWORKUDP},
    {"RECEIVEDATA_PACKET", nullptr, 0},
    {"IPAUTO", nullptr, IPAUTO},
    {"IPV4", nullptr, IPV4},
    {"IPV6", nullptr, IPV6},
    {"IPUNKNOWN", nullptr, IPUNKNOWN},
    {"UDPSERVER", nullptr, UDPSERVER},
    {"UDPCLIENT", nullptr, UDPCLIENT},
    {"UDPNONE", nullptr, UDPNONE},
    {nullptr, nullptr, 0},
};

}  // namespace

// ---- Services -----------------------------------------------------------------------------

ConnectionUse::~ConnectionUse() {
  if (--record_->busy == 0 && record_->closed) FreeConnectionRecord(record_);
}

int32_t GetNetworkTimeout() { return net.timeoutMs; }
int32_t GetDefaultProtocol() { return net.defaultProtocol; }

ErrorCode ReadySocketLayer() {
  if (net.socketReady) return ERR_NONE;
  if (!IgnoreBrokenPipe()) return ERR_OPENSOCKET;
  net.socketReady = 1;
  return ERR_NONE;
}

void SetOnlineProbe(const char* host, int32_t port) {
  net.probeHost = host ? host : DEFAULT_PROBE_HOST;
  net.probePort = host ? port : DEFAULT_PROBE_PORT;
}

ErrorCode ConnectViaAdapter(VmState* L, const char* host, int32_t port, int32_t protocol,
                            const char* adapters, int32_t ssl, ConnectionRecord** out) {
  *out = nullptr;
  auto* record = static_cast<ConnectionRecord*>(AllocMemory(sizeof(ConnectionRecord), 1));
  if (!record) return ERR_MEM;
  ErrorCode error = CollectNetworkAdapters(adapters);
  if (error) {
    FreeMemory(record);
    return error;
  }
  for (PluginBase* base = NextNetworkAdapter(nullptr, adapters); base;
       base = NextNetworkAdapter(base, adapters)) {
    auto open = adapterEntry<QmOpenConnectionFunc>(base, "OpenConnection");
    if (!open) continue;
    QmTagItem options[] = {{QM_NETOPT_SSL, static_cast<uintptr_t>(ssl)},
                           {QM_NETOPT_TIMEOUT, static_cast<uintptr_t>(net.timeoutMs)},
                           {0, 0}};
    void* handle = open(host, port, options, net.timeoutMs);
    if (!handle) continue;
    record->adapter = base;
    record->handle = handle;
    record->received = static_cast<ReceiveBuffer*>(AllocMemory(sizeof(ReceiveBuffer), 1));
    if (!record->received) {
      FreeConnectionRecord(record);
      return ERR_MEM;
    }
    *out = record;
    return ERR_NONE;
  }
  if (!AdapterStringAdmitsInbuilt(adapters)) {
    FreeMemory(record);
    return socketError("connection refused");
  }
  SocketObject* socket = nullptr;
  error = newSocketObject(familyOf(protocol), &socket);
  if (error) {
    FreeMemory(record);
    return error;
  }
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  addrinfo hints = {};
  hints.ai_family = familyOf(protocol);
  hints.ai_socktype = SOCK_STREAM;
  TryResult r = tryAddresses(L, &socket->descriptor, &socket->family, host, service, hints, true,
                             GetTimeSeconds());
  if (r.status != 0) {
    closeSocketObject(socket);
    FreeMemory(record);
    return tryFailure(r);
  }
  record->socket = socket;
  *out = record;
  return ERR_NONE;
}

void FreeConnectionRecord(ConnectionRecord* record) {
  if (!record) return;
  if (record->busy > 0) {
    record->closed = 1;
    return;
  }
  FreeMemory(record->received);
  if (record->adapter) {
    auto close = adapterEntry<QmCloseConnectionFunc>(record->adapter, "CloseConnection");
    if (close) close(record->handle);
  }
  closeSocketObject(record->socket);
  FreeMemory(record);
}

ErrorCode FindConnectionById(ObjectId id, ConnectionObject** out) {
  ObjectHead* h;
  ErrorCode error = findNode(net.connections, id, ERR_FINDCLIENT, &h);
  *out = reinterpret_cast<ConnectionObject*>(h);
  return error;
}

void GetConnectionAdapterName(ObjectId id, char* buffer, size_t size) {
  ConnectionObject* c;
  const char* name = "inbuilt";
  if (FindConnectionById(id, &c) == ERR_NONE && c->record->adapter &&
      c->record->adapter->moduleName)
    name = c->record->adapter->moduleName;
  std::snprintf(buffer, size, "%s", name);
}

ErrorCode OpenNetworkLibrary(VmState* L) {
  net = NetworkState();
  ErrorCode error = RegisterLibrary(networkCommands, "network");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, networkCommands, 0);
  VmRegisterConstants(L, networkConstants, 0);
  SetSocketLibraryHooks(GetRemainingTimeout, SocketStatusText);
  SetNetworkEventSource(nextNetworkEvent);
  error = RegisterObjectList(&net.connections);
  if (!error) error = RegisterObjectList(&net.servers);
  if (!error) error = RegisterObjectList(&net.udpObjects);
  if (!error) error = RegisterAttributeReader(OBJTYPE_CLIENT, readClientAttribute);
  if (!error) error = RegisterAttributeReader(OBJTYPE_SERVER, readServerAttribute);
  if (!error) error = RegisterAttributeReader(OBJTYPE_UDPOBJECT, readUdpAttribute);
  return error;
}

void FreeAllNetworkObjects(VmState* L) {
  while (net.connections) {
    auto* c = reinterpret_cast<ConnectionObject*>(net.connections);
    unlinkNode(&net.connections, &c->head);
    freeConnectionNode(L, c);
  }
  while (net.servers) {
    auto* s = reinterpret_cast<ServerObject*>(net.servers);
    unlinkNode(&net.servers, &s->head);
    freeServerNode(L, s);
  }
  while (net.udpObjects) {
    auto* u = reinterpret_cast<UdpObject*>(net.udpObjects);
    unlinkNode(&net.udpObjects, &u->head);
    freeUdpNode(L, u);
  }
  if (net.socketReady) NetCleanupStub();
  SetNetworkEventSource(nullptr);
  net = NetworkState();
}
