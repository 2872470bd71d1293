#include "http/HttpRequest.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/LogMessage.h"

namespace brelvint {

namespace {

constexpr char kFailedLog[] = "HTTP GET {} failed: {}";
constexpr char kUserAgent[] = "Brelvint";
// Web services only: no file://, no mail or directory protocols, whatever
// the configured address says.
constexpr char kProtocols[] = "http,https";

}  // namespace

HttpRequest::HttpRequest(uint64_t id, std::string url, std::chrono::seconds inactivity,
                         asio::io_context& context, TextDone done)
    : id_(id),
      url_(std::move(url)),
      inactivity_(inactivity),
      to_file_(false),
      text_done_(std::move(done)),
      stall_timer_(context) {}

HttpRequest::HttpRequest(uint64_t id, std::string url, std::chrono::seconds inactivity,
                         asio::io_context& context, std::filesystem::path file, FileDone done)
    : id_(id),
      url_(std::move(url)),
      inactivity_(inactivity),
      to_file_(true),
      file_(std::move(file)),
      file_done_(std::move(done)),
      stall_timer_(context) {}

HttpRequest::~HttpRequest() {
  if (fd_ >= 0) ::close(fd_);
}

bool HttpRequest::Prepare() {
  NoteProgress();  // the stall clock starts with the request
  if (to_file_ && !OpenFile()) return false;
  easy_.reset(curl_easy_init());
  if (easy_ == nullptr || !SetOptions()) {
    modGlobal::LogMessage(
        fmt::format(kFailedLog, modGlobal::EscapeForLog(url_), "cannot set up the transfer"));
    return false;
  }
  return true;
}

bool HttpRequest::SetOptions() {
  CURL* easy = easy_.get();
  const curl_write_callback on_body = &HttpRequest::OnBody;
  const curl_write_callback on_header = &HttpRequest::OnHeader;
  const curl_prereq_callback on_connected = &HttpRequest::OnConnected;
  return curl_easy_setopt(easy, CURLOPT_URL, url_.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_NOPROXY, "*") == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kProtocols) == CURLE_OK &&
         // Redirects are not followed: a remote server must not choose
         // where else we connect.
         curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                          static_cast<curl_off_t>(kMaxBodyBytes)) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, curl_error_) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PRIVATE, this) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_WRITEDATA, this) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HEADERDATA, this) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, on_connected) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PREREQDATA, this) == CURLE_OK;
}

bool HttpRequest::OpenFile() {
  fd_ = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd_ >= 0) return true;
  modGlobal::LogMessage(
      fmt::format(kFailedLog, modGlobal::EscapeForLog(url_),
                  fmt::format("cannot create {}: {}", file_.string(), std::strerror(errno))));
  return false;
}

size_t HttpRequest::OnBody(char* data, size_t size, size_t count, void* request) {
  size_t bytes = size * count;
  return static_cast<HttpRequest*>(request)->Store(data, bytes) ? bytes : 0;
}

size_t HttpRequest::OnHeader(char*, size_t size, size_t count, void* request) {
  static_cast<HttpRequest*>(request)->NoteProgress();
  return size * count;
}

int HttpRequest::OnConnected(void* request, char*, char*, int, int) {
  static_cast<HttpRequest*>(request)->NoteProgress();
  return CURL_PREREQFUNC_OK;
}

bool HttpRequest::Store(const char* data, size_t size) {
  NoteProgress();
  if (size > kMaxBodyBytes - body_bytes_) {
    too_large_ = true;
    return false;
  }
  body_bytes_ += size;
  if (!to_file_) {
    body_.append(data, size);
    return true;
  }
  while (size > 0) {
    ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      file_error_ = errno;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool HttpRequest::CloseFile() {
  if (fd_ >= 0) {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && file_error_ == 0) file_error_ = errno;
  }
  return file_error_ == 0;
}

void HttpRequest::Finish(CURLcode result) {
  bool stored = !to_file_ || CloseFile();
  if (result == CURLE_OK && stored) {
    Deliver(true);
    return;
  }
  if (too_large_) {
    Fail(fmt::format("the body is larger than {} bytes", kMaxBodyBytes));
  } else if (file_error_ != 0) {
    Fail(fmt::format("cannot write {}: {}", file_.string(), std::strerror(file_error_)));
  } else if (curl_error_[0] != '\0') {
    Fail(curl_error_);
  } else {
    Fail(curl_easy_strerror(result));
  }
}

void HttpRequest::Fail(std::string_view reason) {
  if (!reason.empty()) {
    modGlobal::LogMessage(fmt::format(kFailedLog, modGlobal::EscapeForLog(url_), reason));
  }
  if (to_file_) CloseFile();
  Deliver(false);
}

void HttpRequest::Deliver(bool complete) {
  // Moved out first so that a second end of the same request cannot call
  // back twice.
  if (to_file_) {
    FileDone done = std::move(file_done_);
    file_done_ = nullptr;
    if (done) done(complete);
  } else {
    TextDone done = std::move(text_done_);
    text_done_ = nullptr;
    if (done) done(complete ? std::move(body_) : std::string());
  }
}

}  // namespace brelvint
