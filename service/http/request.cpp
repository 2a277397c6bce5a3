#include "request.h"

namespace http {

const char* RefusalFor(beast::error_code ec) {
  if (ec == bhttp::error::header_limit) {
    return "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }
  if (ec == bhttp::error::body_limit) {
    return "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }
  if (ec == asio::error::no_memory) {
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }
  if (ec.category() == beast::error_code(bhttp::error::end_of_stream).category() && ec != bhttp::error::end_of_stream &&
      ec != bhttp::error::partial_message && ec != bhttp::error::need_more) {
    return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  }
  return nullptr;
}

beast::error_code CheckHead(const Request& req) {
  // Two Host fields: which of them the access policy should judge is anyone's guess.
  if (req.count(bhttp::field::host) > 1) return bhttp::error::bad_value;
  return {};
}

beast::error_code CheckRequestSize(std::uint64_t bytes) {
  return bytes > kRequestLimit ? beast::error_code(bhttp::error::buffer_overflow) : beast::error_code();
}

ParsedRequest Parsed(const Request& req) {
  ParsedRequest parsed;
  parsed.method = {req.method_string().data(), req.method_string().size()};
  parsed.target = {req.target().data(), req.target().size()};
  parsed.body = req.body().text;
  for (const auto& field : req) {
    if (parsed.headerCount == parsed.headers.size()) break;
    parsed.headers[parsed.headerCount++] = {std::string_view(field.name_string().data(), field.name_string().size()),
                                            std::string_view(field.value().data(), field.value().size())};
  }
  return parsed;
}

http_message MessageOf(const ParsedRequest& request) {
  const std::string_view target = request.target;
  const size_t q = target.find('?');
  http_message hm;
  hm.method = {request.method.data(), request.method.size()};
  hm.uri = {target.data(), q == std::string_view::npos ? target.size() : q};
  if (q != std::string_view::npos) hm.query_string = {target.data() + q + 1, target.size() - q - 1};
  hm.body = {request.body.data(), request.body.size()};
  for (size_t i = 0; i < request.headerCount; ++i) {
    hm.header_names[i] = {request.headers[i].first.data(), request.headers[i].first.size()};
    hm.header_values[i] = {request.headers[i].second.data(), request.headers[i].second.size()};
  }
  return hm;
}

}  // namespace http
