// The network library's own declarations: connection, server and UDP
// records, the library's settings, the connecting steps, the send and
// receive engines and the URL transfers' helpers. Used inside libs/ and by
// tests and fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "libs/libs.h"
#include "platform/linux/platform.h"
#include "plugins/qmplugin.h"
#include "runtime/runtime.h"

// Receive modes of ReceiveData and the engines.
enum : int32_t {
  RECEIVEALL = 0,
  RECEIVEBYTES = 1,
  RECEIVELINE = 2,
};
// Protocols and the families they select.
enum : int32_t {
  IPAUTO = 0,
  IPV4 = 1,
  IPV6 = 2,
  IPUNKNOWN = 3,
};
// Modes of UDP objects.
enum : int32_t {
  UDPSERVER = 0,
  UDPCLIENT = 1,
  UDPNONE = 2,
};
// Object kinds of the address queries.
enum : int32_t {
  NETWORKCONNECTION = 99,
  NETWORKSERVER = 115,
  NETWORKUDP = 117,
};

// One platform receive or send moves at most this much.
constexpr size_t NET_CHUNK = 8192;

// Unread bytes of a connection: data[first..last) are waiting; both go
// back to 0 whenever first reaches last.
struct ReceiveBuffer {
  uint32_t first;
  uint32_t last;
  uint8_t data[NET_CHUNK];
};

// The inbuilt TCP socket.
struct SocketObject {
  int32_t descriptor;  // -1 while none
  SocketTimeout timeout;
  ReceiveBuffer buffer;
  int32_t family;  // AF_ of the descriptor, 0 while none
};

struct UdpSocket {
  int32_t descriptor;
  SocketTimeout timeout;
  uint8_t buffer[NET_CHUNK];
  int32_t family;
};

// One connection, over a network adapter or the inbuilt socket. An
// engine that runs script code marks the record busy; closing a busy
// record only marks it closed, and the engine frees it when it ends.
struct ConnectionRecord {
  PluginBase* adapter;      // null for the inbuilt socket
  void* handle;             // the adapter's connection handle
  SocketObject* socket;     // the inbuilt socket
  ReceiveBuffer* received;  // the adapter's receive buffer
  int32_t progress;         // non-zero: count reports go to the callback
  int64_t count;            // bytes moved since reports were switched on
  int64_t total;            // expected size
  int32_t userData;         // a user-data argument is on the stack
  int32_t action;           // the "action" of count reports
  int32_t busy;
  int32_t closed;
  // A memory connection (tests and fuzzing): receives read these bytes,
  // sends are dropped.
  const uint8_t* memory;
  size_t memorySize;
  size_t memoryPosition;
};

struct ConnectionObject {
  ObjectHead head;
  ConnectionRecord* record;
  int32_t dataWaiting;
  int32_t peerClosed;
};
struct ServerObject {
  ObjectHead head;
  SocketObject* socket;
};
struct UdpObject {
  ObjectHead head;
  UdpSocket* socket;
  int32_t datagramWaiting;
  int32_t mode;
};

// ---- Settings and objects (netlib.cpp) ----

int32_t GetNetworkTimeout();  // milliseconds
int32_t GetDefaultProtocol();
// Makes the socket layer ready once: ERR_OPENSOCKET when it cannot be.
ErrorCode ReadySocketLayer();
// The host and port that IsOnline tries (tests point it at loopback); a
// null host restores the default.
void SetOnlineProbe(const char* host, int32_t port);

// The connecting steps: a new record connected to host and port, through
// the first adapter that opens it or the inbuilt socket. L runs the event
// poll while waiting; errors set the error argument.
ErrorCode ConnectViaAdapter(VmState* L, const char* host, int32_t port, int32_t protocol,
                            const char* adapters, int32_t ssl, ConnectionRecord** out);
// Frees the record, or marks it closed while an engine uses it.
void FreeConnectionRecord(ConnectionRecord* record);
ErrorCode FindConnectionById(ObjectId id, ConnectionObject** out);
// The adapter's module name, or "inbuilt".
void GetConnectionAdapterName(ObjectId id, char* buffer, size_t size);

