// The server under the route table: Boost.Beast parses requests, the dispatch answers them, and
// the answer bytes go out as they were queued. One io_context, one thread, every step
// asynchronous, so a slow or idle client never holds up another one.
//
// What one client can cost is bounded: a connection limit that every connection counts against,
// header and body limits, time-outs, and one budget for the bytes of bodies still arriving, which
// are held only as they come in. A failed allocation ends the one connection it happened on.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <list>
#include <memory>
#include <new>
#include <string>

#include "http.h"
#include "platform/net.h"
#include "tw/log.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

// Limits for what a browser page sends: forms with a certificate or a signature picture fit
// easily; anything larger is refused.
constexpr std::uint32_t kHeaderLimit = 16 * 1024;
constexpr std::uint64_t kBodyLimit = 8 * 1024 * 1024;
constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr auto kAcceptBackoffFirst = std::chrono::milliseconds(50);
constexpr auto kAcceptBackoffMost = std::chrono::seconds(2);

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

class Session;

struct Registry {
  // Most recently active at the back.
  std::list<std::weak_ptr<Session>> sessions;
  BodyBudget budget;
  bool closing = false;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<Registry> registry)
      : stream_(std::move(socket)), registry_(std::move(registry)) {}

  void Start(std::list<std::weak_ptr<Session>>::iterator self) {
    self_ = self;
    ReadHeader();
  }

  bool Closed() const { return closed_; }
  void Close() {
    closed_ = true;
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.close();
  }

  ~Session() { registry_->sessions.erase(self_); }

 private:
  // Moves this session to the back of the limit's queue: the last to make way.
  void Touch() { registry_->sessions.splice(registry_->sessions.end(), registry_->sessions, self_); }

  // Runs one step; whatever it throws (an allocation that failed, say) ends this connection
  // only.
  template <class Step>
  void Guarded(Step step) {
    try {
      step();
    } catch (const std::exception& e) {
      LOG_ERROR("Connection ended:{}", e.what());
      Close();
    }
  }

  void ReadHeader() {
    parser_.reset();  // the previous request's body returns its bytes to the budget
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    parser_->get().body().budget = &registry_->budget;
    stream_.expires_after(kRequestTimeout);
    bhttp::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->Guarded([&] { self->OnHeader(ec); }); });
  }

  void OnHeader(beast::error_code ec) {
    if (ec) return Fail(ec);
    Touch();
    auto& req = parser_->get();
    auto expect = req.find(bhttp::field::expect);
    if (expect != req.end() && beast::iequals(expect->value(), "100-continue") && !parser_->is_done()) {
      // Without this, a client that asks first would wait a second before sending its body.
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(stream_, asio::buffer(kContinue, sizeof kContinue - 1),
                        [self = shared_from_this()](beast::error_code e, std::size_t) {
                          self->Guarded([&] {
                            if (e) return self->Fail(e);
                            self->ReadBody();
                          });
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    bhttp::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->Guarded([&] { self->OnRequest(ec); });
    });
  }

  void OnRequest(beast::error_code ec) {
    if (ec) return Fail(ec);
    // Once the server closes, nothing more reaches a handler.
    if (registry_->closing) return Close();
    Touch();
    const Request& req = parser_->get();
    keepAlive_ = req.keep_alive();
    ParsedRequest parsed;
    parsed.method = {req.method_string().data(), req.method_string().size()};
    parsed.target = {req.target().data(), req.target().size()};
    parsed.body = req.body().text;
    for (const auto& field : req) {
      parsed.headers.emplace_back(std::string_view(field.name_string().data(), field.name_string().size()),
                                  std::string_view(field.value().data(), field.value().size()));
    }
    ServeRequest(parsed, &connection_);
    if (connection_.Pending().empty()) {
      // A request without an answer would leave the page waiting until it gives up.
      LOG_ERROR("No answer for:{}", std::string(parsed.target));
      keepAlive_ = false;
      return Close();
    }
    Write();
  }

  void Write() {
    out_.swap(connection_.Pending());
    connection_.Pending().clear();
    stream_.expires_after(kWriteTimeout);
    asio::async_write(stream_, asio::buffer(out_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->Guarded([&] {
        self->out_.clear();
        self->out_.shrink_to_fit();
        if (ec) return self->Fail(ec);
        if (!self->keepAlive_) {
          beast::error_code ignored;
          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
          return self->Close();
        }
        self->ReadHeader();
      });
    });
  }

  void Fail(beast::error_code ec) {
    // Requests over the parser's limits or malformed get a short refusal, then the connection
    // ends; time-outs and closes just end it.
    const char* refusal = nullptr;
    if (ec == bhttp::error::header_limit) {
      refusal = "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    } else if (ec == bhttp::error::body_limit) {
      refusal = "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    } else if (ec == asio::error::no_memory) {
      refusal = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    } else if (ec.category() == beast::error_code(bhttp::error::end_of_stream).category() &&
               ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message) {
      refusal = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    // The body held so far goes back to the budget now, not when the refusal is sent.
    parser_.reset();
    if (refusal == nullptr) return Close();
    stream_.expires_after(std::chrono::seconds(5));
    asio::async_write(stream_, asio::buffer(refusal, std::char_traits<char>::length(refusal)),
                      [self = shared_from_this()](beast::error_code, std::size_t) { self->Close(); });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<Registry> registry_;
  std::list<std::weak_ptr<Session>>::iterator self_;
  beast::flat_buffer buffer_;
  boost::optional<RequestParser> parser_;
  mg_connection connection_;
  std::string out_;
  bool keepAlive_ = true;
  bool closed_ = false;
};

}  // namespace

void ServeRequest(const ParsedRequest& request, mg_connection* c) {
  const std::string_view target = request.target;
  const size_t q = target.find('?');
  http_message hm;
  hm.method = {request.method.data(), request.method.size()};
  hm.uri = {target.data(), q == std::string_view::npos ? target.size() : q};
  if (q != std::string_view::npos) hm.query_string = {target.data() + q + 1, target.size() - q - 1};
  hm.body = {request.body.data(), request.body.size()};
  int i = 0;
  for (const auto& [name, value] : request.headers) {
    if (i == MG_MAX_HTTP_HEADERS) break;
    hm.header_names[i] = {name.data(), name.size()};
    hm.header_values[i] = {value.data(), value.size()};
    ++i;
  }
  try {
    DispatchRequest(c, MG_EV_HTTP_REQUEST, &hm);
  } catch (const std::exception& e) {
    LOG_ERROR("Handler exception:{}", e.what());
    c->Pending().clear();  // half an answer is worse than none
  }
}

struct Tarnwick::Impl {
  asio::io_context ioc{1};
  // Ends a poll pass. run_for would wake twice per pass (a millisecond epoll wait, then a futex
  // wait for the remainder); one timer wakes once.
  asio::steady_timer passTimer{ioc};
  tcp::acceptor acceptor{ioc};
  asio::steady_timer acceptBackoff{ioc};
  std::chrono::milliseconds backoff{0};
  std::shared_ptr<Registry> registry = std::make_shared<Registry>();
  size_t maxConnections = 0;
  uint16_t boundPort = 0;

  void Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (ec) {
        // Out of descriptors or memory, say: try again a little later instead of spinning.
        backoff = backoff.count() == 0 ? std::chrono::duration_cast<std::chrono::milliseconds>(kAcceptBackoffFirst)
                                       : std::min(backoff * 2, std::chrono::milliseconds(kAcceptBackoffMost));
        LOG_ERROR("Accept failed:{}", ec.message());
        acceptBackoff.expires_after(backoff);
        acceptBackoff.async_wait([this](beast::error_code e) {
          if (!e) Accept();
        });
        return;
      }
      backoff = std::chrono::milliseconds(0);
      try {
        socket.set_option(tcp::no_delay(true), ec);
        MakeRoom();
        auto session = std::make_shared<Session>(std::move(socket), registry);
        registry->sessions.push_back(session);
        session->Start(std::prev(registry->sessions.end()));
      } catch (const std::exception& e) {
        LOG_ERROR("Connection refused:{}", e.what());
      }
      Accept();
    });
  }

  // Every connection counts against the limit; past it the least recently active ones make
  // way, so clients that trickle or idle cannot lock out the ones that send.
  void MakeRoom() {
    size_t open = 0;
    for (const auto& weak : registry->sessions) {
      const auto s = weak.lock();
      if (s && !s->Closed()) ++open;
    }
    for (auto it = registry->sessions.begin(); open >= maxConnections && it != registry->sessions.end(); ++it) {
      const auto s = it->lock();
      if (s && !s->Closed()) {
        s->Close();  // it leaves the list once its cancelled operations have run
        --open;
      }
    }
  }
};

