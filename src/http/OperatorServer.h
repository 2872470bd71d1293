#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "http/OperatorAddress.h"
#include "protocol/Asio.h"

namespace brelvint {

class OperatorSession;

// The operators' HTTP endpoint, served by Boost.Beast on the service's own
// event loop: one OperatorSession per connection, every read and write
// asynchronous, so a slow or hostile client holds nothing but its own
// socket and a bounded buffer. What no client can break:
//   - request line and headers at most kMaxHeaderBytes (431, then close);
//   - no request body (413), GET and HEAD only (405 with Allow), but for
//     the action paths (SetActions): POST only, with a short JSON body;
//   - a request complete within kRequestTimeout of its first byte, an idle
//     keep-alive connection closed after kIdleTimeout;
//   - at most kMaxConnectionsPerAddress from one source (an IPv6 peer
//     counted by its /64), counted at accept before any byte is read;
//     beyond that new ones from there are closed at once (logged once per
//     episode);
//   - at most kMaxConnections open: beyond that, the connection that has
//     waited longest without a complete request is closed to admit the
//     newcomer (logged once per episode), so idle holders from several
//     addresses cannot keep it full; only when every connection is being
//     answered is the newcomer closed;
//   - a request with a body or a transfer coding is refused (413, or 501
//     for a coding HTTP/1.1 does not define), then the connection closes;
//     two Host headers are refused (400); an absolute-form target is
//     served by its path;
//   - every reply carries the security headers (kContentSecurityPolicy,
//     nosniff, no-referrer), so a page it serves runs only its own scripts;
//   - on a loopback address, a Host that is not a loopback name or address
//     is refused (421), so a web page elsewhere cannot reach the endpoint
//     through DNS rebinding;
//   - off loopback, every request carries the token (Authorization: Bearer,
//     or a `token` query parameter), else 401 with WWW-Authenticate.
// Requests that pass go to the handler, which answers through its Answer
// callback, at once or later.
//
// Owned by its user (App's StatusEndpoint); everything runs on the loop
// thread, which also calls Start, Stop, SetToken and the destructor.
// Sessions keep only a shared piece of the server's state, so one that
// outlives the server (its handler still queued) finds it stopped.
class OperatorServer {
 public:
  struct Reply {
    int Status = 200;
    std::string ContentType;
    std::shared_ptr<const std::string> Body;  // shared: one document serves many requests
    std::vector<std::pair<std::string, std::string>> Headers;

    static Reply Text(int status, std::string text);
  };
  // Call once, on the loop thread; a call after the connection ended is ignored.
  using Answer = std::function<void(Reply)>;
  // `path` is the request's path without its query.
  using Handler = std::function<void(const std::string& path, Answer answer)>;
  // A POST to one of the action paths (see SetActions).
  struct Action {
    std::string Path;
    std::string Body;  // at most kMaxActionBodyBytes
    std::string Peer;  // the requester's address
  };
  using ActionHandler = std::function<void(Action action, Answer answer)>;

  static constexpr size_t kMaxHeaderBytes = 16 * 1024;
  static constexpr std::chrono::seconds kRequestTimeout{10};
  static constexpr std::chrono::seconds kIdleTimeout{5};
  // A reply of a few megabytes must reach a slow operator's browser too.
  static constexpr std::chrono::seconds kWriteTimeout{30};
  static constexpr size_t kMaxConnections = 64;
  // One address (a scraper, a browser with its parallel requests) never
  // needs more; a client holding many slow or idle connections cannot
  // take the endpoint from the rest.
  static constexpr size_t kMaxConnectionsPerAddress = 16;
  static constexpr const char kContentSecurityPolicy[] =
      "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
      "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
  // Every reply of the endpoint together is written at most this fast, a
  // piece of at most kWriteChunkBytes per loop handler: back-to-back
  // scrapers of a megabyte document would otherwise keep the loop copying
  // bytes instead of relaying. An operator's page polling once a second
  // never meets the limit (kWriteBurstBytes go out at once).
  static constexpr double kWriteBytesPerSecond = 32.0 * 1024 * 1024;
  static constexpr double kWriteBurstBytes = 4.0 * 1024 * 1024;
  static constexpr size_t kWriteChunkBytes = 64 * 1024;
  // A full episode ends when this few connections remain open.
  static constexpr size_t kEpisodeEndConnections = kMaxConnections / 2;
  static constexpr const char kUnauthorized[] = "a valid token is required\n";
  // An action's body: a few fields (a name, a reason, a notice).
  static constexpr size_t kMaxActionBodyBytes = 4096;
  static constexpr const char kFullLog[] =
      "Status page: {} connections open; for each new one, the one waiting longest for a "
      "request is closed.";
  static constexpr const char kAddressFullLog[] =
      "Status page: {} connections open from {}; new ones from there are closed until some end.";

