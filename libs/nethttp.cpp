// DownloadFile and UploadFile: the transfer engine shared by HTTP and FTP
// (options, the URL, connections, progress, results and "silentfail"),
// and the HTTP side: the request, multipart form bodies, redirects and the
// response body, chunked, of known length or running until the close.
//
// Invariant: every buffer, form part, file and connection of a transfer
// belongs to its TransferState, whose owner releases them on every path,
// raised errors included. A body downloaded into a file of the platform
// reaches the file's name only once it is complete: a failed transfer
// leaves no truncated body there, and an older file keeps its contents.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/engine.h"
#include "engine/optiontable.h"
#include "libs/libs.h"
#include "libs/network_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

// Longest texts of the options.
constexpr size_t FILE_OPTION_SIZE = 1024;
constexpr size_t SHORT_OPTION_SIZE = 256;
// The most redirects followed before a redirect response is the result.
constexpr int32_t MAX_REDIRECTS = 5;
// The whole head of a response may take at most this much.
constexpr size_t HEAD_BUDGET = 1 << 20;
// Progress total when a body's length is unknown.
constexpr int64_t UNKNOWN_TOTAL = 16384;
constexpr int32_t ACTION_STATUS = 0;
constexpr int32_t ACTION_RESPONSE = 1;
constexpr size_t SILENT_TEXT_SIZE = 1024;
// The loader string that admits every file-adapter plug-in and no file of
// the platform.
constexpr const char* ADAPTERS_ONLY = "plugin";

struct StreamCloser {
  void operator()(StreamHandle* s) const { CloseFileStream(s); }
};
using OwnedStream = std::unique_ptr<StreamHandle, StreamCloser>;

// Releases what a transfer holds, also when a raise unwinds.
struct TransferOwner {
  TransferState* t;
  ~TransferOwner() {
    FreeConnectionRecord(t->dataConnection);
    FreeConnectionRecord(t->control);
    CloseFileStream(t->source);
    // A raise unwinds past the end of the transfer: the body is incomplete.
    FinishTransferDestination(t, ERR_WRITEFILE);
  }
};

// A string field of the table at index: false when absent or nil.
bool optionText(VmState* L, int table, const char* name, std::string* out) {
  VmPushString(L, name);
  VmGetTable(L, table);
  if (VmType(L, -1) <= VM_TYPE_NIL) {
    VmSetTop(L, -2);
    return false;
  }
  size_t length = 0;
  const char* text = VmCheckStringInContext(L, -1, name, &length);
  out->assign(text, length);
  VmSetTop(L, -2);
  return true;
}

ErrorCode readOptions(VmState* L, TransferState* t) {
  if (VmType(L, 2) <= VM_TYPE_NIL) {
    if (t->upload) VmCheckTable(L, 2);
    return ERR_NONE;
  }
  VmCheckTable(L, 2);
  char file[FILE_OPTION_SIZE] = "", adapters[SHORT_OPTION_SIZE] = "", proxy[SHORT_OPTION_SIZE] = "";
  char postType[SHORT_OPTION_SIZE] = "", userAgent[SHORT_OPTION_SIZE] = "";
  int postTypeGiven = 0, userAgentGiven = 0;
  OptionField rows[] = {
      {"transfermode", OPTION_INT, &t->transferMode},
      {"file", OPTION_STRING, file, sizeof file},
      {"encoded", OPTION_INT, &t->encoded},
      {"protocol", OPTION_INT, &t->protocol},
      {"ssl", OPTION_INT, &t->ssl},
      {"adapter", OPTION_STRING, adapters, sizeof adapters},
      {"proxy", OPTION_STRING, proxy, sizeof proxy},
      {"silentfail", OPTION_INT, &t->silentFail},
      {"fail404", OPTION_INT, &t->fail404},
      {"redirect", OPTION_INT, &t->redirect},
      {"posttype", OPTION_STRING, postType, sizeof postType},
      {"useragent", OPTION_STRING, userAgent, sizeof userAgent},
  };
  rows[10].given = &postTypeGiven;
  rows[11].given = &userAgentGiven;
  ErrorCode error = ReadOptionTable(L, 2, rows);
  if (error) return error;
  t->file = file;
  t->adapters = adapters;
  t->proxy = proxy;
  if (postTypeGiven) t->postType = postType;
  if (userAgentGiven) t->userAgent = userAgent;
  t->hasCustomHeaders = optionText(L, 2, "customheaders", &t->customHeaders);
  t->hasPost = optionText(L, 2, "post", &t->post);
  if (t->upload) t->hasData = optionText(L, 2, "data", &t->data);
  VmPushString(L, "formdata");
  VmGetTable(L, 2);
  if (VmType(L, -1) > VM_TYPE_NIL) {
    // Kept on the stack above the arguments for the form reader.
    t->formData = VmGetTop(L);
  } else {
    VmSetTop(L, -2);
  }
  if (t->upload) {
    if (t->hasData && !t->file.empty()) return ERR_WRONGUSAGE;
    if (!t->hasData && !t->file.empty()) {
      t->source = OpenFileStream(t->file.c_str(), STREAM_READ | STREAM_ADAPTERS, nullptr);
      if (!t->source) {
        SetErrorArgString(t->file.c_str());
        return ERR_READFILE;
      }
      t->sourceSize = GetStreamSize(t->source);
    }
    if (t->hasData && t->data.empty()) return ERR_WRONGUSAGE;
  }
  if (t->hasPost && t->post.empty()) return ERR_WRONGUSAGE;
  if (t->transferMode != 105 && t->transferMode != 97) return ERR_WRONGUSAGE;
  return ERR_NONE;
}

