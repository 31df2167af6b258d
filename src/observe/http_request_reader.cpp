#include "observe/http_request_reader.h"

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>

namespace tervane {

namespace http = boost::beast::http;

struct HttpRequestReader::Parser {
  Parser() {
    parser.header_limit(static_cast<std::uint32_t>(kHttpHeadLimit));
    parser.body_limit(kHttpBodyLimit);
    parser.eager(true);
  }
  http::request_parser<http::string_body> parser;
  // Bytes the parser has not taken yet: an unfinished line of the head, a chunk's size line
  // or the trailer. Never more than a head's worth.
  std::string pending;
};

HttpRequestReader::HttpRequestReader() : parser_(std::make_unique<Parser>()) {}
HttpRequestReader::~HttpRequestReader() = default;

std::string_view HttpRequestReader::Rest() const {
  return step_ == Step::Complete ? std::string_view(parser_->pending) : std::string_view();
}

HttpRequestReader::Step HttpRequestReader::Refuse(int status) {
  refusal_ = status;
  parser_->pending.clear();
  parser_->pending.shrink_to_fit();
  return step_ = Step::Refused;
}

HttpRequestReader::Step HttpRequestReader::Feed(std::string_view bytes) {
  if (step_ != Step::NeedMore) return step_;
  started_ = started_ || !bytes.empty();
  std::string& pending = parser_->pending;
  auto& parser = parser_->parser;
  pending.append(bytes);
  for (;;) {
    boost::beast::error_code ec;
    const std::size_t used = parser.put(boost::asio::buffer(pending), ec);
    pending.erase(0, used);
    if (!headChecked_ && parser.is_header_done()) {
      headChecked_ = true;
      const auto& head = parser.get();
      const std::size_t lines = static_cast<std::size_t>(std::distance(head.begin(), head.end()));
      if (lines > kHttpHeaderLinesLimit) return Refuse(431);
      if (head.version() != 10 && head.version() != 11) return Refuse(400);
      const auto target = head.target();
      if (target.empty() || target.front() != '/') return Refuse(400);
      if (head.count(http::field::host) > 1 || (head.version() == 11 && head.count(http::field::host) == 0))
        return Refuse(400);
    }
    if (ec == http::error::need_more) {
      // The parser waits for the end of a line; a line that long is refused, not kept.
      if (pending.size() >= kHttpHeadLimit) return Refuse(parser.is_header_done() ? 413 : 431);
      return step_;
    }
    if (ec == http::error::header_limit) return Refuse(431);
    if (ec == http::error::body_limit) return Refuse(413);
    if (ec) return Refuse(400);
    if (parser.is_done()) return Finish();
    if (used == 0) return step_;
  }
}

HttpRequestReader::Step HttpRequestReader::Finish() {
  const auto& message = parser_->parser.get();
  const auto target = message.target();
  request_.method = std::string(message.method_string());
  const std::size_t question = target.find('?');
  request_.path = std::string(target.substr(0, question));
  request_.query = question == target.npos ? std::string() : std::string(target.substr(question + 1));
  request_.authorization = std::string(message[http::field::authorization]);
  request_.host = std::string(message[http::field::host]);
  request_.body = message.body();
  keepAlive_ = parser_->parser.keep_alive();
  return step_ = Step::Complete;
}

}  // namespace tervane
