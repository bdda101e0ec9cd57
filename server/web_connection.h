#pragma once
// The inside of the web console's HTTP server (server/http_server.cpp):
// CXWebServer::Impl (the loop, the listener, the TLS context) and the
// connection, a template on its stream. Each stream's connection is made in
// a file of its own (web_connection_plain.cpp, web_connection_tls.cpp), the
// build's two slowest halves, which then compile side by side; the extern
// declarations keep every other file from making them again.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "server/fleet_events.h"
#include "server/http_server.h"
#include "server/web_router.h"
#include "server/web_types.h"

namespace orvalinth::server {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

// After a refusal the server reads (and drops) what the client still sends, this long at most, so
// that closing with unread bytes does not reset the connection before the client read the answer.
inline constexpr int64_t kWebLingerMs = 1000;

// "event: <type>\nid: <n>\ndata: <json>\n\n"; a data text with line breaks takes a "data:" line for each.
std::string WebEventText(const SXFleetEvent& event);

class CXWebServer::Impl {
 public:
  explicit Impl(CXWebServer& server) : server_(server), tls_(net::ssl::context::tls_server), acceptor_(loop_) {}

  // In this order: what the connections use outlives the loop, whose end ends them.
  CXWebServer& server_;
  net::ssl::context tls_;
  bool tls_on_ = false;
  std::mutex streams_lock_;
  std::set<uint64_t> streams_;  // the listeners of the open event streams
  std::atomic<bool> stopped_{false};
  net::io_context loop_;
  tcp::acceptor acceptor_;
  std::vector<std::thread> threads_;
  std::optional<net::executor_work_guard<net::io_context::executor_type>> work_;

  void Accept();
  void Later(int64_t ms, std::function<void()> then) {
    if (ms <= 0) return then();
    auto timer = std::make_shared<net::steady_timer>(loop_, std::chrono::milliseconds(ms));
    timer->async_wait([timer, then = std::move(then)](const boost::system::error_code&) { then(); });
  }
};

template <class Stream>
class CXWebConnection : public std::enable_shared_from_this<CXWebConnection<Stream>> {
 public:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  template <class... Args>
  CXWebConnection(CXWebServer& server, CXWebServer::Impl& impl, std::string peer, Args&&... args)
      : server_(server), impl_(impl), stream_(std::forward<Args>(args)...), peer_(std::move(peer)),
        timer_(stream_.get_executor()) {
    ++server_.counters().connections_open;
  }
  ~CXWebConnection() {
    EndStream();
    --server_.counters().connections_open;
  }

  void Run() {
    auto self = this->shared_from_this();
    Lowest().expires_after(Ms(server_.options().tuning.request_ms));
    if constexpr (kTls) {
      stream_.async_handshake(net::ssl::stream_base::server, [self](const boost::system::error_code& e) {
        if (e) return self->Close();
        self->ReadHeader();
      });
    } else {
      ReadHeader();
    }
  }

 private:
  static std::chrono::milliseconds Ms(int64_t ms) { return std::chrono::milliseconds(ms); }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
  const SXWebTuning& tuning() const { return server_.options().tuning; }

  // Between requests: the idle deadline until a byte comes, then the request's own.
  void WaitNext() {
    if (buffer_.size() > 0) {
      // The next request came with the last one: its own time starts now.
      Lowest().expires_after(Ms(tuning().request_ms));
      return ReadHeader();
    }
    auto self = this->shared_from_this();
    Lowest().expires_after(Ms(tuning().idle_ms));
    stream_.async_read_some(buffer_.prepare(4096), [self](const boost::system::error_code& e, size_t n) {
      if (e) return self->Close();
      self->buffer_.commit(n);
      self->Lowest().expires_after(Ms(self->tuning().request_ms));
      self->ReadHeader();
    });
  }

  void ReadHeader() {
    request_ = SXWebRequest();
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(kWebHeaderLimit));
    // The route's own limit is set once the header says which route it is.
    parser_->body_limit(server_.router().largest_body());
    auto self = this->shared_from_this();
    http::async_read_header(stream_, buffer_, *parser_, [self](const boost::system::error_code& e, size_t) {
      self->OnHeader(e);
    });
  }

