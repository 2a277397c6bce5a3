// The server under the route table: Boost.Beast parses requests, the dispatch answers them, and
// the answer bytes go out as they were queued. One io_context, one thread, every step
// asynchronous, so a slow or idle client never holds up another one. A device family's handlers
// run on that family's lane, so a slow device never holds up the I/O thread or another family;
// the service's own routes answer on the I/O thread.
//
// What one client can cost is bounded: a connection limit that every connection counts against,
// header and body limits, time-outs, and one budget for the bytes of bodies still arriving, which
// are held only as they come in. A failed allocation ends the one connection it happened on.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <list>
#include <memory>
#include <new>
#include <string>

#include "events.h"
#include "http.h"
#include "lane.h"
#include "metrics.h"
#include "platform/memory.h"
#include "platform/net.h"
#include "request.h"
#include "tw/log.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
// The io_context's own executor rather than the polymorphic one: one server, one thread.
using Socket = asio::basic_stream_socket<tcp, asio::io_context::executor_type>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr size_t kKeptAnswerBuffer = 64 * 1024;
// Deadlines are checked by one sweep for all connections, and only while there are some, so a
// request costs no timer of its own and an idle service none at all.
constexpr auto kSweepInterval = std::chrono::seconds(1);
// An event stream's client that reads nothing: past this many bytes waiting for it, it goes.
constexpr size_t kStreamBacklog = 256 * 1024;
// A comment line on a stream quiet this long keeps proxies and idle timers from ending it.
constexpr auto kKeepAliveInterval = std::chrono::seconds(15);
constexpr auto kAcceptBackoffFirst = std::chrono::milliseconds(50);
constexpr auto kAcceptBackoffMost = std::chrono::seconds(2);

using http::BodyBudget;
using http::CheckHead;
using http::CheckRequestSize;
using http::kBodyLimit;
using http::kHeaderLimit;
using http::kReadBufferLimit;
using http::MessageOf;
using http::Parsed;
using http::RefusalFor;
using http::Request;
using http::RequestParser;

class Session;

struct Registry {
  // Most recently active at the back.
  std::list<std::weak_ptr<Session>> sessions;
  std::atomic<size_t> open{0};  // read by tests and the status from other threads
  BodyBudget budget;
  bool closing = false;
  // By family; none for Local, whose routes answer on the I/O thread. Owned by the server.
  std::array<http::Lane*, kFamilyCount> lanes{};
  // Set by the server: arm the deadline sweep, and the keep-alive of event streams.
  std::function<void()> armSweep, armKeepAlive;
};

// The path of a request target, without its query.
std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

