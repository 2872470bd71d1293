#pragma once

#include <curl/curl.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "protocol/Asio.h"

namespace brelvint {

class HttpRequest;

// HTTP GET requests that run on the server's own event loop. libcurl's
// multi interface says which sockets to watch and when to wake it; Asio
// does the waiting on the caller's io_context. Nothing blocks, no thread is
// started and no loop runs inside another, so a slow web service never
// delays the connections served beside it.
//
// Single-threaded: every call, and every callback, happens on the thread
// running the io_context, which must outlive the client. Callbacks never
// run inside a call to this class; they may start and cancel requests but
// must not destroy the client. Failures are logged here, with the URL and
// the reason, so callers need not log them again. Only http:// and https://
// addresses are fetched, with no proxy; redirects are not followed and the
// HTTP status is not examined.
class HttpClient {
 public:
  // Never 0, so callers can keep 0 for "no request".
  using Id = uint64_t;

  explicit HttpClient(asio::io_context& context);
  // Abandons every request still under way; none of their callbacks runs,
  // now or later.
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // GETs `url`; `done` receives the body once the response ended, or an
  // empty string when the request failed (no connection, an error, a body
  // over 1 MiB, or nothing new for `inactivity`: connecting and every
  // arriving byte count as progress).
  Id GetText(const std::string& url, std::chrono::seconds inactivity,
             std::function<void(std::string)> done);
  // GETs `url` into `file`, created (mode 0600) or truncated at once.
  // `done(true)` means the whole response arrived and is in the file,
  // whatever its HTTP status; `done(false)` means the request failed as for
  // GetText, or the file could not be written, and the file may then hold
  // part of a body.
  Id GetToFile(const std::string& url, const std::filesystem::path& file,
               std::chrono::seconds inactivity, std::function<void(bool)> done);
  // Stops a request: its callback never runs and its connection is closed.
  // Ids of requests that ended or are unknown are ignored.
  void Cancel(Id id);

  // Requests started and not yet ended or cancelled.
  size_t InFlight() const { return requests_.size(); }

 private:
  // One socket libcurl asked us to watch, and the waits under way on it.
  struct SocketWatch {
    SocketWatch(asio::io_context& context, curl_socket_t socket_fd)
        : fd(socket_fd), descriptor(context) {}
    curl_socket_t fd;
    asio::posix::stream_descriptor descriptor;
    int wanted = 0;  // CURL_POLL_IN, CURL_POLL_OUT or both
    bool read_pending = false;
    bool write_pending = false;
    bool forgotten = false;  // libcurl is done with it; waits end unheard
  };
  struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
  };

  static int OnSocket(CURL* easy, curl_socket_t fd, int what, void* client, void* socket_data);
  static int OnTimer(CURLM* multi, long timeout_ms, void* client);
  static int OnCloseSocket(void* client, curl_socket_t fd);

  Id Start(std::unique_ptr<HttpRequest> request);
  // Ends a request that could not start, from the loop rather than inside
  // the call that started it; `reason` is logged unless empty.
  void FailLater(Id id, std::string reason);
  void WatchSocket(curl_socket_t fd, int what);
  void ForgetSocket(curl_socket_t fd);
  void ArmWaits(const std::shared_ptr<SocketWatch>& watch);
  void StartWait(const std::shared_ptr<SocketWatch>& watch, bool read);
  void OnSocketReady(const std::shared_ptr<SocketWatch>& watch, bool read,
                     const boost::system::error_code& error);
  void OnCurlTimer();
  void WatchForStall(HttpRequest& request);
  void OnStallTimer(Id id);
  // Hands every transfer libcurl finished to its callback.
  void ProcessFinished();
  // Takes a request out of libcurl and the table; null when unknown.
  std::unique_ptr<HttpRequest> Detach(Id id);

  asio::io_context& context_;
  // Handlers queued on the io_context hold a weak copy, so one that runs
  // after the client is gone sees that and does nothing.
  std::shared_ptr<HttpClient*> self_;
  std::unique_ptr<CURLM, MultiCleanup> multi_;
  asio::steady_timer curl_timer_;
  std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> sockets_;
  std::map<Id, std::unique_ptr<HttpRequest>> requests_;
  Id next_id_ = 1;
};

}  // namespace brelvint
