// Requests as the server reads them: the limits on what one may cost, the body that grows only
// as its bytes arrive, and what the server refuses beyond what the parser checks.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <cstdint>
#include <new>
#include <string>

#include "http.h"

namespace http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;

// Limits for what a browser page sends: forms with a certificate or a signature picture fit
// easily; anything larger is refused.
constexpr std::uint32_t kHeaderLimit = 16 * 1024;
constexpr std::uint64_t kBodyLimit = 8 * 1024 * 1024;
// Chunk-size lines with their extensions, and the trailer: what framing may add to a body.
constexpr std::uint64_t kFramingLimit = 1024 * 1024;
// All bytes of one request: head, framing and body.
constexpr std::uint64_t kRequestLimit = kHeaderLimit + kBodyLimit + kFramingLimit;
// Bytes read but not yet parsed. The parser keeps the bytes of an unfinished head, chunk-size
// line or trailer here; without a cap, one that never ends grows it until memory runs out.
constexpr size_t kReadBufferLimit = kHeaderLimit + 1024;
// The bytes all bodies still arriving may hold together.
struct BodyBudget {
  size_t limit = 0;
  std::atomic<size_t> used{0};  // read by tests from another thread
};

// A request body that grows only as its bytes arrive (a declared Content-Length reserves
// nothing) and charges them to the server's budget until the request is done with.
struct FormBody {
  struct value_type {
    std::string text;
    BodyBudget* budget = nullptr;
    size_t charged = 0;
    value_type() = default;
    value_type(const value_type&) = delete;
    value_type& operator=(const value_type&) = delete;
    ~value_type() {
      if (budget != nullptr) budget->used -= charged;
    }
  };

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(bhttp::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>&, beast::error_code& ec) { ec = {}; }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, beast::error_code& ec) {
      const size_t n = asio::buffer_size(buffers);
      BodyBudget* budget = body_.budget;
      if (budget != nullptr && budget->used + n > budget->limit) {
        ec = asio::error::no_memory;
        return 0;
      }
      try {
        const size_t at = body_.text.size();
        body_.text.resize(at + n);
        asio::buffer_copy(asio::buffer(&body_.text[at], n), buffers);
      } catch (const std::bad_alloc&) {
        ec = asio::error::no_memory;
        return 0;
      }
      if (budget != nullptr) {
        budget->used += n;
        body_.charged += n;
      }
      ec = {};
      return n;
    }

    void finish(beast::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
  };
};

using Request = bhttp::request<FormBody>;
using RequestParser = bhttp::request_parser<FormBody>;

// The short answer a request gets before its connection ends: over the parser's limits,
// malformed, or past the body budget. Null for time-outs and closes, which just end it.
const char* RefusalFor(beast::error_code ec);
// What the server refuses once a head has arrived, beyond what the parser checks itself.
beast::error_code CheckHead(const Request& req);
// Past the bound for one whole request; answered as malformed.
beast::error_code CheckRequestSize(std::uint64_t bytes);
// What the dispatch sees of a parsed request; views into `req`.
ParsedRequest Parsed(const Request& req);
// The request as the handlers see it; views into `request`.
http_message MessageOf(const ParsedRequest& request);

}  // namespace http
