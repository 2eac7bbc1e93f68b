// Feeds arbitrary bytes to the URL machinery of the transfers: encoding in
// both modes, the parse, redirect resolution against a parsed base and
// path decoding. The checks hold for any input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "libs/network_private.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  size_t split = data[0] % size;
  if (split > text.size()) split = text.size();
  std::string first = text.substr(0, split), second = text.substr(split);
  for (bool encoded : {false, true}) {
    std::string out;
    if (EncodeUrl(first, encoded, &out) != 0) continue;
    // Encoding grows a text at most threefold; decoding only shrinks it.
    check(encoded ? out.size() <= first.size() : out.size() <= 3 * first.size());
    ParsedUrl url;
    if (ParseUrl(out, &url) == 0) {
      check(!url.host.empty() && !url.path.empty() && url.path[0] == '/');
      check(url.port >= 0 && url.port <= 65535);
      std::string next = ResolveUrlReference(out, second);
      ParsedUrl again;
      ParseUrl(next, &again);
    }
    check(DecodeUrlPath(out).size() <= out.size());
  }
  return 0;
}