  void OnHeader(const boost::system::error_code& e) {
    if (e == http::error::header_limit) {
      return Refuse(JsonError(431, "header-too-large", "the request's header is larger than 16 KiB"));
    }
    if (e == http::error::body_limit) return Refuse(JsonError(413, "too-large", "the body is too large"));
    if (e) {
      // A request that broke off, or its time ran out: no answer to give.
      if (e == http::error::end_of_stream || e == beast::error::timeout || e == net::error::eof ||
          e == net::error::operation_aborted || e == net::error::connection_reset || !parser_->got_some()) {
        return Close();
      }
      return Refuse(JsonError(400, "bad-request", "the request is no valid HTTP/1.1: " + e.message()));
    }
    SXWebResponse refusal;
    if (!BuildWebRequest(parser_->get().base(), peer_, &request_, &refusal)) return Refuse(std::move(refusal));
    const size_t limit = server_.BodyLimit(request_);
    const auto length = parser_->content_length();
    if (length && *length > limit) {
      return Refuse(JsonError(413, "too-large", "the body is larger than " + std::to_string(limit) + " bytes"));
    }
    parser_->body_limit(limit);
    auto self = this->shared_from_this();
    if (parser_->is_done()) return OnBody({});
    if (beast::iequals(parser_->get()[http::field::expect], "100-continue")) {
      continue_ = std::make_shared<std::string>("HTTP/1.1 100 Continue\r\n\r\n");
      net::async_write(stream_, net::buffer(*continue_), [self](const boost::system::error_code& e2, size_t) {
        if (e2) return self->Close();
        self->ReadBody();
      });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    auto self = this->shared_from_this();
    http::async_read(stream_, buffer_, *parser_,
                     [self](const boost::system::error_code& e, size_t) { self->OnBody(e); });
  }

  void OnBody(const boost::system::error_code& e) {
    if (e == http::error::body_limit) return Refuse(JsonError(413, "too-large", "the body is too large"));
    if (e) return Close();
    Lowest().expires_never();
    keep_alive_ = parser_->get().keep_alive();
    request_.body = std::move(parser_->get().body());
    parser_.reset();
    ++server_.counters().requests;
    auto self = this->shared_from_this();
    auto executor = stream_.get_executor();
    auto once = std::make_shared<std::atomic<bool>>(false);
    path_ = request_.path;
    // The handler may answer on any thread: the answer comes back to this connection's strand.
    server_.Handle(std::move(request_), [self, executor, once](SXWebResponse response) {
      if (once->exchange(true)) return;
      net::post(executor, [self, response = std::move(response)]() mutable { self->Write(std::move(response)); });
    });
  }

  template <class Body>
  void Fill(http::response<Body>* message, const SXWebResponse& response) {
    message->version(11);
    message->result(static_cast<unsigned>(response.status));
    message->set(http::field::content_type, response.content_type);
    for (const auto& header : response.headers) message->insert(header.first, header.second);
    message->keep_alive(keep_alive_);
  }

  void Write(SXWebResponse response) {
    CXWebServer::AddCommonHeaders(path_, &response);
    if (response.event_stream) return StartStream(response);
    auto self = this->shared_from_this();
    Lowest().expires_after(Ms(tuning().idle_ms));
    auto written = [self](const boost::system::error_code& e, size_t) {
      self->string_response_.reset();
      self->file_response_.reset();
      if (e || !self->keep_alive_) return self->Linger();
      self->WaitNext();
    };
    if (!response.file_path.empty()) {
      http::file_body::value_type file;
      boost::system::error_code e;
      file.open(response.file_path.c_str(), beast::file_mode::scan, e);
      if (!e) {
        file_response_.emplace();
        Fill(&*file_response_, response);
        if (!response.download_name.empty()) {
          std::string name;
          for (char c : response.download_name) name += (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) ? '_' : c;
          file_response_->set(http::field::content_disposition, "attachment; filename=\"" + name + "\"");
        }
        file_response_->body() = std::move(file);
        file_response_->prepare_payload();
        http::async_write(stream_, *file_response_, std::move(written));
        return;
      }
      SXWebResponse missing = JsonError(404, "not-found", "the file is gone");
      CXWebServer::AddCommonHeaders(path_, &missing);
      response = std::move(missing);
    }
    string_response_.emplace();
    Fill(&*string_response_, response);
    string_response_->body() = std::move(response.body);
    string_response_->prepare_payload();
    http::async_write(stream_, *string_response_, std::move(written));
  }

  // An answer to a request that cannot be served, then the connection ends.
  void Refuse(SXWebResponse response) {
    keep_alive_ = false;
    server_.CountAnswer(response.status, "(refused)", 0);
    path_ = request_.path;  // "" when the header was unreadable
    Write(std::move(response));
  }

  // The answer is out; what the client still sends is read and dropped for a moment before closing.
  void Linger() {
    boost::system::error_code ignored;
    if constexpr (!kTls) Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    Lowest().expires_after(Ms(kWebLingerMs));
    Drain();
  }
  void Drain() {
    auto self = this->shared_from_this();
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(16384), [self](const boost::system::error_code& e, size_t) {
      if (e) return self->Close();
      self->Drain();
    });
  }