// Whether the adapter string names an adapter (not a class of loaders).
bool namesAdapter(const std::string& adapters) {
  return !adapters.empty() && CompareNoCase(adapters.c_str(), "inbuilt") != 0 &&
         CompareNoCase(adapters.c_str(), "default") != 0;
}

// ---- Form bodies --------------------------------------------------------------------------

struct FormPart {
  std::string contentType;  // empty for a plain field
  std::string name;
  std::string alias;
  std::string data;
  OwnedStream file;
  int64_t length = 0;
};

// A string field of the entry table at the top; nullopt when absent.
bool entryText(VmState* L, const char* name, std::string* out, bool* present) {
  VmPushString(L, name);
  VmGetTable(L, -2);
  *present = VmType(L, -1) > VM_TYPE_NIL;
  bool isString = VmType(L, -1) == VM_TYPE_STRING || VmType(L, -1) == VM_TYPE_NUMBER;
  if (*present && isString) {
    size_t length = 0;
    const char* text = VmCheckString(L, -1, &length);
    out->assign(text, length);
  }
  VmSetTop(L, -2);
  return !*present || isString;
}

ErrorCode readFormParts(VmState* L, int table, std::vector<FormPart>* parts) {
  if (VmType(L, table) != VM_TYPE_TABLE) return ERR_WRONGUSAGE;
  for (int i = 0;; i++) {
    VmRawGetI(L, table, i);
    if (VmType(L, -1) <= VM_TYPE_NIL) {
      VmSetTop(L, -2);
      break;
    }
    if (VmType(L, -1) != VM_TYPE_TABLE) {
      VmSetTop(L, -2);
      SetErrorArgString("formdata");
      return ERR_TABEXPECTED2;
    }
    FormPart part;
    bool present = false;
    std::string fileName, mimeType, alias;
    bool hasMime = false, hasAlias = false, hasFile = false, hasData = false;
    ErrorCode error = ERR_NONE;
    if (!entryText(L, "name", &part.name, &present)) {
      error = ERR_MISSINGFIELD;
      SetErrorArgString("Name");
    } else if (!present) {
      error = ERR_MISSINGFIELD;
      SetErrorArgString("Name");
    } else if (part.name.empty()) {
      error = ERR_WRONGUSAGE;
    }
    if (!error && !entryText(L, "file", &fileName, &hasFile)) error = ERR_STRINGEXPECTED;
    if (!error && !entryText(L, "data", &part.data, &hasData)) error = ERR_STRINGEXPECTED;
    if (!error && !entryText(L, "mimetype", &mimeType, &hasMime)) error = ERR_STRINGEXPECTED;
    if (!error && !entryText(L, "filealias", &alias, &hasAlias)) error = ERR_STRINGEXPECTED;
    VmSetTop(L, -2);
    if (error) return error;
    if (hasFile) {
      if (hasData) return ERR_WRONGUSAGE;
      part.file.reset(OpenFileStream(fileName.c_str(), STREAM_READ | STREAM_ADAPTERS, nullptr));
      if (!part.file) {
        SetErrorArgString(fileName.c_str());
        return ERR_READFILE;
      }
      part.length = GetStreamSize(part.file.get());
      if (part.length < 0) {
        SetErrorArgString(fileName.c_str());
        return ERR_FILESIZE;
      }
      if (part.length == 0) return ERR_WRONGUSAGE;
      // The name after the last separator is the one announced.
      const char* shown = FindFilePart(fileName.c_str());
      if (*shown == '/' || *shown == ':') shown++;
      part.alias = shown;
      part.contentType = "application/octet-stream";
    } else {
      if (!hasData) {
        SetErrorArgString("Data");
        return ERR_MISSINGFIELD;
      }
      if (part.data.empty()) return ERR_WRONGUSAGE;
      part.length = static_cast<int64_t>(part.data.size());
    }
    if (hasMime) {
      if (mimeType.empty()) return ERR_WRONGUSAGE;
      part.contentType = mimeType;
    }
    if (hasAlias) {
      if (part.contentType.empty()) {
        SetErrorArgString("MIMEType");
        return ERR_MISSINGFIELD;
      }
      part.alias = alias;
    }
    if (!part.contentType.empty() && part.alias.empty()) {
      SetErrorArgString("FileAlias");
      return ERR_MISSINGFIELD;
    }
    parts->push_back(std::move(part));
  }
  return parts->empty() ? ERR_WRONGUSAGE : ERR_NONE;
}

