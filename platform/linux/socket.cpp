// POSIX socket back end: non-blocking descriptors whose blocking operations
// wait for readiness under the network library's time-out record, host
// look-ups, error texts, the hardware address and the SIGPIPE setting.
// Invariants: results are 0, SOCKET_TIMEOUT, SOCKET_CLOSED or a positive
// errno; no operation raises SIGPIPE; a wait never uses an fd_set with a
// descriptor it cannot hold.
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/platform.h"
#include "platform/linux/system_private.h"
#include "platform/linux/eventhooks_private.h"

namespace {

constexpr int CONNECT_POLL_MS = 10;     // slice between event polls while connecting
constexpr size_t IFCONF_BUFFER = 1024;  // interface list buffer for SIOCGIFCONF

// The network library's arithmetic and texts, once it has opened.
SocketRemainingFunction remainingHook = nullptr;
SocketStatusTextFunction statusTextHook = nullptr;

double remainingSeconds(const SocketTimeout* timeout) {
  if (remainingHook) return remainingHook(timeout);
  return timeout->blockTime;
}

// Remaining seconds of the record as a timeval; null for no limit.
struct timeval* remainingTimeval(const SocketTimeout* timeout, struct timeval* tv) {
  if (!timeout) return nullptr;
  double left = remainingSeconds(timeout);
  if (left < 0) return nullptr;
  if (left > static_cast<double>(INT_MAX)) left = static_cast<double>(INT_MAX);
  double whole = std::floor(left);
  tv->tv_sec = static_cast<time_t>(whole);
  tv->tv_usec = static_cast<suseconds_t>((left - whole) * 1e6);
  return tv;
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

int setFlag(int fd, int flag, bool on) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  int wanted = on ? (flags | flag) : (flags & ~flag);
  if (wanted != flags && fcntl(fd, F_SETFL, wanted) != 0) return errno;
  return 0;
}

bool isStream(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

// After a connection attempt has ended: 0 when connected, else its errno.
// The pending socket error decides; a zero-length recv alone would report a
// refused connection as connected, since it returns 0 on any socket.
int32_t connectOutcome(int fd, bool readable) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  if (err != 0) return err;
  if (readable) {
    char b;
    if (recv(fd, &b, 0, MSG_DONTWAIT) < 0 && !wouldBlock(errno)) return errno;
  }
  return 0;
}

// Starts a connect; 0 when connected, -1 while in progress, else errno.
int32_t startConnect(int fd, const struct sockaddr* address, uint32_t length) {
  for (;;) {
    if (connect(fd, address, length) == 0) return 0;
    int err = errno;
    // After EINTR the attempt goes on in the background; asking again
    // reports it as in progress (EALREADY) or finished (EISCONN).
    if (err == EINTR) continue;
    if (err == EISCONN) return 0;
    if (err == EINPROGRESS || err == EALREADY || wouldBlock(err)) return -1;
    return err;
  }
}

// Shared loop of the receive operations: recv, recvfrom or a peek.
template <typename Io>
int32_t receiveLoop(int fd, const SocketTimeout* timeout, bool stream, size_t* count, Io io) {
  for (;;) {
    ssize_t n = io();
    if (n > 0 || (n == 0 && !stream)) {
      if (count) *count = static_cast<size_t>(n);
      return SOCKET_DONE;
    }
    if (n == 0) return SOCKET_CLOSED;
    int err = errno;
    if (err == EINTR) continue;
    if (!wouldBlock(err)) return err;
    int32_t rc = WaitSocketReady(fd, SOCKET_WAIT_READ, timeout);
    if (rc != 0) return rc;
  }
}

template <typename Io>
int32_t sendLoop(int fd, const SocketTimeout* timeout, size_t* count, Io io) {
  for (;;) {
    ssize_t n = io();
    if (n >= 0) {
      *count = static_cast<size_t>(n);
      return SOCKET_DONE;
    }
    int err = errno;
    if (err == EPIPE || err == ECONNRESET) return SOCKET_CLOSED;
    if (err == EINTR || err == EPROTOTYPE) continue;
    if (!wouldBlock(err)) return err;
    int32_t rc = WaitSocketReady(fd, SOCKET_WAIT_WRITE, timeout);
    if (rc != 0) return rc;
  }
}

int32_t lookupFailure() {
  if (h_errno != 0) return h_errno;
  if (errno != 0) return errno;
  return SOCKET_NOTFOUND;
}

}  // namespace