// Tells a client that its device family has too many requests waiting; the connection stays. Only
// admitted requests wait for a lane, so the page that asked may read it.
constexpr char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: 0\r\n\r\n";

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Socket socket, std::shared_ptr<Registry> registry)
      : socket_(std::move(socket)), registry_(std::move(registry)) {
    ++registry_->open;
    metrics::ConnectionOpened();
  }

  void Start(std::list<std::weak_ptr<Session>>::iterator self) {
    self_ = self;
    beast::error_code ec;
    const tcp::endpoint peer = socket_.remote_endpoint(ec);
    if (!ec) connection_.SetPeer(peer.address().to_string());
    ReadHeader();
  }

  bool Closed() const { return closed_; }
  // 0: no request answered yet; 1: between requests; 2: a request waits for its lane or runs, or
  // the connection carries an event stream.
  int EvictionRank() const { return inFlight_ != kIdle || stream_ ? 2 : answered_ ? 1 : 0; }
  void Close() {
    if (!closed_.exchange(true)) --registry_->open;
    stream_.reset();  // the hub stops sending at once, and the sources learn who still listens
    beast::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
  }
  // Ends the connection when its current step has run past its deadline. Whether a deadline is
  // set: an event stream between writes has none, and needs no sweep.
  bool Sweep(Clock::time_point now) {
    if (!closed_ && now > deadline_) Close();
    return !closed_ && deadline_ != Clock::time_point::max();
  }
  // A comment on a stream that has been quiet for the keep-alive interval. Whether it streams.
  bool KeepAlive(Clock::time_point now) {
    if (!stream_ || closed_) return false;
    if (!writing_ && now - lastWrite_ >= kKeepAliveInterval - std::chrono::milliseconds(100)) {
      StreamOut(": keep-alive\n\n");
    }
    return true;
  }

  ~Session() {
    if (!closed_.exchange(true)) --registry_->open;
    registry_->sessions.erase(self_);
    metrics::ConnectionClosed();
  }

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
    deadline_ = Clock::now() + kRequestTimeout;
    bhttp::async_read_header(socket_, buffer_, *parser_,
                             [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                               self->Guarded([&] { self->OnHeader(ec, n); });
                             });
  }

  void OnHeader(beast::error_code ec, std::size_t n) {
    if (ec) return Fail(ec);
    Touch();
    auto& req = parser_->get();
    requestBytes_ = n;
    if ((ec = CheckHead(req))) return Fail(ec);
    auto expect = req.find(bhttp::field::expect);
    if (expect != req.end() && beast::iequals(expect->value(), "100-continue") && !parser_->is_done()) {
      // Without this, a client that asks first would wait a second before sending its body.
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      asio::async_write(socket_, asio::buffer(kContinue, sizeof kContinue - 1),
                        [self = shared_from_this()](beast::error_code e, std::size_t) {
                          self->Guarded([&] {
                            if (e) return self->Fail(e);
                            self->ReadBody();
                          });
                        });
      return;
    }
    // A request without a body is complete with its head: no second read to wait for.
    if (parser_->is_done()) return OnRequest({});
    ReadBody();
  }

  // The body a piece at a time, so that the framing around it is counted as it arrives.
  void ReadBody() {
    parser_->eager(true);
    bhttp::async_read_some(socket_, buffer_, *parser_,
                           [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                             self->Guarded([&] { self->OnBodyPart(ec, n); });
                           });
  }

  void OnBodyPart(beast::error_code ec, std::size_t n) {
    if (ec) return Fail(ec);
    requestBytes_ += n;
    if ((ec = CheckRequestSize(requestBytes_))) return Fail(ec);
    if (!parser_->is_done()) return ReadBody();
    OnRequest({});
  }

  void OnRequest(beast::error_code ec) {
    if (ec) return Fail(ec);
    // Once the server closes, nothing more reaches a handler.
    if (registry_->closing) return Close();
    Touch();
    const Request& req = parser_->get();
    keepAlive_ = req.keep_alive();
    if (http::Lane* lane = LaneFor(req)) return Queue(*lane);
    ServeRequest(Parsed(req), &connection_);
    if (auto stream = connection_.TakeStream()) return StartStream(std::move(stream));
    Answered();
  }

  // GET and POST of a device family's route that the access policy admits; HEAD, OPTIONS, the
  // refusals and the rest answer from here, so another site's page never takes a lane's place.
  http::Lane* LaneFor(const Request& req) const {
    if (req.method() != bhttp::verb::get && req.method() != bhttp::verb::post) return nullptr;
    const Family family = FamilyOf(PathOf({req.target().data(), req.target().size()}));
    http::Lane* lane = registry_->lanes[static_cast<size_t>(family)];
    if (lane == nullptr) return nullptr;
    const http_message hm = MessageOf(Parsed(req));
    return Admitted(&hm) ? lane : nullptr;
  }

  // The lane serves the request while this thread reads nothing more from the connection: the
  // request stays where the parser put it, and the next pipelined one waits for the answer.
  void Queue(http::Lane& lane) {
    inFlight_ = kQueued;
    std::function<void()> job = [self = shared_from_this()]() mutable {
      int queued = kQueued;
      try {
        if (self->inFlight_.compare_exchange_strong(queued, kRunning) && !self->closed_) {
          ServeRequest(Parsed(self->parser_->get()), &self->connection_);
        }
      } catch (const std::exception& e) {
        LOG_ERROR("Lane:{}", e.what());
        self->connection_.Pending().clear();
      }
      // The session goes back to the I/O thread, the only one that may end it.
      Session* session = self.get();
      asio::post(session->socket_.get_executor(),
                 [self = std::move(self)] { self->Guarded([&] { self->OnLaneDone(); }); });
    };
    if (!lane.Push(job)) {
      inFlight_ = kIdle;
      return Busy();
    }
    WatchForLeaving();
  }

  void OnLaneDone() {
    const bool dropped = inFlight_ == kDropped;
    inFlight_ = kIdle;
    if (watching_) {
      beast::error_code ignored;
      socket_.cancel(ignored);
    }
    if (dropped || closed_ || registry_->closing) return Close();
    Answered();
  }

  // While a request waits for its lane, a client that closes its connection takes the request
  // with it: a page that gave up must not get a card read or a signature pad started for it.
  void WatchForLeaving() {
    watching_ = true;
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
      self->watching_ = false;
      if (ec || self->closed_ || self->inFlight_ != kQueued) return;
      self->Guarded([&] { self->CheckLeft(); });
    });
  }

  void CheckLeft() {
    char byte = 0;
    beast::error_code ec;
    socket_.non_blocking(true, ec);
    const size_t n = socket_.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, ec);
    beast::error_code ignored;
    socket_.non_blocking(false, ignored);
    if (ec == asio::error::would_block || ec == asio::error::try_again) return WatchForLeaving();
    // The next request, pipelined: it is read once this one has its answer.
    if (!ec && n > 0) return;
    int queued = kQueued;
    if (inFlight_.compare_exchange_strong(queued, kDropped)) Close();
  }

  void Busy() {
    metrics::CountRefusal(metrics::Refusal::Unavailable);
    connection_.Pending().assign(kBusy, sizeof kBusy - 1);
    Write();
  }

  void Answered() {
    Touch();  // an answer after a long wait on a lane is activity too
    answered_ = true;
    if (connection_.Pending().empty()) {
      // A request without an answer would leave the page waiting until it gives up.
      LOG_ERROR("No answer for:{}", std::string(parser_->get().target()));
      keepAlive_ = false;
      return Close();
    }
    Write();
  }

  void Write() {
    out_.swap(connection_.Pending());
    connection_.Pending().clear();
    deadline_ = Clock::now() + kWriteTimeout;
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->Guarded([&] {
        self->out_.clear();
        // A large answer (a photo) gives its memory back; a small buffer serves the next one.
        if (self->out_.capacity() > kKeptAnswerBuffer) self->out_.shrink_to_fit();
        if (ec) return self->Fail(ec);
        if (!self->keepAlive_) {
          beast::error_code ignored;
          self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
          return self->Close();
        }
        self->ReadHeader();
      });
    });
  }

  // From here on the connection carries the stream's events; nothing more is read from it, and
  // anything the client sends, or its leaving, ends it.
  void StartStream(std::shared_ptr<events::Stream> stream) {
    Touch();
    answered_ = true;
    parser_.reset();
    stream_ = std::move(stream);
    std::weak_ptr<Session> weak = shared_from_this();
    auto executor = socket_.get_executor();
    const std::string first = stream_->Attach([weak, executor](const std::string& bytes) {
      asio::post(executor, [weak, bytes] {
        if (auto self = weak.lock()) self->Guarded([&] { self->StreamOut(bytes); });
      });
    });
    connection_.Pending().append(first);
    StreamOut({});
    if (registry_->armKeepAlive) registry_->armKeepAlive();
    socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
      if (ec != asio::error::operation_aborted) self->Close();
    });
  }

  void StreamOut(std::string_view bytes) {
    if (closed_ || !stream_) return;
    std::string& waiting = connection_.Pending();
    waiting.append(bytes.data(), bytes.size());
    if (writing_) {
      if (waiting.size() > kStreamBacklog) {
        LOG_ERROR("Event stream dropped:{} bytes unread", waiting.size());
        Close();
      }
      return;
    }
    if (waiting.empty()) return;
    writing_ = true;
    out_.swap(waiting);
    waiting.clear();
    lastWrite_ = Clock::now();
    deadline_ = lastWrite_ + kWriteTimeout;
    if (registry_->armSweep) registry_->armSweep();
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->Guarded([&] {
        self->writing_ = false;
        self->out_.clear();
        self->deadline_ = Clock::time_point::max();
        if (ec) return self->Close();
        self->StreamOut({});
      });
    });
  }

  void Fail(beast::error_code ec) {
    const char* refusal = RefusalFor(ec);
    metrics::CountRefusalAnswer(refusal);
    // The body held so far goes back to the budget now, not when the refusal is sent.
    parser_.reset();
    if (refusal == nullptr) return Close();
    deadline_ = Clock::now() + std::chrono::seconds(5);
    asio::async_write(socket_, asio::buffer(refusal, std::char_traits<char>::length(refusal)),
                      [self = shared_from_this()](beast::error_code, std::size_t) { self->Close(); });
  }

  Socket socket_;
  Clock::time_point deadline_ = Clock::time_point::max();
  std::shared_ptr<Registry> registry_;
  std::list<std::weak_ptr<Session>>::iterator self_;
  beast::flat_buffer buffer_{kReadBufferLimit};
  boost::optional<RequestParser> parser_;
  std::uint64_t requestBytes_ = 0;
  mg_connection connection_;
  std::string out_;
  bool keepAlive_ = true;
  std::atomic<bool> closed_{false};
  // A request handed to a lane: waiting, taken by the lane, or dropped because its client left.
  enum : int { kIdle, kQueued, kRunning, kDropped };
  std::atomic<int> inFlight_{kIdle};
  bool watching_ = false;
  bool answered_ = false;
  std::shared_ptr<events::Stream> stream_;
  bool writing_ = false;
  Clock::time_point lastWrite_{};
};

}  // namespace

