// The FTP side of DownloadFile and UploadFile: the command dialogue on the
// control connection in passive mode, the data connection and the replies.
//
// Invariant: the data connection always goes to the control connection's
// own peer (only the port comes from the server's passive reply), and
// every reply is read within a byte budget and a deadline, so a server can
// neither send the client elsewhere nor keep it reading forever.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include <netdb.h>
#include <sys/socket.h>

#include "engine/engine.h"
#include "libs/network_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

constexpr size_t REPLY_LINE_MAX = 1023;
// A whole reply, however many lines, may take at most this much.
constexpr size_t REPLY_BUDGET = 1 << 20;
// Error arguments of ERR_FTPERROR.
constexpr int32_t FTP_UNEXPECTED = 0;
constexpr int32_t FTP_BROKEN_REPLY = 1;
constexpr int32_t FTP_BAD_PASSIVE = 2;
// The password sent when the URL carries no credentials.
constexpr const char* ANONYMOUS_PASSWORD = "guest@quillmere.invalid";
// The largest size a reply may announce: beyond it a script number no
// longer holds every byte count exactly, and the size is taken as unknown.
constexpr int64_t SIZE_MAX_VALUE = int64_t{1} << 53;

ErrorCode ftpError(int32_t argument) {
  SetErrorArgNumber(argument);
  return ERR_FTPERROR;
}