Tarnwick::Tarnwick() = default;

Tarnwick::~Tarnwick() { Close(); }

void Tarnwick::Init(std::string port) { port_ = std::move(port); }

void Tarnwick::SetListenAddress(std::string address) { address_ = std::move(address); }

void Tarnwick::SetLimits(const Limits& limits) { limits_ = limits; }

void Tarnwick::AddHandler(std::string route, RouteHandler handler) {
  HandlerTable().emplace(std::move(route), std::move(handler));
}

bool Tarnwick::Start() {
  char* end = nullptr;
  const unsigned long port = std::strtoul(port_.c_str(), &end, 10);
  if (port_.empty() || *end != '\0' || port > 65535) return false;

  beast::error_code ec;
  asio::ip::address address = asio::ip::address_v4::any();
  if (!address_.empty()) address = asio::ip::make_address(address_, ec);
  if (ec) return false;

  impl_ = std::make_unique<Impl>();
  impl_->maxConnections = limits_.connections > 0 ? limits_.connections : 1;
  impl_->registry->budget.limit = limits_.bodyBudgetBytes;
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
  impl_->acceptor.open(endpoint.protocol(), ec);
  if (!ec && !platform::PrepareListenSocket(static_cast<std::uintptr_t>(impl_->acceptor.native_handle()))) {
    ec = asio::error::invalid_argument;
  }
  if (!ec) impl_->acceptor.bind(endpoint, ec);
  if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    impl_.reset();
    return false;
  }
  impl_->boundPort = impl_->acceptor.local_endpoint(ec).port();
  impl_->Accept();
  return true;
}

