#include "http/OperatorSession.h"

#include <algorithm>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>
#include <cctype>
#include <iterator>
#include <string_view>

namespace brelvint {

namespace http = boost::beast::http;

namespace {

constexpr size_t kReadChunk = 4096;
// The buffer holds one request's header and a little of what follows it.
constexpr size_t kMaxBufferBytes = OperatorServer::kMaxHeaderBytes + kReadChunk;
// After a refusal, what the client still sends is read and dropped for at
// most this long and this much, so the refusal is not lost to a reset.
constexpr std::chrono::seconds kLingerTime{1};
constexpr size_t kLingerBytes = 64 * 1024;
constexpr const char kBearer[] = "Bearer ";
constexpr const char kHeaderTooLarge[] = "request header fields too large\n";
constexpr const char kBadRequest[] = "bad request\n";
constexpr const char kNoBody[] = "requests carry no body here\n";
constexpr const char kMethodRefused[] = "only GET and HEAD are answered\n";
constexpr const char kAllowedMethods[] = "GET, HEAD";
constexpr const char kForeignHost[] = "this endpoint answers only to loopback host names\n";
constexpr const char kTokenParameter[] = "token=";
constexpr const char kBodyTooLarge[] = "requests carry no body here, and this one is large\n";
constexpr const char kUnknownCoding[] = "unknown transfer coding\n";
constexpr const char kTwoHosts[] = "more than one Host header\n";
constexpr const char kPostOnly[] = "this path is answered to POST alone\n";
constexpr const char kForeignOrigin[] = "requests from another origin may not act\n";
constexpr const char kJsonOnly[] = "an action's body is JSON (application/json)\n";
constexpr const char kActionTooLarge[] = "an action's body is short, and this one is not\n";
constexpr const char kLengthRequired[] = "an action's body needs a Content-Length\n";
// The transfer codings HTTP/1.1 defines; any other is answered 501.
constexpr std::string_view kKnownCodings[] = {"chunked", "gzip",     "x-gzip",
                                              "deflate", "compress", "x-compress"};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// True when every coding of a Transfer-Encoding value is one HTTP/1.1 defines.
bool KnownCodings(std::string_view value) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view coding = value.substr(0, comma);
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    coding = coding.substr(0, coding.find(';'));  // parameters
    size_t first = coding.find_first_not_of(" \t");
    if (first == std::string_view::npos) continue;
    coding = coding.substr(first, coding.find_last_not_of(" \t") - first + 1);
    std::string lower = Lower(coding);
    if (std::find(std::begin(kKnownCodings), std::end(kKnownCodings), lower) ==
        std::end(kKnownCodings)) {
      return false;
    }
  }
  return true;
}

// An absolute-form target ("http://host:port/path?query", as a proxy
// sends it) split into its authority and the origin form ("/path?query").
struct Target {
  std::string_view authority;  // empty for the usual origin form
  std::string_view origin;
};

Target SplitTarget(std::string_view target) {
  size_t scheme = target.find("://");
  if (target.empty() || target.front() == '/' || scheme == std::string_view::npos) {
    return {{}, target};
  }
  std::string lower = Lower(target.substr(0, scheme));
  if (lower != "http" && lower != "https") return {{}, target};
  std::string_view rest = target.substr(scheme + 3);
  size_t path = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, path);
  std::string_view origin =
      path == std::string_view::npos ? std::string_view("/") : rest.substr(path);
  return {authority, origin};
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A query parameter's value with %XX and '+' decoded; empty when absent.
std::string QueryValue(std::string_view query, std::string_view key) {
  while (!query.empty()) {
    size_t end = query.find('&');
    std::string_view pair = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    if (pair.substr(0, key.size()) != key) continue;
    std::string value;
    for (size_t i = key.size(); i < pair.size(); ++i) {
      if (pair[i] == '+') {
        value += ' ';
      } else if (pair[i] == '%' && i + 2 < pair.size() && HexValue(pair[i + 1]) >= 0 &&
                 HexValue(pair[i + 2]) >= 0) {
        value += static_cast<char>(HexValue(pair[i + 1]) * 16 + HexValue(pair[i + 2]));
        i += 2;
      } else {
        value += pair[i];
      }
    }
    return value;
  }
  return std::string();
}

// On every reply, refusals included: the page runs only its own scripts
// and styles and talks only to this endpoint, nothing is framed elsewhere,
// no type is guessed, and no address (with a token in it) leaks as a referrer.
template <typename Response>
void SetSecurityHeaders(Response& response) {
  response.set("Content-Security-Policy", OperatorServer::kContentSecurityPolicy);
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
}

}  // namespace