// Holds a record busy for a scope; the last holder frees a closed record.
class ConnectionUse {
 public:
  explicit ConnectionUse(ConnectionRecord* r) : record_(r) { record_->busy++; }
  ~ConnectionUse();
  ConnectionUse(const ConnectionUse&) = delete;
  ConnectionUse& operator=(const ConnectionUse&) = delete;

 private:
  ConnectionRecord* record_;
};

// ---- Sending and receiving (netio.cpp) ----

// Seconds a platform wait may still block; -1 for no limit.
double GetRemainingTimeout(const SocketTimeout* timeout);
const char* SocketStatusText(int32_t status);
// 1 when the elapsed time exceeds the limit in milliseconds (0: never).
int TimeoutExpired(const TimeValue* elapsed, int32_t milliseconds);
// The budget less the whole milliseconds since start, never below 0.
int32_t RemainingMilliseconds(const TimeValue* start, int32_t budget);

// Where received bytes go; exactly one is used, in this order.
struct ReceiveTarget {
  StreamHandle* file = nullptr;
  VmStringBlock* block = nullptr;  // a body received in place; grows as bytes arrive
  int64_t announced = 0;           // the total the peer announced for the block (0: none)
  std::string* buffer = nullptr;   // grows as bytes arrive
  size_t capacity = 0;             // the buffer's limit in modes BYTES and LINE (0: none)
  int callback = 0;                // stack index of a data callback (0: none)
  int callbackUserData = 0;        // stack index of its user data (0: none)
  std::string* script = nullptr;   // the script string
};
// The receive engine. Returns 0 or an error code; *status is the final
// socket status (0, -1 time-out, -2 closed) and *done whether the mode's
// end (count or line feed) was reached. *received counts delivered bytes.
ErrorCode ReceiveBuffered(VmState* L, ConnectionRecord* record, int32_t mode, int64_t count,
                          int keepWaiting, const ReceiveTarget& target, int64_t* received,
                          int32_t* status, int* done);
// As ReceiveBuffered, then the status turned into an error code.
ErrorCode ReceiveExact(VmState* L, ConnectionRecord* record, int32_t mode, int64_t count,
                       const ReceiveTarget& target, int64_t* received);
int32_t SendBuffered(VmState* L, ConnectionRecord* record, const void* data, size_t length,
                     size_t* sent, ErrorCode* error);
ErrorCode SendExact(VmState* L, ConnectionRecord* record, const void* data, size_t length);
// Sends the block, or the whole file (expected size -1: the file must be
// at its end afterwards).
ErrorCode SendStream(VmState* L, ConnectionRecord* record, const void* data, size_t length,
                     StreamHandle* file, int64_t expected);
// Count reports: the function at stack index 3, user data at 4.
ErrorCode ReportCountProgress(VmState* L, ConnectionRecord* record);

int CmdSendData(VmState* L);
int CmdReceiveData(VmState* L);

// ---- URL transfers (nethttp.cpp, netftp.cpp) ----

// A parsed URL.
struct ParsedUrl {
  char kind = 0;        // 'h' or 'f'
  bool secure = false;  // the scheme said so
  bool ftps = false;
  bool credentials = false;
  std::string user, password, host, path, hostPart;
  int32_t port = 0;
  int32_t typeLetter = 0;  // ";type=" suffix: 'i' or 'a', 0 none
};
// Encodes a URL: every byte that needs it as "%xx"; with encoded, decodes
// "%xx" of bytes that need no encoding. ERR_WRONGUSAGE for a percent sign
// without a hexadecimal digit after it.
ErrorCode EncodeUrl(const std::string& url, bool encoded, std::string* out);
// Parses an encoded URL (the scheme, host, credentials, port, path).
ErrorCode ParseUrl(const std::string& url, ParsedUrl* out);
// Resolves a redirect location against the current URL.
std::string ResolveUrlReference(const std::string& base, const std::string& location);
// Decodes the "%xx" sequences of a path.
std::string DecodeUrlPath(const std::string& path);