  void Close() {
    EndStream();
    timer_.cancel();
    boost::system::error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Lowest().close();
  }

  // ---- the event stream -----------------------------------------------------------

  void StartStream(const SXWebResponse& response) {
    CXFleetEvents* events = server_.options().events;
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: keep-alive\r\n";
    for (const auto& header : response.headers) head += header.first + ": " + header.second + "\r\n";
    Queue(head + "\r\n: stream open\n\n");
    std::weak_ptr<CXWebConnection> weak = this->shared_from_this();
    auto executor = stream_.get_executor();
    {
      std::lock_guard<std::mutex> lock(impl_.streams_lock_);
      if (impl_.stopped_) return Close();
      listener_ = events->Subscribe(
          [weak, executor](const SXFleetEvent& event) {
            net::post(executor, [weak, text = WebEventText(event)]() mutable {
              if (auto self = weak.lock()) self->Queue(std::move(text));
            });
          },
          response.events_since);
      impl_.streams_.insert(listener_);
    }
    // No deadline of the stream's own from here: a write that stalls is found by the comments' timer.
    Lowest().expires_never();
    Comment();
    // A read that ends tells that the reader went (it sends nothing more).
    auto self = this->shared_from_this();
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(1024), [self](const boost::system::error_code&, size_t) {
      self->Close();
    });
  }

  void Comment() {
    auto self = this->shared_from_this();
    timer_.expires_after(Ms(tuning().event_comment_ms));
    timer_.async_wait([self](const boost::system::error_code& e) {
      if (e || self->listener_ == 0) return;
      if (self->writing_ && std::chrono::steady_clock::now() - self->write_started_ > Ms(self->tuning().idle_ms)) {
        self->closed_ = true;
        return self->Close();
      }
      self->Queue(": keep-alive\n\n");
      self->Comment();
    });
  }

  void Queue(std::string text) {
    if (closed_) return;
    queued_bytes_ += text.size();
    if (queued_bytes_ > tuning().event_queue_bytes) {
      ++server_.counters().streams_dropped;
      closed_ = true;
      return Close();
    }
    queue_.push_back(std::move(text));
    if (!writing_) WriteNext();
  }

  void WriteNext() {
    writing_ = true;
    write_started_ = std::chrono::steady_clock::now();
    auto self = this->shared_from_this();
    net::async_write(stream_, net::buffer(queue_.front()), [self](const boost::system::error_code& e, size_t) {
      self->writing_ = false;
      if (e) {
        self->closed_ = true;
        return self->Close();
      }
      self->queued_bytes_ -= self->queue_.front().size();
      self->queue_.pop_front();
      if (!self->queue_.empty()) self->WriteNext();
    });
  }

  void EndStream() {
    if (listener_ == 0) return;
    const uint64_t id = listener_;
    listener_ = 0;
    std::lock_guard<std::mutex> lock(impl_.streams_lock_);
    if (impl_.streams_.erase(id) != 0) server_.options().events->Unsubscribe(id);
  }

  CXWebServer& server_;
  CXWebServer::Impl& impl_;
  Stream stream_;
  std::string peer_;
  net::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  SXWebRequest request_;
  std::string path_;
  bool keep_alive_ = true;
  std::shared_ptr<std::string> continue_;
  std::optional<http::response<http::string_body>> string_response_;
  std::optional<http::response<http::file_body>> file_response_;
  // The event stream.
  uint64_t listener_ = 0;
  std::deque<std::string> queue_;
  size_t queued_bytes_ = 0;
  bool writing_ = false;
  std::chrono::steady_clock::time_point write_started_;
  bool closed_ = false;
};

using CXWebPlainConnection = CXWebConnection<beast::tcp_stream>;
using CXWebTlsConnection = CXWebConnection<beast::ssl_stream<beast::tcp_stream>>;
extern template class CXWebConnection<beast::tcp_stream>;
extern template class CXWebConnection<beast::ssl_stream<beast::tcp_stream>>;

// A connection on an accepted socket, started (web_connection_plain.cpp, web_connection_tls.cpp).
void RunWebConnection(CXWebServer& server, CXWebServer::Impl& impl, std::string peer, tcp::socket socket);
void RunWebTlsConnection(CXWebServer& server, CXWebServer::Impl& impl, std::string peer, tcp::socket socket);

}  // namespace orvalinth::server