void ServeRequest(const ParsedRequest& request, mg_connection* c) {
  http_message hm = MessageOf(request);
  metrics::RequestScope counted;
  try {
    DispatchRequest(c, MG_EV_HTTP_REQUEST, &hm);
  } catch (const std::exception& e) {
    LOG_ERROR("Handler exception:{}", e.what());
    c->Pending().clear();  // half an answer is worse than none
  }
  counted.Finish(!c->Pending().empty());
}

std::vector<ServedAnswer> ServeBytes(std::string_view bytes) {
  std::vector<ServedAnswer> answers;
  BodyBudget budget;
  budget.limit = Tarnwick::Limits().bodyBudgetBytes;
  while (!bytes.empty()) {
    RequestParser parser;
    parser.header_limit(kHeaderLimit);
    parser.body_limit(kBodyLimit);
    parser.eager(true);
    parser.get().body().budget = &budget;
    beast::error_code ec;
    std::uint64_t requestBytes = 0;
    bool headChecked = false;
    while (!parser.is_done() && !bytes.empty() && !ec) {
      // The parser sees at most what the server's read buffer holds.
      const size_t window = std::min(bytes.size(), kReadBufferLimit);
      const size_t used = parser.put(asio::buffer(bytes.data(), window), ec);
      bytes.remove_prefix(used);
      requestBytes += used;
      if (ec == bhttp::error::need_more) {
        if (used > 0) {
          ec = {};
        } else if (window == kReadBufferLimit) {
          ec = bhttp::error::buffer_overflow;
        }
      }
      if (!ec && !headChecked && parser.is_header_done()) {
        headChecked = true;
        ec = CheckHead(parser.get());
      }
      if (!ec) ec = CheckRequestSize(requestBytes);
    }
    if (ec || !parser.is_done()) {
      if (const char* refusal = RefusalFor(ec)) answers.push_back({false, refusal});
      break;  // the connection ends, or waits for more
    }
    const Request& req = parser.get();
    mg_connection c;
    ServeRequest(Parsed(req), &c);
    if (c.Pending().empty()) break;
    answers.push_back({req.method() == bhttp::verb::head, std::move(c.Pending())});
    if (!req.keep_alive()) break;
  }
  return answers;
}