OperatorSession::OperatorSession(asio::ip::tcp::socket socket, const std::string& address,
                                 std::shared_ptr<OperatorServer::State> state)
    : stream_(std::move(socket)),
      state_(std::move(state)),
      buffer_(kMaxBufferBytes),
      pacer_(stream_.get_executor()) {
  state_->Register(this, address);
}

OperatorSession::~OperatorSession() { state_->Unregister(this); }

void OperatorSession::Start() { WaitForRequest(); }

void OperatorSession::Close() {
  if (closed_) return;
  closed_ = true;
  state_->Unregister(this);
  boost::system::error_code ignored;
  stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  stream_.close();
  pacer_.cancel();
}

void OperatorSession::WaitForRequest() {
  if (buffer_.size() > 0) {
    ReadHeader();  // the next request is already here
    return;
  }
  // The first byte may take kIdleTimeout; from then on the whole request
  // must arrive within kRequestTimeout.
  stream_.expires_after(OperatorServer::kIdleTimeout);
  stream_.async_read_some(
      buffer_.prepare(kReadChunk),
      [self = shared_from_this()](const boost::system::error_code& ec, size_t bytes) {
        if (ec || self->closed_) {
          self->Close();
          return;
        }
        self->buffer_.commit(bytes);
        self->ReadHeader();
      });
}

void OperatorSession::ReadHeader() {
  parser_.emplace();
  parser_->header_limit(OperatorServer::kMaxHeaderBytes);
  header_bytes_ = 0;
  stream_.expires_after(OperatorServer::kRequestTimeout);
  ParseHeader();
}

void OperatorSession::ParseHeader() {
  // The parser is fed by hand rather than by async_read_header: it takes
  // the header field by field, and its own limit bounds only the part not
  // yet taken, so the total is counted here.
  boost::system::error_code ec;
  while (buffer_.size() > 0 && !parser_->is_header_done()) {
    size_t used = parser_->put(buffer_.data(), ec);
    header_bytes_ += used;
    buffer_.consume(used);
    if (ec == http::error::need_more) {
      ec = {};
      break;
    }
    if (ec || used == 0) break;
  }
  // A header still incomplete counts what waits in the buffer too; a
  // complete one only itself (what follows may be the next request).
  size_t seen = header_bytes_ + (parser_->is_header_done() ? 0 : buffer_.size());
  if (!ec && seen > OperatorServer::kMaxHeaderBytes) ec = http::error::header_limit;
  if (ec || parser_->is_header_done()) {
    HeaderRead(ec);
    return;
  }
  stream_.async_read_some(
      buffer_.prepare(kReadChunk),
      [self = shared_from_this()](const boost::system::error_code& error, size_t bytes) {
        if (error || self->closed_) {
          self->Close();  // the peer left, or the request deadline passed
          return;
        }
        self->buffer_.commit(bytes);
        self->ParseHeader();
      });
}

void OperatorSession::HeaderRead(const boost::system::error_code& ec) {
  if (closed_ || state_->Stopped) {
    Close();
    return;
  }
  keep_alive_ = false;
  head_ = false;
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    Send(OperatorServer::Reply::Text(431, kHeaderTooLarge));
    return;
  }
  if (ec == http::error::body_limit) {
    // A Content-Length over the parser's limit is found with the header,
    // before any of the body: the same refusal as a body that arrived.
    Send(OperatorServer::Reply::Text(413, kBodyTooLarge));
    return;
  }
  if (ec) {
    Send(OperatorServer::Reply::Text(400, kBadRequest));
    return;
  }
  state_->Answering(this);
  const Request& request = parser_->get();
  head_ = request.method() == http::verb::head;
  keep_alive_ = request.keep_alive();
  if (auto refusal = Refusal(request)) {
    Send(std::move(*refusal));
    return;
  }
  std::string_view target = SplitTarget(request.target()).origin;
  std::string path(target.substr(0, target.find('?')));
  answering_ = true;
  if (request.method() == http::verb::post) {
    ReadBody(std::move(path), static_cast<size_t>(parser_->content_length().value_or(0)));
    return;
  }
  state_->Handler(path, [self = shared_from_this()](OperatorServer::Reply reply) {
    if (!self->answering_ || self->closed_) return;
    self->Send(std::move(reply));
  });
}

