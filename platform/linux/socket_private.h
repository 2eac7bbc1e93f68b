// The socket back end of the network library: non-blocking POSIX sockets,
// readiness waits under a time-out record, name look-ups and error texts.
// Used inside platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

// ---- Socket back end ----------------------------------------------------------------
// Non-blocking POSIX sockets under the network library. Every operation that
// would block waits for readiness under the caller's time-out record. Results
// of the I/O operations: SOCKET_DONE, SOCKET_TIMEOUT, SOCKET_CLOSED, or a
// positive errno.

struct sockaddr;
struct hostent;

enum : int32_t {
  SOCKET_DONE = 0,
  SOCKET_TIMEOUT = -1,
  SOCKET_CLOSED = -2,    // the peer closed, the handle is -1, or the pipe broke
  SOCKET_NOTFOUND = -3,  // a look-up failed without saying why
};

// What WaitSocketReady waits for.
enum : int32_t {
  SOCKET_WAIT_READ = 1,
  SOCKET_WAIT_WRITE = 2,
  SOCKET_WAIT_CONNECT = 3,
};

// The network library's time-out record: block and total time in seconds
// (negative = no limit) and the start time (GetTimeSeconds). A block time of
// exactly 0 means never wait.
struct SocketTimeout {
  double blockTime;
  double totalTime;
  double startTime;
};

// A handle is the descriptor, -1 while closed.
int32_t CreateSocketHandle(int32_t* handle, int domain, int type, int protocol);  // 0 or errno
void CloseSocketHandle(int32_t* handle);
int32_t SetSocketNonBlocking(int32_t handle);  // 0 or errno
int32_t SetSocketBlocking(int32_t handle);
int32_t BindSocket(int32_t handle, const struct sockaddr* address, uint32_t length);  // 0 or errno
int32_t ListenSocket(int32_t handle, int32_t backlog);
int32_t ShutdownSocket(int32_t handle, int how);  // 0 or errno

// 0 ready, -1 time-out, -2 for a closed handle (and, when waiting for a
// connection, when the socket became readable: the attempt has ended), 22
// for a descriptor of 1024 or more, else the errno of the wait.
int32_t WaitSocketReady(int32_t handle, int32_t what, const SocketTimeout* timeout);
// select on the caller's sets with the remaining time (none when negative),
// resumed after signals with the sets as given; -1 with errno EINVAL when
// count exceeds what a set can hold.
int WaitSocketTimeout(int count, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet,
                      const SocketTimeout* timeout);

int32_t ConnectSocket(int32_t handle, const struct sockaddr* address, uint32_t length,
                      const SocketTimeout* timeout);
// Connects while the event poll keeps running; -1 when the milliseconds
// pass or the run is asked to stop (*error then holds the poll's code).
int32_t ConnectSocketTimeout(VmState* L, int32_t handle, const struct sockaddr* address,
                             uint32_t length, int32_t milliseconds, ErrorCode* error);
int32_t AcceptSocket(int32_t handle, int32_t* newHandle, struct sockaddr* address, uint32_t* length,
                     const SocketTimeout* timeout);

// Sends never raise SIGPIPE: a reset or closed peer is SOCKET_CLOSED.
int32_t SendSocket(int32_t handle, const void* data, size_t length, size_t* count,
                   const SocketTimeout* timeout);
int32_t SendToSocket(int32_t handle, const void* data, size_t length, size_t* count,
                     const struct sockaddr* address, uint32_t addressLength,
                     const SocketTimeout* timeout);
// A stream that delivers 0 bytes has been closed by its peer; a datagram of
// 0 bytes is just that. Asking for 0 bytes returns at once.
int32_t ReceiveSocket(int32_t handle, void* buffer, size_t length, size_t* count,
                      const SocketTimeout* timeout);
int32_t ReceiveFromSocket(int32_t handle, void* buffer, size_t length, size_t* count,
                          struct sockaddr* address, uint32_t* addressLength,
                          const SocketTimeout* timeout);
// 0 when a byte (or a datagram) is waiting, without taking it.
int32_t PeekSocketByte(int32_t handle, const SocketTimeout* timeout, bool datagram);
// Seconds a wait may still block under the record; negative for no limit.
double GetRemainingTimeout(const SocketTimeout* timeout);
// "closed" for -2, "timeout" for -1, null for 0, "unknown error" otherwise.
const char* SocketStatusText(int32_t status);

// 0 when found, else h_errno, errno, or SOCKET_NOTFOUND. The entry is the C
// library's static one, valid until the next look-up.
int32_t HostNameLookup(const char* name, const struct hostent** entry);
// address is 4 bytes (IPv4) or 16 (IPv6); any other length is EINVAL.
int32_t HostAddressLookup(const void* address, uint32_t length, const struct hostent** entry);

const char* SocketErrorText(int32_t code);
const char* SocketErrorTextOf(void* ignored, int32_t code);
const char* ResolverErrorText(int32_t code);
const char* AddrInfoErrorText(int32_t code);  // null for 0

// "XX:XX:XX:XX:XX:XX" of the first non-loopback interface with a hardware
// address; text is left unchanged when there is none.
void GetMacAddress(char* text, size_t size);
int IgnoreBrokenPipe();  // 1; NetCleanupStub is with the native-service stubs