std::string partHead(const std::string& boundary, const FormPart& p) {
  std::string head = boundary + "\r\nContent-Disposition: form-data; name=\"" + p.name + "\"";
  if (p.contentType.empty())
    head += "\r\n";
  else
    head += "; filename=\"" + p.alias + "\"\r\nContent-Type: " + p.contentType + "\r\n";
  return head + "\r\n";
}

// ---- HTTP ---------------------------------------------------------------------------------

bool isDefaultPort(const ParsedUrl& u) { return u.port == (u.secure ? 443 : 80); }

std::string hostHeader(const ParsedUrl& u) {
  std::string host = u.host.find(':') != std::string::npos ? "[" + u.host + "]" : u.host;
  if (!isDefaultPort(u)) host += ":" + std::to_string(u.port);
  return host;
}

ErrorCode sendHttpRequest(VmState* L, TransferState* t, const std::string& target,
                          const std::vector<FormPart>& parts, const std::string& boundary) {
  bool post = t->upload || t->hasPost;
  std::string head =
      std::string(post ? "POST" : "GET") + " " + target +
      " HTTP/1.1\r\nTE: trailers\r\nConnection: close, TE\r\nHost: " + hostHeader(t->url) +
      "\r\nUser-Agent: " + t->userAgent + "\r\n";
  if (t->url.credentials) {
    std::string pair = t->url.user + ":" + t->url.password;
    ErrorCode error = ERR_NONE;
    size_t size = Base64EncodedSize(pair.size(), &error);
    if (error) return error;
    std::string encoded(size, '\0');
    EncodeBase64(pair.data(), pair.size(), encoded.data());
    encoded.resize(std::strlen(encoded.c_str()));
    head += "Authorization: Basic " + encoded + "\r\n";
  }
  int64_t bodyLength = 0;
  if (t->upload) {
    for (const FormPart& p : parts)
      bodyLength += static_cast<int64_t>(partHead(boundary, p).size()) + p.length + 2;
    bodyLength += static_cast<int64_t>(boundary.size()) + 4;
    head += "Content-Type: multipart/form-data; boundary=" + boundary.substr(2) +
            "\r\nContent-Length: " + std::to_string(bodyLength) + "\r\n";
  } else if (t->hasPost) {
    bodyLength = static_cast<int64_t>(t->post.size());
    head += "Content-Type: " + t->postType + "\r\nContent-Length: " + std::to_string(bodyLength) +
            "\r\n";
  }
  if (t->hasCustomHeaders) head += t->customHeaders;
  head += "\r\n";
  ConnectionRecord* r = t->control;
  ErrorCode error = SendExact(L, r, head.data(), head.size());
  if (error) return error;
  if (!t->upload) {
    if (!t->hasPost) return ERR_NONE;
    std::string body = t->post + "\r\n";
    return SendExact(L, r, body.data(), body.size());
  }
  StartTransferProgress(t, r, bodyLength, ACTION_STATUS);
  for (const FormPart& p : parts) {
    std::string ph = partHead(boundary, p);
    error = SendExact(L, r, ph.data(), ph.size());
    if (!error)
      error = SendStream(L, r, p.data.data(), p.data.size(), p.file.get(), p.file ? p.length : -1);
    if (!error) error = SendExact(L, r, "\r\n", 2);
    if (error) return error;
  }
  std::string end = boundary + "--\r\n";
  error = SendExact(L, r, end.data(), end.size());
  r->progress = 0;
  return error;
}