std::optional<OperatorServer::Reply> OperatorSession::Refusal(const Request& request) {
  using Reply = OperatorServer::Reply;
  if (request.count(http::field::host) > 1) {
    keep_alive_ = false;
    return Reply::Text(400, kTwoHosts);
  }
  std::string_view action_target = SplitTarget(request.target()).origin;
  std::string_view action_path = action_target.substr(0, action_target.find('?'));
  const auto& actions = state_->ActionPaths;
  if (std::find(actions.begin(), actions.end(), action_path) != actions.end()) {
    return ActionRefusal(request);
  }
  std::string_view coding = request[http::field::transfer_encoding];
  if (!coding.empty()) {
    keep_alive_ = false;  // whatever follows is a body we do not read
    return KnownCodings(coding) ? Reply::Text(413, kNoBody) : Reply::Text(501, kUnknownCoding);
  }
  if (!parser_->is_done()) {
    keep_alive_ = false;  // the body stays unread
    return Reply::Text(413, kNoBody);
  }
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    Reply reply = Reply::Text(405, kMethodRefused);
    reply.Headers.emplace_back("Allow", kAllowedMethods);
    return reply;
  }
  // An absolute-form target names the host itself, and takes the place of Host.
  Target target = SplitTarget(request.target());
  std::string_view host = target.authority;
  if (host.empty()) host = request[http::field::host];
  if (state_->CheckHost && !OperatorServer::IsLoopbackHost(host)) {
    return Reply::Text(421, kForeignHost);
  }
  std::string_view origin = target.origin;
  std::string_view path = origin.substr(0, origin.find('?'));
  const auto& open_paths = state_->PublicPaths;
  bool open = std::find(open_paths.begin(), open_paths.end(), path) != open_paths.end();
  if (state_->TokenRequired && !open && !Authorized(request)) {
    Reply reply = Reply::Text(401, OperatorServer::kUnauthorized);
    reply.Headers.emplace_back("WWW-Authenticate", "Bearer");
    return reply;
  }
  return std::nullopt;
}

std::optional<OperatorServer::Reply> OperatorSession::ActionRefusal(const Request& request) {
  using Reply = OperatorServer::Reply;
  if (request.method() != http::verb::post) {
    keep_alive_ = keep_alive_ && parser_->is_done();
    Reply reply = Reply::Text(405, kPostOnly);
    reply.Headers.emplace_back("Allow", "POST");
    return reply;
  }
  // Whatever else is wrong, a body we will not read ends the connection.
  if (!request[http::field::transfer_encoding].empty()) {
    keep_alive_ = false;
    return Reply::Text(411, kLengthRequired);
  }
  auto length = parser_->content_length();
  bool body_too_long = length && *length > OperatorServer::kMaxActionBodyBytes;
  if (body_too_long) {
    keep_alive_ = false;
    return Reply::Text(413, kActionTooLarge);
  }
  Target target = SplitTarget(request.target());
  std::string_view host = target.authority;
  if (host.empty()) host = request[http::field::host];
  if (state_->CheckHost && !OperatorServer::IsLoopbackHost(host)) {
    keep_alive_ = false;
    return Reply::Text(421, kForeignHost);
  }
  // A browser names the page's origin in every POST; one that is not this
  // endpoint's is another site's page trying to act through the operator.
  if (request.count(http::field::origin) > 0) {
    std::string origin = Lower(request[http::field::origin]);
    if (host.empty() || (origin != "http://" + Lower(host) && origin != "https://" + Lower(host))) {
      keep_alive_ = false;
      return Reply::Text(403, kForeignOrigin);
    }
  }
  // The token only in the header: an address with it would let a link act.
  std::string_view authorization = request[http::field::authorization];
  size_t bearer = std::char_traits<char>::length(kBearer);
  bool token_given =
      authorization.substr(0, bearer) == kBearer &&
      OperatorServer::TokenMatches(std::string(authorization.substr(bearer)), state_->Token);
  if (state_->TokenRequired && !token_given) {
    keep_alive_ = false;
    Reply reply = Reply::Text(401, OperatorServer::kUnauthorized);
    reply.Headers.emplace_back("WWW-Authenticate", "Bearer");
    return reply;
  }
  std::string type = Lower(request[http::field::content_type]);
  if (type.substr(0, type.find(';')) != "application/json") {
    keep_alive_ = false;
    return Reply::Text(415, kJsonOnly);
  }
  if (!state_->Actions) {
    keep_alive_ = false;
    return Reply::Text(404, "not found\n");
  }
  return std::nullopt;
}