// The code of a line that starts with three digits, else -1.
int32_t lineCode(const std::string& line) {
  if (line.size() < 3) return -1;
  for (int i = 0; i < 3; i++)
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return -1;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

ErrorCode readFtpReply(VmState* L, ConnectionRecord* r, int32_t* code, std::string* text) {
  int32_t timeout = GetNetworkTimeout();
  HeadBudget budget = {REPLY_BUDGET, timeout ? GetTimeSeconds() + timeout / 1000.0 : 1e300};
  std::string line;
  ErrorCode error =
      ReadBoundedLine(L, r, REPLY_LINE_MAX, &budget, &line, ERR_FTPERROR, FTP_BROKEN_REPLY);
  if (error) return error;
  int32_t first = lineCode(line);
  if (first < 0) return ftpError(FTP_BROKEN_REPLY);
  bool more = line.size() > 3 && line[3] == '-';
  while (more) {
    error = ReadBoundedLine(L, r, REPLY_LINE_MAX, &budget, &line, ERR_FTPERROR, FTP_BROKEN_REPLY);
    if (error) return error;
    int32_t c = lineCode(line);
    if (c < 0) continue;
    if (c != first) return ftpError(FTP_BROKEN_REPLY);
    more = line.size() > 3 && line[3] == '-';
  }
  *code = first;
  if (text) *text = line;
  return ERR_NONE;
}

ErrorCode sendCommand(VmState* L, ConnectionRecord* r, const std::string& command) {
  std::string line = command + "\r\n";
  return SendExact(L, r, line.data(), line.size());
}

ErrorCode command(VmState* L, ConnectionRecord* r, const std::string& text, int32_t* code,
                  std::string* reply) {
  ErrorCode error = sendCommand(L, r, text);
  if (error) return error;
  return readFtpReply(L, r, code, reply);
}

bool in2xx(int32_t code) { return code >= 200 && code <= 299; }

// Reads the run of decimal digits at text[*i] and steps past it. False when
// the number is above limit: the digits are still consumed, but the value
// never grows past the limit, so no run of digits a server sends can
// overflow it.
bool readBoundedNumber(const std::string& text, size_t* i, int64_t limit, int64_t* value) {
  int64_t v = 0;
  bool fits = true;
  for (; *i < text.size() && std::isdigit(static_cast<unsigned char>(text[*i])); ++*i) {
    int digit = text[*i] - '0';
    if (fits && v > (limit - digit) / 10) fits = false;
    if (fits) v = v * 10 + digit;
  }
  if (fits) *value = v;
  return fits;
}

// The six numbers of a passive reply: host bytes and port. A number above
// 255 is no byte, so the reply is refused as one without six numbers.
ErrorCode parsePassive(const std::string& text, int32_t* port) {
  int64_t numbers[6];
  int count = 0;
  size_t i = 4;
  while (i < text.size()) {
    while (i < text.size() && !std::isdigit(static_cast<unsigned char>(text[i]))) i++;
    if (i >= text.size()) break;
    int64_t value = 0;
    if (!readBoundedNumber(text, &i, 255, &value)) return ftpError(FTP_BAD_PASSIVE);
    if (count == 6) return ftpError(FTP_BAD_PASSIVE);
    numbers[count++] = value;
    size_t comma = text.find(',', i);
    if (comma == std::string::npos) break;
    i = comma + 1;
  }
  if (count != 6) return ftpError(FTP_BAD_PASSIVE);
  *port = static_cast<int32_t>(numbers[4] * 256 + numbers[5]);
  return ERR_NONE;
}

ErrorCode connectFtp(VmState* L, TransferState* t, const std::string& host, int32_t port,
                     int32_t ssl) {
  return (t->connect ? t->connect : ConnectTransfer)(L, t, host, port, ssl);
}

// The numeric address of the control connection's peer; a memory
// connection has none.
ErrorCode controlPeer(ConnectionRecord* r, std::string* host) {
  if (r->adapter) {
    char text[QM_NET_ADDRESS_SIZE] = "";
    QmConnectionInfoRequest request = {3, text, 0};
    auto info = r->adapter->kind == PLUGIN_KIND_BRIDGED
                    ? nullptr
                    : reinterpret_cast<QmGetConnectionInfoFunc>(
                          GetPluginEntry(r->adapter, "GetConnectionInfo"));
    int32_t rc = info ? info(r->handle, &request) : ERR_PEERNAME;
    if (rc != 0) return rc;
    text[sizeof text - 1] = '\0';
    *host = text;
    return ERR_NONE;
  }
  if (!r->socket) {
    host->clear();
    return ERR_NONE;
  }
  sockaddr_storage address = {};
  socklen_t length = sizeof address;
  if (getpeername(r->socket->descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    SetErrorArgString(SocketErrorText(errno));
    return ERR_SOCKET;
  }
  char text[NI_MAXHOST];
  int rc = getnameinfo(reinterpret_cast<sockaddr*>(&address), length, text, sizeof text, nullptr, 0,
                       NI_NUMERICHOST);
  if (rc != 0) {
    SetErrorArgString(AddrInfoErrorText(rc));
    return ERR_SOCKET;
  }
  *host = text;
  return ERR_NONE;
}

// The size announced at the end of a 150 reply: "... (1234 bytes).";
// 0 (unknown) when there is none, or when it is too large to be a size.
int64_t announcedSize(const std::string& text) {
  size_t end = text.size();
  while (end > 4 && !std::isdigit(static_cast<unsigned char>(text[end - 1]))) end--;
  if (end <= 4 || !std::isdigit(static_cast<unsigned char>(text[end - 1]))) return 0;
  size_t start = end;
  while (start > 4 && std::isdigit(static_cast<unsigned char>(text[start - 1]))) start--;
  if (text.size() - end < 6 || CompareNoCaseN(text.c_str() + end, " bytes", 6) != 0) return 0;
  int64_t value = 0;
  return readBoundedNumber(text, &start, SIZE_MAX_VALUE, &value) ? value : 0;
}

// The size of a 213 reply to the size command: the number after its first
// four characters; 0 (unknown) when there is none, or when it is too large
// to be a size.
int64_t replySize(const std::string& text) {
  size_t i = 4;
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return 0;
  int64_t value = 0;
  return readBoundedNumber(text, &i, SIZE_MAX_VALUE, &value) ? value : 0;
}

}  // namespace

ErrorCode RunFtpTransfer(VmState* L, TransferState* t) {
  const ParsedUrl& u = t->url;
  int32_t ssl = t->secure && !u.ftps && t->ssl ? 1 : 0;
  std::string host = t->secure ? std::string(u.ftps ? "ftps://" : "ftp://") + u.host + "/" : u.host;
  ErrorCode error = connectFtp(L, t, host, u.port, ssl);
  if (error) return error;
  ConnectionRecord* control = t->control;
  int32_t code = 0;
  std::string reply;
  error = readFtpReply(L, control, &code, nullptr);
  if (!error && code >= 100 && code <= 199) error = readFtpReply(L, control, &code, nullptr);
  if (error) return error;
  if (!in2xx(code)) return ftpError(FTP_UNEXPECTED);
  std::string user = u.credentials ? u.user : "anonymous";
  std::string password = u.credentials ? u.password : ANONYMOUS_PASSWORD;
  error = command(L, control, "user " + user, &code, nullptr);
  if (error) return error;
  if (code == 331) {
    error = command(L, control, "pass " + password, &code, nullptr);
    if (error) return error;
    if (code == 530) return ERR_FTPAUTH;
  }
  if (!in2xx(code)) return ftpError(FTP_UNEXPECTED);
  error = command(L, control, "pasv", &code, &reply);
  if (error) return error;
  if (!in2xx(code)) return ftpError(FTP_UNEXPECTED);
  int32_t dataPort = 0;
  error = parsePassive(reply, &dataPort);
  if (error) return error;
  std::string dataHost;
  error = controlPeer(control, &dataHost);
  if (error) return error;
  error = connectFtp(L, t, dataHost, dataPort, t->secure ? ssl : 0);
  if (error) return error;
  int letter = u.typeLetter ? u.typeLetter : (t->transferMode == 97 ? 'a' : 'i');
  error = command(L, control, std::string("type ") + static_cast<char>(letter), &code, nullptr);
  if (error) return error;
  if (code != 200) return ftpError(FTP_UNEXPECTED);
  std::string path = DecodeUrlPath(u.path);
  int64_t size = 0;
  if (!t->upload) {
    error = command(L, control, "size " + path, &code, &reply);
    if (error) return error;
    if (code == 213) size = replySize(reply);
  }
  error = command(L, control, std::string(t->upload ? "stor " : "retr ") + path, &code, &reply);
  if (error) return error;
  if (code < 100 || code > 299) {
    if (code == 550) {
      SetErrorArgString(path.c_str());
      return t->upload ? ERR_UPLOADFORBIDDEN : ERR_FILENOTFOUND;
    }
    return ftpError(FTP_UNEXPECTED);
  }
  int32_t transferCode = code;
  if (!t->upload && size == 0 && code == 150) size = announcedSize(reply);
  ConnectionRecord* data = t->dataConnection;
  if (!t->upload) {
    StartTransferProgress(t, data, size, 0);
    if (!t->file.empty()) {
      error = OpenTransferDestination(t);
      if (error) return error;
    }
    ReceiveTarget target;
    if (t->destination)
      target.file = t->destination;
    else
      target.block = &t->body;
    int64_t got = 0;
    int32_t status = 0;
    int done = 0;
    error = ReceiveBuffered(L, data, RECEIVEALL, 0, 1, target, &got, &status, &done);
    t->size = got;
    if (error) return error;
    if (vmRun.quit) return ERR_USERABORT;
    if (status == SOCKET_TIMEOUT) return ERR_RECVTIMEOUT;
    if (status > 0) {
      SetErrorArgString(SocketErrorText(status));
      return ERR_SOCKET;
    }
  } else {
    int64_t total = t->source ? t->sourceSize : static_cast<int64_t>(t->data.size());
    StartTransferProgress(t, data, total, 0);
    error = SendStream(L, data, t->data.data(), t->data.size(), t->source, t->sourceSize);
    if (error) return error;
  }
  data->progress = 0;
  FreeConnectionRecord(data);
  t->dataConnection = nullptr;
  if (transferCode >= 100 && transferCode <= 199) {
    error = readFtpReply(L, control, &code, nullptr);
    if (error) return error;
    if (!in2xx(code)) return ftpError(FTP_UNEXPECTED);
  }
  return sendCommand(L, control, "quit");
}