ErrorCode receiveHttpBody(VmState* L, TransferState* t, const HttpHead& head) {
  ConnectionRecord* r = t->control;
  int64_t total = head.length >= 0 ? head.length : head.chunked ? 0 : UNKNOWN_TOTAL;
  StartTransferProgress(t, r, total, t->upload ? ACTION_RESPONSE : ACTION_STATUS);
  if (!t->upload && !t->file.empty()) {
    ErrorCode error = OpenTransferDestination(t);
    if (error) return error;
  }
  ReceiveTarget target;
  if (t->destination) {
    target.file = t->destination;
  } else {
    target.block = &t->body;
    if (!head.chunked && head.length > 0) target.announced = head.length;
  }
  int64_t got = 0;
  ErrorCode error;
  if (head.chunked) {
    error = ReadChunkedBody(L, r, target, &got);
  } else if (head.length >= 0) {
    error = head.length ? ReceiveExact(L, r, RECEIVEBYTES, head.length, target, &got) : ERR_NONE;
  } else {
    int32_t status = 0;
    int done = 0;
    error = ReceiveBuffered(L, r, RECEIVEALL, 0, 1, target, &got, &status, &done);
    if (!error && status != SOCKET_CLOSED) {
      if (vmRun.quit) error = ERR_USERABORT;
      if (status == SOCKET_TIMEOUT) error = ERR_RECVTIMEOUT;
      if (status > 0) {
        SetErrorArgString(SocketErrorText(status));
        error = ERR_SOCKET;
      }
    }
  }
  t->size = got;
  return error;
}

ErrorCode runHttp(VmState* L, TransferState* t, std::string current) {
  std::vector<FormPart> parts;
  std::string boundary;
  if (t->upload) {
    if (!t->file.empty() || !t->formData) return ERR_WRONGUSAGE;
    ErrorCode error = readFormParts(L, t->formData, &parts);
    if (error) return error;
    TimeValue now;
    GetSysTime(&now);
    char text[64];
    std::snprintf(text, sizeof text, "-----------Quillmere%.8x%.8x", now.seconds, now.micros);
    boundary = text;
  }
  for (int32_t redirects = 0;;) {
    if (t->url.kind != 'h') return RunFtpTransfer(L, t);
    std::string host = t->url.host;
    int32_t port = t->url.port;
    std::string target = t->url.path;
    if (!t->proxy.empty()) {
      ParsedUrl proxy;
      if (CompareNoCaseN(t->proxy.c_str(), "http://", 7) != 0 ||
          ParseUrl(t->proxy, &proxy) != ERR_NONE)
        return ERR_WRONGUSAGE;
      host = proxy.host;
      port = proxy.port;
      target = current;
    }
    ErrorCode error = ConnectTransfer(
        L, t, t->secure && t->proxy.empty() ? "https://" + host + "/" : host, port, 0);
    if (error) return error;
    error = sendHttpRequest(L, t, target, parts, boundary);
    if (error) return error;
    int32_t timeout = GetNetworkTimeout();
    HeadBudget budget = {HEAD_BUDGET, timeout ? GetTimeSeconds() + timeout / 1000.0 : 1e300};
    HttpHead head;
    error = ReadHttpHead(L, t->control, &budget, &head);
    if (error) return error;
    if (head.status == 401 && !t->url.credentials) return ERR_REQAUTH;
    if (head.status == 404 && t->fail404 && !t->upload) {
      SetErrorArgString(DecodeUrlPath(t->url.path).c_str());
      return ERR_FILENOTFOUND;
    }
    if ((head.status == 301 || head.status == 302) && !head.location.empty() && t->redirect &&
        !t->upload && redirects < MAX_REDIRECTS) {
      FreeConnectionRecord(t->control);
      t->control = nullptr;
      current = ResolveUrlReference(current, head.location);
      redirects++;
      error = ParseUrl(current, &t->url);
      if (error) return error;
      t->secure = t->url.secure || t->ssl;
      if (t->secure && !namesAdapter(t->adapters)) return ERR_UNKPROTOCOL;
      continue;
    }
    if (head.status == 204 || head.status == 304 || (head.status >= 100 && head.status <= 199)) {
      SetErrorArgNumber(head.status);
      return ERR_HTTPERROR;
    }
    return receiveHttpBody(L, t, head);
  }
}