void OperatorSession::ReadBody(std::string path, size_t length) {
  if (buffer_.size() >= length) {
    const char* data = static_cast<const char*>(buffer_.data().data());
    OperatorServer::Action action;
    action.Path = std::move(path);
    action.Body.assign(data, length);
    buffer_.consume(length);
    // The requester's own address for the log, not the key its limit counts
    // by (an IPv6 peer's /64).
    boost::system::error_code ec;
    auto peer = stream_.socket().remote_endpoint(ec);
    if (!ec) action.Peer = peer.address().to_string();
    state_->Actions(std::move(action), [self = shared_from_this()](OperatorServer::Reply reply) {
      if (!self->answering_ || self->closed_) return;
      self->Send(std::move(reply));
    });
    return;
  }
  // Within the deadline the header started: a slow body holds nothing long.
  stream_.async_read_some(buffer_.prepare(kReadChunk),
                          [self = shared_from_this(), path = std::move(path), length](
                              const boost::system::error_code& ec, size_t bytes) mutable {
                            if (ec || self->closed_ || self->state_->Stopped) {
                              self->Close();
                              return;
                            }
                            self->buffer_.commit(bytes);
                            self->ReadBody(std::move(path), length);
                          });
}

bool OperatorSession::Authorized(const Request& request) const {
  std::string_view authorization = request[http::field::authorization];
  std::string given;
  if (authorization.substr(0, std::char_traits<char>::length(kBearer)) == kBearer) {
    given = std::string(authorization.substr(std::char_traits<char>::length(kBearer)));
  } else {
    std::string_view target = SplitTarget(request.target()).origin;
    size_t question = target.find('?');
    if (question != std::string_view::npos) {
      given = QueryValue(target.substr(question + 1), kTokenParameter);
    }
  }
  return OperatorServer::TokenMatches(given, state_->Token);
}

void OperatorSession::Send(OperatorServer::Reply reply) {
  answering_ = true;
  body_ = reply.Body ? std::move(reply.Body) : std::make_shared<const std::string>();
  response_.emplace(static_cast<http::status>(reply.Status), 11);
  response_->set(http::field::content_type, reply.ContentType);
  // Operators' numbers must be fresh at every poll.
  response_->set(http::field::cache_control, "no-store");
  SetSecurityHeaders(*response_);
  for (const auto& [name, value] : reply.Headers) response_->set(name, value);
  response_->keep_alive(keep_alive_);
  if (head_) {
    response_->content_length(body_->size());
  } else {
    response_->body() = boost::beast::span<const char>(body_->data(), body_->size());
    response_->prepare_payload();
  }
  serializer_.emplace(*response_);
  serializer_->limit(OperatorServer::kWriteChunkBytes);
  stream_.expires_after(OperatorServer::kWriteTimeout);
  WriteSome();
}

void OperatorSession::WriteSome() {
  auto wait = state_->WriteWait();
  if (wait.count() > 0) {
    pacer_.expires_after(wait);
    pacer_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      if (ec || self->closed_) {
        self->Close();
        return;
      }
      self->WriteSome();
    });
    return;
  }
  http::async_write_some(
      stream_, *serializer_,
      [self = shared_from_this()](const boost::system::error_code& ec, size_t bytes) {
        self->state_->Wrote(bytes);
        if (ec || self->closed_ || self->serializer_->is_done()) {
          self->Sent(ec);
          return;
        }
        self->WriteSome();
      });
}

void OperatorSession::Sent(const boost::system::error_code& ec) {
  answering_ = false;
  state_->Waiting(this);
  serializer_.reset();
  response_.reset();
  body_.reset();
  if (ec || closed_) {
    Close();
    return;
  }
  if (!keep_alive_) {
    Linger();
    return;
  }
  WaitForRequest();
}

void OperatorSession::Linger() {
  boost::system::error_code ignored;
  stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  buffer_.clear();
  lingered_ = 0;
  stream_.expires_after(kLingerTime);
  DropInput();
}

void OperatorSession::DropInput() {
  // The same bounded buffer takes every read; nothing is kept.
  stream_.async_read_some(
      buffer_.prepare(kReadChunk),
      [self = shared_from_this()](const boost::system::error_code& ec, size_t bytes) {
        self->lingered_ += bytes;
        if (ec || self->closed_ || self->lingered_ >= kLingerBytes) {
          self->Close();
          return;
        }
        self->DropInput();
      });
}

}  // namespace brelvint
