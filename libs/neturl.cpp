// URLs of the transfers and the HTTP response head: percent-encoding, the
// parse into scheme, credentials, host, port and path, redirect targets
// resolved as RFC 3986 does, and the bounded readers of status lines,
// header lines and chunk sizes.
//
// Invariant: nothing read from the network sizes an allocation before the
// bytes have arrived; the head of a response is read within a byte budget
// and a deadline, so an endless or dripping head ends in an error.
#include <cctype>
#include <climits>
#include <cstring>
#include <string>

#include <poll.h>

#include "display/display.h"
#include "engine/engine.h"
#include "libs/network_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

// Longest status line and header line of a response.
constexpr size_t STATUS_LINE_MAX = 1023;
constexpr size_t HEADER_LINE_MAX = 32767;
// Error arguments of ERR_HTTPERROR for a malformed head or body.
constexpr int32_t HTTP_NOT_HTTP = 1001;
constexpr int32_t HTTP_NO_VERSION = 1002;
constexpr int32_t HTTP_NO_BLANK = 1003;
constexpr int32_t HTTP_HEAD_TOO_LONG = 1004;
constexpr int32_t HTTP_BAD_CHUNK = 3000;
constexpr int32_t HTTP_BAD_LENGTH = 3001;

bool needsEncoding(unsigned char c) {
  return c < 33 || c > 122 || c == '"' || c == '\\' || std::strchr("<>%^[]`+$,", c) != nullptr;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ErrorCode httpError(int32_t argument) {
  SetErrorArgNumber(argument);
  return ERR_HTTPERROR;
}

bool startsWithNoCase(const std::string& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  return s.size() >= n && CompareNoCaseN(s.c_str(), prefix, n) == 0;
}

// Removes "." and ".." segments of a path (RFC 3986, 5.2.4).
std::string removeDotSegments(const std::string& path) {
  std::string in = path, out;
  while (!in.empty()) {
    if (in.compare(0, 3, "../") == 0) {
      in.erase(0, 3);
    } else if (in.compare(0, 2, "./") == 0) {
      in.erase(0, 2);
    } else if (in.compare(0, 3, "/./") == 0) {
      in.erase(0, 2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.compare(0, 4, "/../") == 0 || in == "/..") {
      in = in.size() == 3 ? "/" : in.substr(3);
      size_t cut = out.rfind('/');
      out.erase(cut == std::string::npos ? 0 : cut);
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      size_t next = in.find('/', 1);
      if (next == std::string::npos) next = in.size();
      out += in.substr(0, next);
      in.erase(0, next);
    }
  }
  return out;
}

}  // namespace

ErrorCode EncodeUrl(const std::string& url, bool encoded, std::string* out) {
  out->clear();
  out->reserve(url.size());
  static const char HEX[] = "0123456789abcdef";
  for (size_t i = 0; i < url.size(); i++) {
    auto c = static_cast<unsigned char>(url[i]);
    if (!encoded) {
      if (needsEncoding(c)) {
        *out += '%';
        *out += HEX[c >> 4];
        *out += HEX[c & 15];
      } else {
        *out += static_cast<char>(c);
      }
      continue;
    }
    if (c != '%') {
      *out += static_cast<char>(c);
      continue;
    }
    int value = 0, digits = 0;
    while (digits < 2 && i + 1 + digits < url.size()) {
      int h = hexValue(url[i + 1 + digits]);
      if (h < 0) break;
      value = value * 16 + h;
      digits++;
    }
    if (digits == 0) return ERR_WRONGUSAGE;
    if (needsEncoding(static_cast<unsigned char>(value)))
      out->append(url, i, static_cast<size_t>(digits) + 1);
    else
      *out += static_cast<char>(value);
    i += static_cast<size_t>(digits);
  }
  return ERR_NONE;
}

ErrorCode ParseUrl(const std::string& url, ParsedUrl* out) {
  *out = ParsedUrl();
  size_t skip;
  if (startsWithNoCase(url, "http://")) {
    out->kind = 'h', out->port = 80, skip = 7;
  } else if (startsWithNoCase(url, "https://")) {
    out->kind = 'h', out->secure = true, out->port = 443, skip = 8;
  } else if (startsWithNoCase(url, "ftp://")) {
    out->kind = 'f', out->port = 21, skip = 6;
  } else if (startsWithNoCase(url, "ftps://")) {
    out->kind = 'f', out->secure = out->ftps = true, out->port = 21, skip = 7;
  } else {
    return ERR_UNKPROTOCOL;
  }
  size_t slash = url.find('/', skip);
  std::string host =
      url.substr(skip, slash == std::string::npos ? std::string::npos : slash - skip);
  out->path = slash == std::string::npos ? "/" : url.substr(slash);
  out->hostPart = host;
  if (out->kind == 'f' && out->path.size() > 7 &&
      out->path.compare(out->path.size() - 7, 6, ";type=") == 0) {
    int letter = std::tolower(static_cast<unsigned char>(out->path.back()));
    if (letter != 'i' && letter != 'a') return ERR_BADURL;
    out->typeLetter = letter;
    out->path.erase(out->path.size() - 7);
  }
  size_t at = host.rfind('@');
  if (at != std::string::npos) {
    std::string credentials = host.substr(0, at);
    size_t colon = credentials.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == credentials.size())
      return ERR_BADURL;
    out->user = credentials.substr(0, colon).substr(0, 255);
    out->password = credentials.substr(colon + 1).substr(0, 255);
    out->credentials = true;
    host.erase(0, at + 1);
  }
  size_t colon = host.rfind(':');
  // A bracketed IPv6 address keeps its own colons.
  if (colon != std::string::npos && host.find(']') != std::string::npos && colon < host.find(']'))
    colon = std::string::npos;
  if (colon != std::string::npos) {
    if (colon + 1 >= host.size() || !std::isdigit(static_cast<unsigned char>(host[colon + 1])))
      return ERR_BADURL;
    int64_t port = 0;
    for (size_t i = colon + 1; i < host.size() && std::isdigit(static_cast<unsigned char>(host[i]));
         i++) {
      port = port * 10 + (host[i] - '0');
      if (port > 65535) return ERR_BADURL;
    }
    out->port = static_cast<int32_t>(port);
    host.erase(colon);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty()) return ERR_BADURL;
  out->host = host;
  return ERR_NONE;
}

