// The server under the route table: Boost.Beast parses requests, the dispatch answers them, and
// the answer bytes go out as they were queued. One io_context, one thread, every step
// asynchronous, so a slow or idle client never holds up another one.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <cstdlib>
#include <list>
#include <memory>
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
constexpr std::size_t kMaxConnections = 256;

class Session;

struct Registry {
  // Most recently active at the back.
  std::list<std::weak_ptr<Session>> sessions;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<Registry> registry)
      : stream_(std::move(socket)), registry_(std::move(registry)) {}

  void Start(std::list<std::weak_ptr<Session>>::iterator self) {
    self_ = self;
    ReadHeader();
  }

  bool Idle() const { return idle_; }
  void Close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.close();
  }

 private:
  void Touch() { registry_->sessions.splice(registry_->sessions.end(), registry_->sessions, self_); }

  void ReadHeader() {
    idle_ = true;
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(kRequestTimeout);
    bhttp::async_read_header(stream_, buffer_, *parser_,
                             [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    if (ec) return Fail(ec);
    idle_ = false;
    Touch();
    auto& req = parser_->get();
    auto expect = req.find(bhttp::field::expect);
    if (expect != req.end() && beast::iequals(expect->value(), "100-continue") && !parser_->is_done()) {
      // Without this, a client that asks first would wait a second before sending its body.
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(stream_, asio::buffer(kContinue, sizeof kContinue - 1),
                        [self = shared_from_this()](beast::error_code e, std::size_t) {
                          if (e) return self->Fail(e);
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    bhttp::async_read(stream_, buffer_, *parser_,
                      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRequest(ec); });
  }

  void OnRequest(beast::error_code ec) {
    if (ec) return Fail(ec);
    auto& req = parser_->get();
    keepAlive_ = req.keep_alive();

    const beast::string_view method = req.method_string();
    const beast::string_view target = req.target();
    const std::size_t q = target.find('?');
    const std::string& body = req.body();

    http_message hm;
    hm.method = {method.data(), method.size()};
    hm.uri = {target.data(), q == beast::string_view::npos ? target.size() : q};
    if (q != beast::string_view::npos) hm.query_string = {target.data() + q + 1, target.size() - q - 1};
    hm.body = {body.data(), body.size()};
    int i = 0;
    for (const auto& field : req) {
      if (i == MG_MAX_HTTP_HEADERS) break;
      hm.header_names[i] = {field.name_string().data(), field.name_string().size()};
      hm.header_values[i] = {field.value().data(), field.value().size()};
      ++i;
    }

    try {
      DispatchRequest(&connection_, MG_EV_HTTP_REQUEST, &hm);
    } catch (const std::exception& e) {
      LOG_ERROR("Handler exception:{}", e.what());
    }
    if (connection_.Pending().empty()) {
      // A request without an answer would leave the page waiting until it gives up.
      LOG_ERROR("No answer for:{}", std::string(hm.uri.p, hm.uri.len));
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
      self->out_.clear();
      if (ec) return self->Fail(ec);
      if (!self->keepAlive_) {
        beast::error_code ignored;
        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        return self->Close();
      }
      self->ReadHeader();
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
    } else if (ec.category() == beast::error_code(bhttp::error::end_of_stream).category() &&
               ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message) {
      refusal = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    }
    if (refusal == nullptr) return Close();
    stream_.expires_after(std::chrono::seconds(5));
    asio::async_write(stream_, asio::buffer(refusal, std::char_traits<char>::length(refusal)),
                      [self = shared_from_this()](beast::error_code, std::size_t) { self->Close(); });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<Registry> registry_;
  std::list<std::weak_ptr<Session>>::iterator self_;
  beast::flat_buffer buffer_;
  boost::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  mg_connection connection_;
  std::string out_;
  bool keepAlive_ = true;
  bool idle_ = true;

 public:
  ~Session() { registry_->sessions.erase(self_); }
};

}  // namespace

struct Tarnwick::Impl {
  asio::io_context ioc{1};
  // Ends a poll pass. run_for would wake twice per pass (a millisecond epoll wait, then a futex
  // wait for the remainder); one timer wakes once.
  asio::steady_timer passTimer{ioc};
  tcp::acceptor acceptor{ioc};
  std::shared_ptr<Registry> registry = std::make_shared<Registry>();
  uint16_t boundPort = 0;

  void Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (!ec) {
        socket.set_option(tcp::no_delay(true), ec);
        MakeRoom();
        auto session = std::make_shared<Session>(std::move(socket), registry);
        registry->sessions.push_back(session);
        session->Start(std::prev(registry->sessions.end()));
      }
      Accept();
    });
  }

  // Past the connection limit the least recently active idle connection makes way.
  void MakeRoom() {
    if (registry->sessions.size() < kMaxConnections) return;
    for (auto& weak : registry->sessions) {
      auto s = weak.lock();
      if (s && s->Idle()) {
        s->Close();
        return;
      }
    }
  }
};

Tarnwick::Tarnwick() = default;

Tarnwick::~Tarnwick() { Close(); }

void Tarnwick::Init(std::string port) { port_ = std::move(port); }

void Tarnwick::AddHandler(std::string route, RouteHandler handler) {
  HandlerTable().emplace(std::move(route), std::move(handler));
}

bool Tarnwick::Start() {
  char* end = nullptr;
  const unsigned long port = std::strtoul(port_.c_str(), &end, 10);
  if (port_.empty() || *end != '\0' || port > 65535) return false;

  impl_ = std::make_unique<Impl>();
  beast::error_code ec;
  const tcp::endpoint endpoint(asio::ip::address_v4::any(), static_cast<unsigned short>(port));
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
  impl_->ioc.run();
}

void Tarnwick::Interrupt() {
  interrupted_.store(true);
  if (impl_) impl_->ioc.stop();
}

bool Tarnwick::Close() {
  if (!impl_) return true;
  beast::error_code ec;
  impl_->acceptor.close(ec);
  for (auto& weak : impl_->registry->sessions) {
    if (auto s = weak.lock()) s->Close();
  }
  // Let the cancelled operations finish so every session is released with the io_context.
  impl_->ioc.restart();
  impl_->ioc.poll();
  impl_.reset();
  return true;
}

uint16_t Tarnwick::BoundPort() const { return impl_ ? impl_->boundPort : 0; }
