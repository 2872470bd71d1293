#pragma once

#include <boost/asio/local/stream_protocol.hpp>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "protocol/Asio.h"
#include "service/OperatorActions.h"

namespace brelvint {

class App;

// The server's control socket: a Unix stream socket "brelvint.sock" in the
// data folder, through which `brelvint kick`, `ban`, `lift`, `broadcast`,
// `members` and `bans` reach the running server. One request per
// connection: a JSON object (OperatorActions::Request) on one line, answered
// by one JSON object (OperatorActions::Render) before the server closes.
//
// Only an account that can write the data folder may act: the file is
// made mode 0660 (the server's account and group), and each connection's
// peer is checked once more when accepted (root, the server's own account,
// or a member of the folder's group when the folder is group-writable), so
// a wider mode or umask never lets anyone else in. Served on the loop with
// the endpoint's kind of limits: at most kMaxConnections at once, a request
// of at most kMaxRequestBytes that must arrive within kReadTimeout.
//
// Opened at start, after the folder lock is taken: a stale file left by a
// crash is replaced, and a second server never gets this far while the
// first holds the folder. Owned by App, which must outlive it; loop thread
// only. Sessions keep a shared piece of its state, so one that outlives it
// finds it closed.
class ControlSocket {
 public:
  static constexpr const char kFileName[] = "brelvint.sock";
  static constexpr size_t kMaxConnections = 8;
  static constexpr size_t kMaxRequestBytes = 16 * 1024;
  static constexpr std::chrono::seconds kReadTimeout{5};
  static constexpr std::chrono::seconds kWriteTimeout{10};
  static constexpr const char kListeningLog[] = "Control socket listening on {}";
  static constexpr const char kNotOpenedLog[] = "Control socket not opened: {}";
  static constexpr const char kRefusedLog[] =
      "Control socket: refused uid {}, which may not write the data folder.";
  static constexpr const char kRefusal[] =
      "This account may not act on the server: only one that can write its data folder may.";

  explicit ControlSocket(App& app);
  ~ControlSocket();  // Close
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Binds "brelvint.sock" in `folder` and starts accepting; logs either
  // way. False when it could not (the server runs on without it).
  bool Open(const std::filesystem::path& folder);
  // Stops accepting, ends every connection and removes the file.
  void Close();

  // What sessions share with the socket; internal.
  struct State;

 private:
  void Accept();

  App& app_;
  std::shared_ptr<State> state_;
  std::optional<asio::local::stream_protocol::acceptor> acceptor_;
  std::filesystem::path path_;
};

}  // namespace brelvint
