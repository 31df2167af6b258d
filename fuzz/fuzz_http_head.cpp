// Requests to the HTTP endpoint as any bytes, cut into the pieces a connection might bring
// (the first byte sets their size): the endpoint's reader, Beast's parser within our limits.
// A request read whole has a method, a path of its own without the query and a body within the
// limit; a refusal has one of the statuses the endpoint answers with.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "observe/http_request_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = data[0] % 64 + 1;
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  tervane::HttpRequestReader reader;
  using Step = tervane::HttpRequestReader::Step;
  Step step = Step::NeedMore;
  while (!bytes.empty() && step == Step::NeedMore) {
    step = reader.Feed(bytes.substr(0, piece));
    bytes.remove_prefix(bytes.size() < piece ? bytes.size() : piece);
  }
  if (step == Step::Complete) {
    const tervane::HttpRequest& r = reader.Request();
    if (r.method.empty() || r.path.empty() || r.path.front() != '/' || r.path.find('?') != std::string::npos ||
        r.body.size() > tervane::kHttpBodyLimit)
      __builtin_trap();
  }
  if (step == Step::Refused) {
    const int s = reader.RefusalStatus();
    if (s != 400 && s != 413 && s != 431) __builtin_trap();
  }
  return 0;
}
