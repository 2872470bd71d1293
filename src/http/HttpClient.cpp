#include "http/HttpClient.h"

#include <fmt/format.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <stdexcept>
#include <utility>

#include "base/LogMessage.h"
#include "http/HttpRequest.h"
#include "protocol/Asio.h"

namespace brelvint {

namespace {

// libcurl's global state is set up once per process, before the first handle.
bool InitCurlOnce() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

}  // namespace

HttpClient::HttpClient(asio::io_context& context)
    : context_(context), self_(std::make_shared<HttpClient*>(this)), curl_timer_(context) {
  if (!InitCurlOnce()) throw std::runtime_error("cannot initialise libcurl");
  multi_.reset(curl_multi_init());
  if (multi_ == nullptr) throw std::runtime_error("cannot create a libcurl multi handle");
  const curl_socket_callback on_socket = &HttpClient::OnSocket;
  const curl_multi_timer_callback on_timer = &HttpClient::OnTimer;
  curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETFUNCTION, on_socket);
  curl_multi_setopt(multi_.get(), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_.get(), CURLMOPT_TIMERFUNCTION, on_timer);
  curl_multi_setopt(multi_.get(), CURLMOPT_TIMERDATA, this);
}

HttpClient::~HttpClient() {
  self_.reset();  // handlers already queued now find the client gone
  while (!requests_.empty()) Detach(requests_.begin()->first);
  // Closing the multi handle closes the connections libcurl kept for reuse;
  // its socket and close callbacks still reach this object meanwhile.
  multi_.reset();
  // Nothing should be left; whatever is, is let go rather than closed.
  for (auto& entry : sockets_) {
    entry.second->forgotten = true;
    entry.second->descriptor.release();
  }
  curl_timer_.cancel();
}

HttpClient::Id HttpClient::GetText(const std::string& url, std::chrono::seconds inactivity,
                                   std::function<void(std::string)> done) {
  return Start(
      std::make_unique<HttpRequest>(next_id_++, url, inactivity, context_, std::move(done)));
}

HttpClient::Id HttpClient::GetToFile(const std::string& url, const std::filesystem::path& file,
                                     std::chrono::seconds inactivity,
                                     std::function<void(bool)> done) {
  return Start(
      std::make_unique<HttpRequest>(next_id_++, url, inactivity, context_, file, std::move(done)));
}

void HttpClient::Cancel(Id id) { Detach(id); }

HttpClient::Id HttpClient::Start(std::unique_ptr<HttpRequest> request) {
  Id id = request->Id();
  HttpRequest& started = *request;
  requests_.emplace(id, std::move(request));
  if (!started.Prepare()) {
    FailLater(id, std::string());
    return id;
  }
  const curl_closesocket_callback on_close = &HttpClient::OnCloseSocket;
  curl_easy_setopt(started.Easy(), CURLOPT_CLOSESOCKETFUNCTION, on_close);
  curl_easy_setopt(started.Easy(), CURLOPT_CLOSESOCKETDATA, this);
  CURLMcode added = curl_multi_add_handle(multi_.get(), started.Easy());
  if (added != CURLM_OK) {
    FailLater(id, curl_multi_strerror(added));
    return id;
  }
  WatchForStall(started);
  return id;
}

void HttpClient::FailLater(Id id, std::string reason) {
  std::weak_ptr<HttpClient*> token = self_;
  asio::post(context_, [token, id, reason = std::move(reason)] {
    auto alive = token.lock();
    if (alive == nullptr) return;
    if (std::unique_ptr<HttpRequest> request = (*alive)->Detach(id)) request->Fail(reason);
  });
}

int HttpClient::OnSocket(CURL*, curl_socket_t fd, int what, void* client, void*) {
  auto* self = static_cast<HttpClient*>(client);
  if (what == CURL_POLL_REMOVE) {
    self->ForgetSocket(fd);
  } else {
    self->WatchSocket(fd, what);
  }
  return 0;
}

int HttpClient::OnCloseSocket(void* client, curl_socket_t fd) {
  // libcurl announces a socket's removal before closing it; this covers a
  // socket closed unannounced, so no descriptor outlives its fd.
  static_cast<HttpClient*>(client)->ForgetSocket(fd);
  return ::close(fd) == 0 ? 0 : 1;
}

int HttpClient::OnTimer(CURLM*, long timeout_ms, void* client) {
  auto* self = static_cast<HttpClient*>(client);
  if (timeout_ms < 0) {
    self->curl_timer_.cancel();
    return 0;
  }
  // libcurl asks not to be called from inside this callback, so even a
  // zero timeout goes through the loop.
  self->curl_timer_.expires_after(std::chrono::milliseconds(timeout_ms));
  std::weak_ptr<HttpClient*> token = self->self_;
  self->curl_timer_.async_wait([token](const boost::system::error_code& error) {
    if (error) return;
    if (auto alive = token.lock()) (*alive)->OnCurlTimer();
  });
  return 0;
}