void SetSocketLibraryHooks(SocketRemainingFunction remaining, SocketStatusTextFunction statusText) {
  remainingHook = remaining;
  statusTextHook = statusText;
}

int32_t CreateSocketHandle(int32_t* handle, int domain, int type, int protocol) {
  int fd = socket(domain, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    *handle = -1;
    return errno;
  }
  *handle = fd;
  return 0;
}

void CloseSocketHandle(int32_t* handle) {
  if (*handle != -1) close(*handle);
  *handle = -1;
}

int32_t SetSocketNonBlocking(int32_t handle) { return setFlag(handle, O_NONBLOCK, true); }

int32_t SetSocketBlocking(int32_t handle) { return setFlag(handle, O_NONBLOCK, false); }

int32_t BindSocket(int32_t handle, const struct sockaddr* address, uint32_t length) {
  int32_t rc = SetSocketBlocking(handle);
  if (rc != 0) return rc;
  int32_t bound = bind(handle, address, length) == 0 ? 0 : errno;
  rc = SetSocketNonBlocking(handle);
  return bound != 0 ? bound : rc;
}

int32_t ListenSocket(int32_t handle, int32_t backlog) {
  return listen(handle, backlog) == 0 ? 0 : errno;
}

int32_t ShutdownSocket(int32_t handle, int how) { return shutdown(handle, how) == 0 ? 0 : errno; }

int32_t WaitSocketReady(int32_t handle, int32_t what, const SocketTimeout* timeout) {
  if (handle < 0) return SOCKET_CLOSED;
  if (handle >= FD_SETSIZE) return EINVAL;
  for (;;) {
    fd_set readSet, writeSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    if (what == SOCKET_WAIT_READ || what == SOCKET_WAIT_CONNECT) FD_SET(handle, &readSet);
    if (what == SOCKET_WAIT_WRITE || what == SOCKET_WAIT_CONNECT) FD_SET(handle, &writeSet);
    struct timeval tv;
    // The remaining time is worked out again on every pass, so a signal
    // never stretches the wait.
    int rc = select(handle + 1, &readSet, &writeSet, nullptr, remainingTimeval(timeout, &tv));
    if (rc < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (rc == 0) return SOCKET_TIMEOUT;
    if (what == SOCKET_WAIT_CONNECT && FD_ISSET(handle, &readSet)) return SOCKET_CLOSED;
    return 0;
  }
}

int WaitSocketTimeout(int count, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                      const SocketTimeout* timeout) {
  if (count < 0 || count > FD_SETSIZE) {
    errno = EINVAL;
    return -1;
  }
  // select rewrites the sets, so a resumed wait starts from copies of the
  // caller's sets.
  fd_set r, w, e;
  if (readSet) r = *readSet;
  if (writeSet) w = *writeSet;
  if (exceptSet) e = *exceptSet;
  for (;;) {
    struct timeval tv;
    int rc = select(count, readSet, writeSet, exceptSet, remainingTimeval(timeout, &tv));
    if (rc >= 0 || errno != EINTR) return rc;
    if (readSet) *readSet = r;
    if (writeSet) *writeSet = w;
    if (exceptSet) *exceptSet = e;
  }
}

int32_t ConnectSocket(int32_t handle, const struct sockaddr* address, uint32_t length,
                      const SocketTimeout* timeout) {
  if (handle < 0) return SOCKET_CLOSED;
  int32_t rc = startConnect(handle, address, length);
  if (rc != -1) return rc;
  if (timeout && timeout->blockTime == 0) return SOCKET_TIMEOUT;  // goes on in the background
  rc = WaitSocketReady(handle, SOCKET_WAIT_CONNECT, timeout);
  if (rc == SOCKET_CLOSED) return connectOutcome(handle, true);
  if (rc == 0) return connectOutcome(handle, false);
  return rc;
}

int32_t ConnectSocketTimeout(VmState* L, int32_t handle, const struct sockaddr* address,
                             uint32_t length, int32_t milliseconds, ErrorCode* error) {
  *error = ERR_NONE;
  if (handle < 0) return SOCKET_CLOSED;
  int32_t rc = startConnect(handle, address, length);
  if (rc != -1) return rc;
  double start = GetTimeSeconds();
  for (;;) {
    // poll rather than select: the descriptor may be any number.
    struct pollfd p = {handle, POLLIN | POLLOUT, 0};
    int n = poll(&p, 1, CONNECT_POLL_MS);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n > 0) return connectOutcome(handle, (p.revents & POLLIN) != 0);
    if (RunEventPoll(L, 2, 0, error) != 0) return SOCKET_TIMEOUT;
    if ((GetTimeSeconds() - start) * 1000.0 >= milliseconds) return SOCKET_TIMEOUT;
  }
}