struct Tarnwick::Impl {
  asio::io_context ioc{1};
  // Ends a poll pass. run_for would wake twice per pass (a millisecond epoll wait, then a futex
  // wait for the remainder); one timer wakes once.
  asio::steady_timer passTimer{ioc};
  tcp::acceptor acceptor{ioc};
  asio::steady_timer acceptBackoff{ioc};
  asio::steady_timer sweepTimer{ioc};
  bool sweeping = false;
  asio::steady_timer keepAliveTimer{ioc};
  bool keepingAlive = false;
  std::chrono::milliseconds backoff{0};
  std::shared_ptr<Registry> registry = std::make_shared<Registry>();
  size_t maxConnections = 0;
  uint16_t boundPort = 0;
  std::string boundAddress;
  // Last, so that they stop before the io_context their jobs post to goes.
  std::array<std::unique_ptr<http::Lane>, kFamilyCount> lanes;

  void Accept() {
    acceptor.async_accept(ioc, [this](beast::error_code ec, Socket socket) {
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
        Sweep();
      } catch (const std::exception& e) {
        LOG_ERROR("Connection refused:{}", e.what());
      }
      Accept();
    });
  }

  // Arms the deadline sweep while connections with a deadline exist; with none it stays off.
  void Sweep() {
    if (sweeping || registry->sessions.empty()) return;
    sweeping = true;
    sweepTimer.expires_after(kSweepInterval);
    sweepTimer.async_wait([this](beast::error_code ec) {
      sweeping = false;
      if (ec) return;
      const auto now = Clock::now();
      bool deadlines = false;
      for (const auto& weak : registry->sessions) {
        if (auto s = weak.lock()) deadlines = s->Sweep(now) || deadlines;
      }
      // The last connection has gone: whatever a burst of clients left in the heap goes back.
      if (registry->sessions.empty()) platform::ReleaseFreeMemory();
      if (deadlines) Sweep();
    });
  }

  // Arms the keep-alive while event streams are open: one timer for all of them.
  void KeepAlive() {
    if (keepingAlive) return;
    keepingAlive = true;
    keepAliveTimer.expires_after(kKeepAliveInterval);
    keepAliveTimer.async_wait([this](beast::error_code ec) {
      keepingAlive = false;
      if (ec) return;
      const auto now = Clock::now();
      bool streams = false;
      for (const auto& weak : registry->sessions) {
        if (auto s = weak.lock()) streams = s->KeepAlive(now) || streams;
      }
      if (streams) KeepAlive();
    });
  }

  // Every connection counts against the limit; past it the least recently active ones make
  // way, so clients that trickle or idle cannot lock out the ones that send. First to go are
  // connections that have yet to complete a request, then those between requests; one whose
  // request waits for its lane or is being served goes last.
  void MakeRoom() {
    size_t open = registry->open;
    for (int rank = 0; rank < 3 && open >= maxConnections; ++rank) {
      for (auto it = registry->sessions.begin(); open >= maxConnections && it != registry->sessions.end(); ++it) {
        const auto s = it->lock();
        if (s && !s->Closed() && s->EvictionRank() == rank) {
          s->Close();  // it leaves the list once its cancelled operations have run
          --open;
        }
      }
    }
  }
};