void HttpClient::OnCurlTimer() {
  int running = 0;
  curl_multi_socket_action(multi_.get(), CURL_SOCKET_TIMEOUT, 0, &running);
  ProcessFinished();
}

void HttpClient::WatchSocket(curl_socket_t fd, int what) {
  auto found = sockets_.find(fd);
  if (found == sockets_.end()) {
    auto watch = std::make_shared<SocketWatch>(context_, fd);
    boost::system::error_code error;
    watch->descriptor.assign(fd, error);
    if (error) {
      // Logged from the loop: this runs inside libcurl, which an exception
      // must not cross. The transfer stalls and is abandoned in time.
      std::string line = fmt::format("HTTP client cannot watch socket {}: {}", fd, error.message());
      asio::post(context_, [line] { modGlobal::LogMessage(line); });
      return;
    }
    found = sockets_.emplace(fd, std::move(watch)).first;
  }
  found->second->wanted = what;
  ArmWaits(found->second);
}

void HttpClient::ForgetSocket(curl_socket_t fd) {
  auto found = sockets_.find(fd);
  if (found == sockets_.end()) return;
  // Released, never closed: the socket is libcurl's to close. Waits under
  // way end with operation_aborted.
  found->second->forgotten = true;
  found->second->descriptor.release();
  sockets_.erase(found);
}

void HttpClient::ArmWaits(const std::shared_ptr<SocketWatch>& watch) {
  if ((watch->wanted & CURL_POLL_IN) != 0 && !watch->read_pending) StartWait(watch, true);
  if ((watch->wanted & CURL_POLL_OUT) != 0 && !watch->write_pending) StartWait(watch, false);
}

void HttpClient::StartWait(const std::shared_ptr<SocketWatch>& watch, bool read) {
  (read ? watch->read_pending : watch->write_pending) = true;
  std::weak_ptr<SocketWatch> weak = watch;
  // A live watch implies a live client: the client owns every watch.
  watch->descriptor.async_wait(
      read ? asio::posix::stream_descriptor::wait_read : asio::posix::stream_descriptor::wait_write,
      [this, weak, read](const boost::system::error_code& error) {
        if (auto locked = weak.lock()) OnSocketReady(locked, read, error);
      });
}

void HttpClient::OnSocketReady(const std::shared_ptr<SocketWatch>& watch, bool read,
                               const boost::system::error_code& error) {
  (read ? watch->read_pending : watch->write_pending) = false;
  if (watch->forgotten || error == asio::error::operation_aborted) return;
  // A wait libcurl stopped asking for ends unheard and is not renewed.
  if ((watch->wanted & (read ? CURL_POLL_IN : CURL_POLL_OUT)) == 0) return;
  int event = error ? CURL_CSELECT_ERR : (read ? CURL_CSELECT_IN : CURL_CSELECT_OUT);
  int running = 0;
  curl_multi_socket_action(multi_.get(), watch->fd, event, &running);
  // A failed wait would fail again at once, so it is not renewed; libcurl
  // ends the transfer, or the stall timer does.
  if (!error && !watch->forgotten) ArmWaits(watch);
  ProcessFinished();
}

void HttpClient::WatchForStall(HttpRequest& request) {
  request.StallTimer().expires_at(request.StallDeadline());
  std::weak_ptr<HttpClient*> token = self_;
  request.StallTimer().async_wait(
      [token, id = request.Id()](const boost::system::error_code& error) {
        if (error) return;
        if (auto alive = token.lock()) (*alive)->OnStallTimer(id);
      });
}

void HttpClient::OnStallTimer(Id id) {
  auto found = requests_.find(id);
  if (found == requests_.end()) return;
  HttpRequest& request = *found->second;
  if (std::chrono::steady_clock::now() < request.StallDeadline()) {
    WatchForStall(request);  // progress since the timer was set
    return;
  }
  std::unique_ptr<HttpRequest> stalled = Detach(id);
  stalled->Fail(fmt::format("no progress for {} s", stalled->Inactivity().count()));
}

void HttpClient::ProcessFinished() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    // Copied first: removing the handle frees the message.
    CURLcode result = message->data.result;
    char* owner = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
    Id id = reinterpret_cast<HttpRequest*>(owner)->Id();
    // The callback may cancel other requests, whose messages libcurl then
    // drops, or start new ones; the next message is read afterwards.
    if (std::unique_ptr<HttpRequest> ended = Detach(id)) ended->Finish(result);
  }
}

std::unique_ptr<HttpRequest> HttpClient::Detach(Id id) {
  auto found = requests_.find(id);
  if (found == requests_.end()) return nullptr;
  std::unique_ptr<HttpRequest> request = std::move(found->second);
  requests_.erase(found);
  // An unfinished transfer's connection cannot be reused, so libcurl
  // closes it here.
  if (request->Easy() != nullptr) curl_multi_remove_handle(multi_.get(), request->Easy());
  request->StallTimer().cancel();
  return request;
}

}  // namespace brelvint
