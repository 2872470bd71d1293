#pragma once

#include <curl/curl.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/Asio.h"

namespace brelvint {

// One GET transfer of an HttpClient: the libcurl easy handle, where the body
// goes (memory or a file), when the transfer last made progress, and the
// caller's callback. Owned by the HttpClient that started it, which removes
// the easy handle from its multi handle before destroying the request, so
// libcurl never calls back into a destroyed request.
class HttpRequest {
 public:
  using TextDone = std::function<void(std::string)>;
  using FileDone = std::function<void(bool)>;

  // Largest body kept or written. A longer one fails the request, so a
  // misbehaving server can fill neither memory nor the disk.
  static constexpr size_t kMaxBodyBytes = 1 << 20;

  // A request whose body is kept in memory and handed to `done`.
  HttpRequest(uint64_t id, std::string url, std::chrono::seconds inactivity,
              asio::io_context& context, TextDone done);
  // A request whose body is written to `file`.
  HttpRequest(uint64_t id, std::string url, std::chrono::seconds inactivity,
              asio::io_context& context, std::filesystem::path file, FileDone done);
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Creates the easy handle for the GET and, for a file body, creates or
  // truncates the file. False (logged) when a step failed; the request can
  // then only be failed.
  bool Prepare();

  uint64_t Id() const { return id_; }
  CURL* Easy() const { return easy_.get(); }
  std::chrono::seconds Inactivity() const { return inactivity_; }
  // When the request counts as stalled unless it makes progress first.
  std::chrono::steady_clock::time_point StallDeadline() const {
    return last_progress_ + inactivity_;
  }
  asio::steady_timer& StallTimer() { return stall_timer_; }

  // Ends the request after libcurl finished it with `result`: the callback
  // gets the body (or true) when the whole response arrived and was stored,
  // nothing (or false) otherwise, after a log line saying why.
  void Finish(CURLcode result);
  // Ends the request as failed. `reason` is logged unless empty (the
  // failure was logged already).
  void Fail(std::string_view reason);

 private:
  struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
  };

  static size_t OnBody(char* data, size_t size, size_t count, void* request);
  static size_t OnHeader(char* data, size_t size, size_t count, void* request);
  static int OnConnected(void* request, char* remote_ip, char* local_ip, int remote_port,
                         int local_port);

  bool SetOptions();
  bool OpenFile();
  // Stores one piece of the body; false stops the transfer.
  bool Store(const char* data, size_t size);
  // Closes the body file; false (with `file_error_` set) when the last
  // writes did not reach it.
  bool CloseFile();
  void NoteProgress() { last_progress_ = std::chrono::steady_clock::now(); }
  void Deliver(bool complete);

  const uint64_t id_;
  const std::string url_;
  const std::chrono::seconds inactivity_;
  const bool to_file_;
  const std::filesystem::path file_;
  TextDone text_done_;
  FileDone file_done_;
  std::unique_ptr<CURL, EasyCleanup> easy_;
  char curl_error_[CURL_ERROR_SIZE] = {};
  std::string body_;
  size_t body_bytes_ = 0;
  int fd_ = -1;
  int file_error_ = 0;  // errno of a failed write to `file_`
  bool too_large_ = false;
  std::chrono::steady_clock::time_point last_progress_;
  asio::steady_timer stall_timer_;
};

}  // namespace brelvint