std::string ResolveUrlReference(const std::string& base, const std::string& location) {
  std::string ref = location.substr(0, location.find('#'));
  if (ref.find("://") != std::string::npos) return ref;
  size_t schemeEnd = base.find("://");
  if (schemeEnd == std::string::npos) return ref;
  std::string scheme = base.substr(0, schemeEnd + 1);  // "http:"
  size_t authorityStart = schemeEnd + 3;
  size_t pathStart = base.find_first_of("/?#", authorityStart);
  if (pathStart == std::string::npos) pathStart = base.size();
  std::string authority = base.substr(authorityStart, pathStart - authorityStart);
  std::string rest = base.substr(pathStart);
  rest = rest.substr(0, rest.find('#'));
  size_t queryAt = rest.find('?');
  std::string basePath = rest.substr(0, queryAt);
  std::string baseQuery = queryAt == std::string::npos ? "" : rest.substr(queryAt);
  if (ref.compare(0, 2, "//") == 0) return scheme + ref;
  if (ref.empty()) return scheme + "//" + authority + basePath + baseQuery;
  if (ref[0] == '?') return scheme + "//" + authority + basePath + ref;
  size_t refQuery = ref.find('?');
  std::string refPath = ref.substr(0, refQuery);
  std::string query = refQuery == std::string::npos ? "" : ref.substr(refQuery);
  std::string merged;
  if (refPath[0] == '/') {
    merged = refPath;
  } else if (basePath.empty()) {
    merged = "/" + refPath;
  } else {
    merged = basePath.substr(0, basePath.rfind('/') + 1) + refPath;
  }
  return scheme + "//" + authority + removeDotSegments(merged) + query;
}

