#include "observe/http_request_head.h"

namespace tervane {
namespace {

bool IsToken(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.' || c == '!' || c == '#' || c == '$' || c == '%' || c == '&' || c == '\'' || c == '*' ||
         c == '+' || c == '^' || c == '`' || c == '|' || c == '~';
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<HttpRequestHead> ParseHttpRequestHead(std::string_view head) {
  if (head.size() > kHttpHeadLimit) return std::nullopt;
  HttpRequestHead out;
  std::size_t end = head.find("\r\n");
  const std::string_view line = head.substr(0, end);
  // METHOD SP target SP HTTP/1.x
  const std::size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0 || sp1 > 16) return std::nullopt;
  const std::size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return std::nullopt;
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  for (char c : method)
    if (!IsToken(c)) return std::nullopt;
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return std::nullopt;
  if (target.front() != '/') return std::nullopt;
  for (char c : target)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) return std::nullopt;
  out.method = std::string(method);
  out.path = std::string(target.substr(0, target.find('?')));

  while (end != std::string_view::npos) {
    const std::size_t start = end + 2;
    end = head.find("\r\n", start);
    const std::string_view field = head.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (field.empty()) return std::nullopt;  // the head ends before its last line
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view name = field.substr(0, colon);
    for (char c : name)
      if (!IsToken(c)) return std::nullopt;
    const std::string_view value = Trim(field.substr(colon + 1));
    for (char c : value)
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return std::nullopt;
    if (SameIgnoringCase(name, "Authorization")) {
      out.authorization = std::string(value);
    } else if (SameIgnoringCase(name, "Content-Length")) {
      if (out.contentLength || value.empty() || value.size() > 12) return std::nullopt;
      std::size_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<std::size_t>(c - '0');
      }
      out.contentLength = n;
    } else if (SameIgnoringCase(name, "Transfer-Encoding")) {
      out.chunked = true;
    }
  }
  return out;
}

}  // namespace tervane