int32_t AcceptSocket(int32_t handle, int32_t* newHandle, struct sockaddr* address, uint32_t* length,
                     const SocketTimeout* timeout) {
  *newHandle = -1;
  if (handle < 0) return SOCKET_CLOSED;
  for (;;) {
    socklen_t len = length ? *length : 0;
    int fd = accept4(handle, address, length ? &len : nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (length) *length = len;
      *newHandle = fd;
      return 0;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (!wouldBlock(err) && err != ECONNABORTED) return err;
    int32_t rc = WaitSocketReady(handle, SOCKET_WAIT_READ, timeout);
    if (rc != 0) return rc;
  }
}

int32_t SendSocket(int32_t handle, const void* data, size_t length, size_t* count,
                   const SocketTimeout* timeout) {
  *count = 0;
  if (handle < 0) return SOCKET_CLOSED;
  return sendLoop(handle, timeout, count, [&] { return send(handle, data, length, MSG_NOSIGNAL); });
}

int32_t SendToSocket(int32_t handle, const void* data, size_t length, size_t* count,
                     const struct sockaddr* address, uint32_t addressLength,
                     const SocketTimeout* timeout) {
  *count = 0;
  if (handle < 0) return SOCKET_CLOSED;
  return sendLoop(handle, timeout, count, [&] {
    return sendto(handle, data, length, MSG_NOSIGNAL, address, addressLength);
  });
}

int32_t ReceiveSocket(int32_t handle, void* buffer, size_t length, size_t* count,
                      const SocketTimeout* timeout) {
  *count = 0;
  if (handle < 0) return SOCKET_CLOSED;
  if (length == 0) return SOCKET_DONE;
  return receiveLoop(handle, timeout, isStream(handle), count,
                     [&] { return recv(handle, buffer, length, 0); });
}

int32_t ReceiveFromSocket(int32_t handle, void* buffer, size_t length, size_t* count,
                          struct sockaddr* address, uint32_t* addressLength,
                          const SocketTimeout* timeout) {
  *count = 0;
  if (handle < 0) return SOCKET_CLOSED;
  if (length == 0) return SOCKET_DONE;
  return receiveLoop(handle, timeout, isStream(handle), count, [&] {
    socklen_t len = addressLength ? *addressLength : 0;
    ssize_t n = recvfrom(handle, buffer, length, 0, address, addressLength ? &len : nullptr);
    if (n >= 0 && addressLength) *addressLength = len;
    return n;
  });
}

int32_t PeekSocketByte(int32_t handle, const SocketTimeout* timeout, bool datagram) {
  if (handle < 0) return SOCKET_CLOSED;
  char b;
  return receiveLoop(handle, timeout, !datagram, nullptr, [&] {
    return datagram ? recvfrom(handle, &b, 1, MSG_PEEK, nullptr, nullptr)
                    : recv(handle, &b, 1, MSG_PEEK);
  });
}

int32_t HostNameLookup(const char* name, const struct hostent** entry) {
  h_errno = 0;
  errno = 0;
  const struct hostent* h = gethostbyname(name);
  *entry = h;
  return h ? 0 : lookupFailure();
}

int32_t HostAddressLookup(const void* address, uint32_t length, const struct hostent** entry) {
  *entry = nullptr;
  int family = length == 4 ? AF_INET : length == 16 ? AF_INET6 : AF_UNSPEC;
  if (family == AF_UNSPEC) return EINVAL;
  h_errno = 0;
  errno = 0;
  const struct hostent* h = gethostbyaddr(address, length, family);
  *entry = h;
  return h ? 0 : lookupFailure();
}

const char* SocketErrorText(int32_t code) {
  if (code < 1) {
    const char* text = statusTextHook ? statusTextHook(code) : nullptr;
    return text ? text : "unknown error";
  }
  return strerror(code);
}

const char* SocketErrorTextOf(void* ignored, int32_t code) { return SocketErrorText(code); }

const char* ResolverErrorText(int32_t code) {
  if (code < 1) return SocketErrorText(code);
  return hstrerror(code);
}

const char* AddrInfoErrorText(int32_t code) {
  switch (code) {
    case 0:
      return nullptr;
    case EAI_BADFLAGS:
      return "invalid value for ai_flags";
    case EAI_NONAME:
      return "host or service not provided, or not known";
    case EAI_AGAIN:
      return "temporary failure in name resolution";
    case EAI_FAIL:
      return "non-recoverable failure in name resolution";
    case EAI_FAMILY:
      return "ai_family not supported";
    case EAI_SOCKTYPE:
      return "ai_socktype not supported";
    case EAI_SERVICE:
      return "service not supported for socket type";
    case EAI_MEMORY:
      return "memory allocation failure";
    case EAI_OVERFLOW:
      return "argument buffer overflow";
    case EAI_SYSTEM:
      return strerror(errno);
    default:
      return gai_strerror(code);
  }
}

void GetMacAddress(char* text, size_t size) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  alignas(struct ifreq) char buffer[IFCONF_BUFFER];
  struct ifconf conf;
  conf.ifc_len = sizeof buffer;
  conf.ifc_buf = buffer;
  if (ioctl(fd, SIOCGIFCONF, &conf) == 0) {
    size_t entries = static_cast<size_t>(conf.ifc_len) / sizeof(struct ifreq);
    auto* reqs = reinterpret_cast<struct ifreq*>(buffer);
    for (size_t i = 0; i < entries; i++) {
      struct ifreq req;
      std::memset(&req, 0, sizeof req);
      std::memcpy(req.ifr_name, reqs[i].ifr_name, IFNAMSIZ);
      req.ifr_name[IFNAMSIZ - 1] = '\0';
      if (ioctl(fd, SIOCGIFFLAGS, &req) != 0 || (req.ifr_flags & IFF_LOOPBACK)) continue;
      if (ioctl(fd, SIOCGIFHWADDR, &req) != 0) continue;
      auto* mac = reinterpret_cast<const unsigned char*>(req.ifr_hwaddr.sa_data);
      if ((mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]) == 0)
        continue;  // no hardware address
      if (text && size > 0)
        std::snprintf(text, size, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                      mac[4], mac[5]);
      break;
    }
  }
  close(fd);
}

int IgnoreBrokenPipe() { return signal(SIGPIPE, SIG_IGN) == SIG_ERR ? 0 : 1; }