std::string DecodeUrlPath(const std::string& path) {
  std::string out;
  for (size_t i = 0; i < path.size(); i++) {
    if (path[i] == '%' && i + 2 < path.size() + 0 && hexValue(path[i + 1]) >= 0 &&
        hexValue(path[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(path[i + 1]) * 16 + hexValue(path[i + 2]));
      i += 2;
    } else {
      out += path[i];
    }
  }
  return out;
}

ErrorCode ReadBoundedLine(VmState* L, ConnectionRecord* record, size_t limit, HeadBudget* budget,
                          std::string* line, ErrorCode overflow, int32_t overflowArg) {
  line->clear();
  ConnectionUse use(record);
  ReceiveBuffer* b = record->socket ? &record->socket->buffer : record->received;
  for (;;) {
    while (b->first < b->last) {
      char c = static_cast<char>(b->data[b->first++]);
      if (b->first >= b->last) b->first = b->last = 0;
      if (budget->bytesLeft == 0) {
        SetErrorArgNumber(overflowArg);
        return overflow;
      }
      budget->bytesLeft--;
      if (c == '\n') {
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return ERR_NONE;
      }
      if (line->size() >= limit) {
        SetErrorArgNumber(overflowArg);
        return overflow;
      }
      *line += c;
    }
    if (GetTimeSeconds() >= budget->deadline) return ERR_RECVTIMEOUT;
    // One receive through the engine in byte mode would wait for the idle
    // time-out; the head has its own deadline, so wait here in short steps.
    int64_t got = 0;
    int32_t status = 0;
    int done = 0;
    std::string chunk;
    ReceiveTarget target;
    target.buffer = &chunk;
    ErrorCode error = ReceiveBuffered(L, record, RECEIVEBYTES, 1, 0, target, &got, &status, &done);
    if (error) return error;
    if (vmRun.quit) return ERR_USERABORT;
    if (got == 1) {
      if (budget->bytesLeft == 0) {
        SetErrorArgNumber(overflowArg);
        return overflow;
      }
      budget->bytesLeft--;
      char c = chunk[0];
      if (c == '\n') {
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return ERR_NONE;
      }
      if (line->size() >= limit) {
        SetErrorArgNumber(overflowArg);
        return overflow;
      }
      *line += c;
      continue;
    }
    if (status == SOCKET_CLOSED) return ERR_RECVCLOSED;
    if (status != SOCKET_TIMEOUT && status != 0) {
      SetErrorArgString(SocketErrorText(status));
      return ERR_SOCKET;
    }
    if (record->socket && record->socket->descriptor >= 0) {
      pollfd p = {record->socket->descriptor, POLLIN, 0};
      poll(&p, 1, 1);
    } else {
      Delay(1);
    }
  }
}

ErrorCode ParseContentLength(const char* text, int64_t* length) {
  while (*text == ' ' || *text == '\t') text++;
  if (!std::isdigit(static_cast<unsigned char>(*text))) return httpError(HTTP_BAD_LENGTH);
  int64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*text)); text++) {
    if (value > (INT64_MAX - 9) / 10) return httpError(HTTP_BAD_LENGTH);
    value = value * 10 + (*text - '0');
  }
  while (*text == ' ' || *text == '\t') text++;
  if (*text) return httpError(HTTP_BAD_LENGTH);
  *length = value;
  return ERR_NONE;
}

ErrorCode ParseChunkSize(const std::string& line, int64_t* size) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
  if (i >= line.size() || hexValue(line[i]) < 0) return httpError(HTTP_BAD_CHUNK);
  int64_t value = 0;
  for (; i < line.size() && hexValue(line[i]) >= 0; i++) {
    if (value > (INT64_MAX >> 4)) return httpError(HTTP_BAD_CHUNK);
    value = value * 16 + hexValue(line[i]);
  }
  *size = value;
  return ERR_NONE;
}