Tarnwick::Tarnwick() = default;

Tarnwick::~Tarnwick() { Close(); }

void Tarnwick::Init(std::string port) { port_ = std::move(port); }

void Tarnwick::SetListenAddress(std::string address) { address_ = std::move(address); }

void Tarnwick::SetLimits(const Limits& limits) { limits_ = limits; }

void Tarnwick::AddHandler(std::string route, RouteHandler handler, Family family) {
  if (HandlerTable().emplace(route, std::move(handler)).second) RouteFamilies().emplace(std::move(route), family);
}

bool Tarnwick::Start() {
  startFailure_ = StartFailure::None;
  startError_.clear();
  char* end = nullptr;
  const unsigned long port = std::strtoul(port_.c_str(), &end, 10);
  if (port_.empty() || *end != '\0' || port > 65535) {
    startFailure_ = StartFailure::BadPort;
    startError_ = "not a port number";
    return false;
  }

  beast::error_code ec;
  asio::ip::address address = asio::ip::address_v4::any();
  if (!address_.empty()) address = asio::ip::make_address(address_, ec);
  if (ec) {
    startFailure_ = StartFailure::UnusableAddress;
    startError_ = "not an IP address";
    return false;
  }

  impl_ = std::make_unique<Impl>();
  impl_->maxConnections = limits_.connections > 0 ? limits_.connections : 1;
  impl_->registry->budget.limit = limits_.bodyBudgetBytes;
  impl_->registry->armSweep = [impl = impl_.get()] { impl->Sweep(); };
  impl_->registry->armKeepAlive = [impl = impl_.get()] { impl->KeepAlive(); };
  for (size_t family = 0; family < kFamilyCount; ++family) {
    if (static_cast<Family>(family) == Family::Local) continue;
    impl_->lanes[family] = std::make_unique<http::Lane>(limits_.laneQueue);
    impl_->registry->lanes[family] = impl_->lanes[family].get();
  }
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
  impl_->acceptor.open(endpoint.protocol(), ec);
  if (!ec && !platform::PrepareListenSocket(static_cast<std::uintptr_t>(impl_->acceptor.native_handle()))) {
    ec = asio::error::invalid_argument;
  }
  if (!ec) impl_->acceptor.bind(endpoint, ec);
  if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    startFailure_ =
        ec == boost::system::errc::address_not_available ? StartFailure::UnusableAddress : StartFailure::Other;
    startError_ = ec.message();
    impl_.reset();
    return false;
  }
  const tcp::endpoint bound = impl_->acceptor.local_endpoint(ec);
  impl_->boundPort = bound.port();
  impl_->boundAddress = ec ? address.to_string() : bound.address().to_string();
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
  impl_->sweepTimer.cancel();
  impl_->keepAliveTimer.cancel();
  for (auto& weak : impl_->registry->sessions) {
    if (auto s = weak.lock()) s->Close();
  }
  // Waiting requests go unserved; running handlers get until the stop bound.
  const auto until = Clock::now() + limits_.stopWait;
  bool handlersDone = true;
  for (auto& lane : impl_->lanes) {
    if (!lane) continue;
    const auto left = std::max(Clock::duration::zero(), until - Clock::now());
    handlersDone = lane->Stop(std::chrono::duration_cast<std::chrono::milliseconds>(left)) && handlersDone;
  }
  if (!handlersDone) {
    // A handler that will not return still uses its connection and will post its answer to the
    // io_context: both stay, unreachable but intact, for as long as the process runs.
    LOG_ERROR("Stopped with a handler still running");
    static auto* const leftRunning = new std::vector<std::unique_ptr<Impl>>();
    leftRunning->push_back(std::move(impl_));
    return false;
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

std::string Tarnwick::BoundAddress() const { return impl_ ? impl_->boundAddress : std::string(); }

size_t Tarnwick::BodyBytesHeld() const { return impl_ ? impl_->registry->budget.used.load() : 0; }

size_t Tarnwick::Waiting(Family family) const {
  const auto* lane = impl_ ? impl_->lanes[static_cast<size_t>(family)].get() : nullptr;
  return lane != nullptr ? lane->Waiting() : 0;
}

bool Tarnwick::RunOnLane(Family family, std::function<void()> job) {
  http::Lane* lane = impl_ ? impl_->lanes[static_cast<size_t>(family)].get() : nullptr;
  return lane != nullptr && lane->Push(job);
}

size_t Tarnwick::Connections() const { return impl_ ? impl_->registry->open.load() : 0; }