// The head of an HTTP response: status, length (-1 unknown), chunked,
// location. head is the total budget: the head may use at most that many
// bytes, and must end before the deadline.
struct HttpHead {
  int32_t status = 0;
  int64_t length = -1;
  bool chunked = false;
  std::string location;
};
// Reads one line of at most limit bytes into *line (without CR LF), taking
// its bytes from the head budget; ERR_HTTPERROR with 1004 when the budget
// ends, ERR_RECVTIMEOUT at the deadline.
struct HeadBudget {
  size_t bytesLeft;
  double deadline;  // GetTimeSeconds() value
};
ErrorCode ReadBoundedLine(VmState* L, ConnectionRecord* record, size_t limit, HeadBudget* budget,
                          std::string* line, ErrorCode overflow, int32_t overflowArg);
ErrorCode ReadHttpHead(VmState* L, ConnectionRecord* record, HeadBudget* budget, HttpHead* head);
// The size of a chunk line: ERR_HTTPERROR with 3000 when it has no
// hexadecimal digit or overflows.
ErrorCode ParseChunkSize(const std::string& line, int64_t* size);
// A decimal content length: ERR_HTTPERROR with 3001 when it is not one.
ErrorCode ParseContentLength(const char* text, int64_t* length);
// Reads a chunked body into out (bounded by what arrives).
ErrorCode ReadChunkedBody(VmState* L, ConnectionRecord* record, const ReceiveTarget& target,
                          int64_t* size);

// Opens a connection of a transfer (see ConnectTransfer below).
struct TransferState;
using TransferConnector = ErrorCode (*)(VmState* L, TransferState* t, const std::string& host,
                                        int32_t port, int32_t ssl);

// One DownloadFile or UploadFile call: its options, the URL as parsed and
// what it produced.
struct TransferState {
  bool upload = false;
  // Options.
  int32_t transferMode = 105;  // 'i' or 'a'
  std::string file;
  int32_t encoded = 0;
  int32_t protocol = 0;
  int32_t ssl = 0;
  std::string adapters;
  std::string proxy;
  int32_t silentFail = 0;
  std::string customHeaders;
  bool hasCustomHeaders = false;
  int32_t fail404 = 0;
  int32_t redirect = 1;
  std::string post;
  bool hasPost = false;
  std::string postType = "application/x-www-form-urlencoded";
  std::string userAgent;
  std::string data;
  bool hasData = false;
  int formData = 0;  // stack index of the "formdata" table (0: none)
  bool callback = false;
  bool callbackUserData = false;
  // The upload's source file and its size (-1 unknown).
  StreamHandle* source = nullptr;
  int64_t sourceSize = -1;
  // The URL and the connections.
  ParsedUrl url;
  bool secure = false;
  ConnectionRecord* control = nullptr;
  ConnectionRecord* dataConnection = nullptr;
  // What opens the FTP connections: ConnectTransfer when null; the FTP fuzz
  // target hands out memory connections.
  TransferConnector connect = nullptr;
  // Results.
  VmStringBlock body;
  int64_t size = 0;
  StreamHandle* destination = nullptr;
  // The file of the platform that a download's body goes to before it is
  // complete (empty when the body goes straight to its file).
  std::string partial;
};
// Opens a connection of the transfer: host and port with its protocol and
// adapter options; secure connections go through an adapter only.
ErrorCode ConnectTransfer(VmState* L, TransferState* t, const std::string& host, int32_t port,
                          int32_t ssl);
// Switches count reports on for a record (when the call has a callback).
void StartTransferProgress(TransferState* t, ConnectionRecord* record, int64_t total,
                           int32_t action);
// Opens the download's file for writing (ERR_WRITEFILE with its name). A
// file of the platform is written under a temporary name beside it, which
// FinishTransferDestination renames to the file once the body is complete,
// or removes.
ErrorCode OpenTransferDestination(TransferState* t);
// Closes the download's file: renamed into place after a complete body (a
// failed close or rename turns success into an error), removed otherwise,
// so a failed download leaves no body under the file's name and an older
// file there untouched.
ErrorCode FinishTransferDestination(TransferState* t, ErrorCode error);
// The FTP dialogue of a transfer whose URL is parsed.
ErrorCode RunFtpTransfer(VmState* L, TransferState* t);

int CmdDownloadFile(VmState* L);
int CmdUploadFile(VmState* L);

// Test seam: a memory connection whose receives come from bytes (the
// record's handle), for the fuzz targets of the head and chunk parsers.
ConnectionRecord* NewMemoryConnection(const uint8_t* data, size_t size);