ErrorCode ReadHttpHead(VmState* L, ConnectionRecord* record, HeadBudget* budget, HttpHead* head) {
  *head = HttpHead();
  std::string line;
  for (;;) {
    ErrorCode error = ReadBoundedLine(L, record, STATUS_LINE_MAX, budget, &line, ERR_HTTPERROR,
                                      HTTP_HEAD_TOO_LONG);
    if (error) return error;
    if (line.compare(0, 5, "HTTP/") != 0) return httpError(HTTP_NOT_HTTP);
    size_t i = 5;
    if (i >= line.size() || !std::isdigit(static_cast<unsigned char>(line[i])))
      return httpError(HTTP_NO_VERSION);
    while (i < line.size() && (std::isdigit(static_cast<unsigned char>(line[i])) || line[i] == '.'))
      i++;
    if (i >= line.size() || line[i] != ' ') return httpError(HTTP_NO_BLANK);
    while (i < line.size() && line[i] == ' ') i++;
    int32_t status = 0;
    for (int n = 0; n < 3 && i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]));
         n++, i++)
      status = status * 10 + (line[i] - '0');
    head->status = status;
    // Header lines of this head (and of every interim "100" head).
    for (;;) {
      error = ReadBoundedLine(L, record, HEADER_LINE_MAX, budget, &line, ERR_HTTPERROR,
                              HTTP_HEAD_TOO_LONG);
      if (error) return error;
      if (line.empty()) break;
      if (status == 100) continue;
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      size_t v = colon + 1;
      while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) v++;
      std::string value = line.substr(v);
      if (CompareNoCase(name.c_str(), "content-length") == 0) {
        error = ParseContentLength(value.c_str(), &head->length);
        if (error) return error;
      } else if (CompareNoCase(name.c_str(), "transfer-encoding") == 0) {
        if (CompareNoCase(value.c_str(), "chunked") == 0)
          head->chunked = true;
        else if (CompareNoCase(value.c_str(), "identity") != 0)
          return ERR_HTTPTE;
      } else if (CompareNoCase(name.c_str(), "location") == 0) {
        head->location = value;
      }
    }
    if (status != 100) return ERR_NONE;
  }
}

ErrorCode ReadChunkedBody(VmState* L, ConnectionRecord* record, const ReceiveTarget& target,
                          int64_t* size) {
  *size = 0;
  int32_t progress = record->progress;
  std::string line;
  for (;;) {
    // Chunk lines are small; each gets the head's limits and the idle time.
    int32_t timeout = GetNetworkTimeout();
    HeadBudget budget = {HEADER_LINE_MAX + 2,
                         timeout ? GetTimeSeconds() + timeout / 1000.0 : 1e300};
    record->progress = 0;
    ErrorCode error =
        ReadBoundedLine(L, record, HEADER_LINE_MAX, &budget, &line, ERR_HTTPERROR, HTTP_BAD_CHUNK);
    record->progress = progress;
    if (error) return error;
    int64_t chunk = 0;
    error = ParseChunkSize(line, &chunk);
    if (error) return error;
    if (chunk == 0) return ERR_NONE;
    int64_t got = 0;
    error = ReceiveExact(L, record, RECEIVEBYTES, chunk, target, &got);
    *size += got;
    if (error) return error;
    record->progress = 0;
    budget = {HEADER_LINE_MAX + 2, timeout ? GetTimeSeconds() + timeout / 1000.0 : 1e300};
    error =
        ReadBoundedLine(L, record, HEADER_LINE_MAX, &budget, &line, ERR_HTTPERROR, HTTP_BAD_CHUNK);
    record->progress = progress;
    if (error) return error;
  }
}