  OperatorServer(asio::io_context& context, Handler handler);
  ~OperatorServer();  // Stop
  OperatorServer(const OperatorServer&) = delete;
  OperatorServer& operator=(const OperatorServer&) = delete;

  // Binds `address` and starts accepting. False, with the reason in *why,
  // when the address is off loopback and `token` is empty, or cannot be
  // bound; nothing is started then. Call only while stopped. The host must
  // be a literal address or "localhost": a name would need a lookup, which
  // must not block the loop (the caller resolves it first).
  bool Start(const OperatorAddress& address, const std::string& token, std::string* why);
  // True when `host` needs a name lookup before Start.
  static bool NeedsLookup(const std::string& host);
  // Closes the listening socket and every connection at once; replies
  // under way are dropped. Safe to call when not started.
  void Stop();
  bool Running() const;
  // Takes effect for the next request on every connection. False (nothing
  // changed) when the server listens off loopback and `token` is empty.
  bool SetToken(const std::string& token);
  // Paths answered without the token (files that hold nothing secret, such
  // as a page's scripts, which a browser fetches without the page's query).
  void SetPublicPaths(std::vector<std::string> paths);
  // Paths that change the server's state: they answer POST alone (405 to
  // anything else, and every other path refuses POST), with a JSON body of
  // at most kMaxActionBodyBytes (415 for another type, 413 when longer),
  // refused (403) when an Origin header names another origin than the
  // Host's, so another site's page cannot make an operator's browser act.
  // Off loopback the token must come in the Authorization header: a token
  // in the address would let a link act.
  void SetActions(std::vector<std::string> paths, ActionHandler handler);

  // Constant-time comparison, so the time an answer takes tells nothing of
  // how much of a guessed token was right.
  static bool TokenMatches(const std::string& given, const std::string& expected);
  // True when a request's Host header (name or address, with or without a
  // port) names this machine's loopback. An absent Host is accepted.
  static bool IsLoopbackHost(std::string_view host);

  // What sessions share with the server; internal.
  struct State;

 private:
  void Accept();
  void Accepted(asio::ip::tcp::socket socket);

  asio::io_context& context_;
  std::shared_ptr<State> state_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  asio::steady_timer accept_pause_;
};

// The part of OperatorServer its sessions hold on to.
struct OperatorServer::State {
  OperatorServer::Handler Handler;
  std::string Token;
  bool TokenRequired = false;  // off loopback
  bool CheckHost = false;      // on loopback
  std::vector<std::string> PublicPaths;
  std::vector<std::string> ActionPaths;
  OperatorServer::ActionHandler Actions;
  bool Stopped = true;
  bool Full = false;  // in a full episode: logged, not yet over
  // Each open session: its source (PeerAddress::CountingKey), and since
  // when it has waited for a request (its start, or the end of its last
  // reply) while it holds none complete.
  struct Slot {
    std::string Address;
    std::chrono::steady_clock::time_point WaitingSince = std::chrono::steady_clock::now();
    bool Answering = false;
  };
  std::unordered_map<OperatorSession*, Slot> Sessions;
  // Open sessions per address, and the addresses in a full episode of their own.
  std::unordered_map<std::string, size_t> PerAddress;
  std::unordered_set<std::string> FullAddresses;
  // The write allowance shared by every session: a token bucket that may
  // run into debt by one chunk.
  double WriteTokens = OperatorServer::kWriteBurstBytes;
  std::chrono::steady_clock::time_point WriteRefilled = std::chrono::steady_clock::now();

  void Register(OperatorSession* session, const std::string& address);
  void Unregister(OperatorSession* session);
  // The session read a complete request, or its reply is done and it waits
  // for the next one.
  void Answering(OperatorSession* session);
  void Waiting(OperatorSession* session);
  // The session that has waited longest without a complete request; null
  // when every session is being answered.
  OperatorSession* LongestWaiting() const;
  // How long a write must wait for the allowance; zero when it may go now.
  std::chrono::microseconds WriteWait();
  void Wrote(size_t bytes) { WriteTokens -= static_cast<double>(bytes); }
};

}  // namespace brelvint