int transferUrl(VmState* L, bool upload) {
  CheckArgCount(L, upload ? 2 : 1, 4, 0, 0);
  size_t urlLength = 0;
  const char* url = VmCheckString(L, 1, &urlLength);
  TransferState t;
  TransferOwner owner{&t};
  t.upload = upload;
  t.protocol = GetDefaultProtocol();
  t.userAgent = "Quillmere 8.0";
  if (VmType(L, 3) > VM_TYPE_NIL) {
    VmCheckFunction(L, 3);
    t.callback = true;
    t.callbackUserData = VmType(L, 4) != VM_TYPE_NONE;
  }
  ErrorCode error = ReadySocketLayer();
  if (!error) error = readOptions(L, &t);
  std::string encoded;
  if (!error) error = EncodeUrl(std::string(url, urlLength), t.encoded != 0, &encoded);
  if (!error) error = ParseUrl(encoded, &t.url);
  if (!error) {
    t.secure = t.url.secure || t.ssl;
    if (t.secure && !namesAdapter(t.adapters)) error = ERR_UNKPROTOCOL;
  }
  if (!error) error = t.url.kind == 'f' ? RunFtpTransfer(L, &t) : runHttp(L, &t, encoded);
  bool aborted = error == ERR_USERABORT && !vmRun.quit;
  if (aborted) error = ERR_NONE;
  error = FinishTransferDestination(&t, error);
  if (error) {
    if (t.silentFail && error != ERR_USERABORT) {
      char text[SILENT_TEXT_SIZE];
      GetErrorText(error, text, sizeof text);
      VmPushString(L, text);
      VmPushNumber(L, -1);
      return 2;
    }
    return error;
  }
  if (upload && t.url.kind == 'f') return 0;
  t.body.Push(L);
  VmPushNumber(L, static_cast<double>(t.size));
  return 2;
}

}  // namespace

ErrorCode ConnectTransfer(VmState* L, TransferState* t, const std::string& host, int32_t port,
                          int32_t ssl) {
  ConnectionRecord* record = nullptr;
  ErrorCode error =
      ConnectViaAdapter(L, host.c_str(), port, t->protocol, t->adapters.c_str(), ssl, &record);
  if (error) return error;
  // A secure transfer that no adapter took would otherwise go out in clear.
  if (t->secure && !record->adapter) {
    FreeConnectionRecord(record);
    SetErrorArgString("no secure connection available");
    return ERR_SOCKET;
  }
  ConnectionRecord*& slot = t->control ? t->dataConnection : t->control;
  slot = record;
  return ERR_NONE;
}

void StartTransferProgress(TransferState* t, ConnectionRecord* record, int64_t total,
                           int32_t action) {
  record->progress = t->callback ? 1 : 0;
  record->count = 0;
  record->total = total;
  record->action = action;
  record->userData = t->callbackUserData ? 1 : 0;
}

ErrorCode OpenTransferDestination(TransferState* t) {
  const char* name = t->file.c_str();
  // Linked data, memory files and names a file adapter takes are written
  // in place; a file of the platform gets its body under a name of its own
  // first.
  t->destination = OpenFileStream(name, STREAM_WRITE | STREAM_ADAPTERS, ADAPTERS_ONLY);
  if (!t->destination && !IsChunkName(name) && !IsMemoryFileName(name)) {
    static uint32_t serial = 0;
    std::string partial =
        t->file + "." + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".part";
    t->destination = OpenFileStream(partial.c_str(), STREAM_WRITE, nullptr);
    if (t->destination) t->partial = partial;
  }
  if (!t->destination) t->destination = OpenFileStream(name, STREAM_WRITE, nullptr);
  if (t->destination) return ERR_NONE;
  SetErrorArgString(name);
  return ERR_WRITEFILE;
}

ErrorCode FinishTransferDestination(TransferState* t, ErrorCode error) {
  if (!t->destination) return error;
  bool closed = CloseFileStream(t->destination) != 0;
  t->destination = nullptr;
  if (!closed && !error) error = ERR_CLOSEFILE;
  if (t->partial.empty()) return error;
  if (!error && !RenameFileNative(t->partial.c_str(), t->file.c_str())) {
    SetErrorArgString(t->file.c_str());
    error = ERR_WRITEFILE;
  }
  if (error) DeleteFileNative(t->partial.c_str());
  t->partial.clear();
  return error;
}

int CmdDownloadFile(VmState* L) { return transferUrl(L, false); }
int CmdUploadFile(VmState* L) { return transferUrl(L, true); }