void Tarnwick::PollOnce(unsigned passMs) {
  if (!impl_) return;
  impl_->ioc.restart();
  if (interrupted_.exchange(false)) return;
  impl_->passTimer.expires_after(std::chrono::milliseconds(passMs));
  impl_->passTimer.async_wait([impl = impl_.get()](beast::error_code ec) {
    if (!ec) impl->ioc.stop();
  });
  // A handler's exception leaves run(); the step that threw has ended its connection, the
  // others go on.
  for (;;) {
    try {
      impl_->ioc.run();
      break;
    } catch (const std::exception& e) {
      LOG_ERROR("Poll pass:{}", e.what());
    }
  }
  impl_->passTimer.cancel();
}

void Tarnwick::Interrupt() {
  interrupted_.store(true);
  if (impl_) impl_->ioc.stop();
}

bool Tarnwick::Close() {
  if (!impl_) return true;
  impl_->registry->closing = true;
  beast::error_code ec;
  impl_->acceptor.close(ec);
  impl_->acceptBackoff.cancel();
  for (auto& weak : impl_->registry->sessions) {
    if (auto s = weak.lock()) s->Close();
  }
  // Let the cancelled operations finish so every session is released with the io_context.
  impl_->ioc.restart();
  try {
    impl_->ioc.poll();
  } catch (const std::exception&) {
  }
  impl_.reset();
  return true;
}

uint16_t Tarnwick::BoundPort() const { return impl_ ? impl_->boundPort : 0; }

size_t Tarnwick::BodyBytesHeld() const { return impl_ ? impl_->registry->budget.used.load() : 0; }

size_t Tarnwick::Connections() const { return impl_ ? impl_->registry->sessions.size() : 0; }
