#include "service/ControlSocket.h"

#include <fmt/format.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <unordered_set>
#include <vector>

#include "base/LogMessage.h"
#include "service/App.h"

namespace brelvint {

using modGlobal::EscapeForLog;
using modGlobal::LogMessage;
using Local = asio::local::stream_protocol;

namespace {

constexpr const char kCommandLine[] = "command line";

class ControlSession;

}  // namespace

struct ControlSocket::State {
  explicit State(App& app) : Actions(app) {}
  OperatorActions Actions;
  std::filesystem::path Folder;
  bool Closed = true;
  std::unordered_set<ControlSession*> Sessions;
};

namespace {

// True when the account `uid` (with these groups) may write `folder`: the
// rule of who may act.
bool MayWriteFolder(uid_t uid, const std::vector<gid_t>& groups,
                    const std::filesystem::path& folder) {
  if (uid == 0 || uid == ::geteuid()) return true;
  struct stat about {};
  if (::stat(folder.c_str(), &about) != 0) return false;
  if (about.st_uid == uid) return (about.st_mode & S_IWUSR) != 0;
  if (std::find(groups.begin(), groups.end(), about.st_gid) != groups.end()) {
    return (about.st_mode & S_IWGRP) != 0;
  }
  return (about.st_mode & S_IWOTH) != 0;
}

// One connection of the control socket: reads one request line within the
// deadline, has it carried out, writes the answer and closes. Owns itself
// through its pending handlers; registered with the socket's state while
// open, so a Close ends it.
class ControlSession : public std::enable_shared_from_this<ControlSession> {
 public:
  ControlSession(Local::socket socket, std::shared_ptr<ControlSocket::State> state)
      : socket_(std::move(socket)), state_(std::move(state)), deadline_(socket_.get_executor()) {
    state_->Sessions.insert(this);
  }
  ~ControlSession() { state_->Sessions.erase(this); }
  ControlSession(const ControlSession&) = delete;
  ControlSession& operator=(const ControlSession&) = delete;

  void Start() {
    // A refused caller's request is read all the same: a Unix socket
    // closed with bytes unread resets, and the refusal would be lost.
    permitted_ = Permitted();
    ArmDeadline(ControlSocket::kReadTimeout);
    asio::async_read_until(
        socket_, asio::dynamic_buffer(input_, ControlSocket::kMaxRequestBytes), '\n',
        [self = shared_from_this()](const boost::system::error_code& ec, size_t length) {
          self->OnRead(ec, length);
        });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    state_->Sessions.erase(this);
    boost::system::error_code ignored;
    socket_.shutdown(Local::socket::shutdown_both, ignored);
    socket_.close(ignored);
    deadline_.cancel();
  }

 private:
  bool Permitted() {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
      return false;
    }
    uid_ = peer.uid;
    std::vector<gid_t> groups(64);
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) ==
        0) {
      groups.resize(bytes / sizeof(gid_t));
    } else {
      groups.clear();  // too many to list: the primary group decides
    }
    groups.push_back(peer.gid);
    if (MayWriteFolder(peer.uid, groups, state_->Folder)) return true;
    LogMessage(fmt::format(ControlSocket::kRefusedLog, peer.uid));
    return false;
  }

  void ArmDeadline(std::chrono::seconds limit) {
    deadline_.expires_after(limit);
    deadline_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      if (ec) return;
      if (auto self = weak.lock()) self->Close();
    });
  }

  void OnRead(const boost::system::error_code& ec, size_t length) {
    if (ec || closed_ || state_->Closed) {
      // A request too long, cut short or too slow gets no answer.
      Close();
      return;
    }
    deadline_.cancel();
    if (!permitted_) {
      OperatorActions::Outcome refusal;
      refusal.status = 1;
      refusal.text = ControlSocket::kRefusal;
      Answer(refusal);
      return;
    }
    std::string line = input_.substr(0, length);
    std::string error;
    auto request = OperatorActions::Parse(line, &error);
    if (!request) {
      OperatorActions::Outcome bad;
      bad.status = 2;
      bad.text = "The request is not understood: " + error + ".";
      Answer(bad);
      return;
    }
    std::string account =
        request->account.empty() ? "uid " + std::to_string(uid_) : EscapeForLog(request->account);
    std::string source = request->source.empty() ? kCommandLine : EscapeForLog(request->source);
    std::string who = "operator " + account + " (" + source + ")";
    state_->Actions.Run(*request, who,
                        [self = shared_from_this()](OperatorActions::Outcome outcome) {
                          if (!self->closed_) self->Answer(outcome);
                        });
  }

  void Answer(const OperatorActions::Outcome& outcome) {
    output_ = OperatorActions::Render(outcome) + "\n";
    ArmDeadline(ControlSocket::kWriteTimeout);
    asio::async_write(
        socket_, asio::buffer(output_),
        [self = shared_from_this()](const boost::system::error_code&, size_t) { self->Close(); });
  }

  Local::socket socket_;
  std::shared_ptr<ControlSocket::State> state_;
  asio::steady_timer deadline_;
  std::string input_;
  std::string output_;
  uid_t uid_ = 0;
  bool permitted_ = false;
  bool closed_ = false;
};

}  // namespace

ControlSocket::ControlSocket(App& app) : app_(app), state_(std::make_shared<State>(app)) {}

ControlSocket::~ControlSocket() { Close(); }

bool ControlSocket::Open(const std::filesystem::path& folder) {
  path_ = folder / kFileName;
  state_->Folder = folder;
  if (path_.native().size() >= sizeof(sockaddr_un::sun_path)) {
    LogMessage(fmt::format(kNotOpenedLog, path_.string() + " is too long a path for a socket"));
    return false;
  }
  struct stat about {};
  if (::lstat(path_.c_str(), &about) == 0) {
    if (!S_ISSOCK(about.st_mode)) {
      LogMessage(fmt::format(kNotOpenedLog, path_.string() + " exists and is not a socket"));
      return false;
    }
    // We hold the folder: a socket already there is a crashed run's.
    ::unlink(path_.c_str());
  }
  boost::system::error_code ec;
  acceptor_.emplace(app_.Loop().Context());
  acceptor_->open(Local(), ec);
  if (!ec) acceptor_->bind(Local::endpoint(path_.string()), ec);
  if (!ec && ::chmod(path_.c_str(), 0660) != 0) {
    ec = boost::system::error_code(errno, boost::system::system_category());
  }
  if (!ec) acceptor_->listen(static_cast<int>(kMaxConnections), ec);
  if (ec) {
    LogMessage(fmt::format(kNotOpenedLog, path_.string() + ": " + ec.message()));
    acceptor_.reset();
    ::unlink(path_.c_str());
    return false;
  }
  state_->Closed = false;
  LogMessage(fmt::format(kListeningLog, path_.string()));
  Accept();
  return true;
}

void ControlSocket::Accept() {
  acceptor_->async_accept(
      [state = state_, this](const boost::system::error_code& ec, Local::socket socket) {
        if (state->Closed || ec == asio::error::operation_aborted) return;
        if (!ec) {
          if (state->Sessions.size() >= kMaxConnections) {
            boost::system::error_code ignored;
            socket.close(ignored);  // full: the operator's client says so and may try again
          } else {
            std::make_shared<ControlSession>(std::move(socket), state)->Start();
          }
        }
        Accept();
      });
}

void ControlSocket::Close() {
  if (state_->Closed) return;
  state_->Closed = true;
  boost::system::error_code ignored;
  if (acceptor_) acceptor_->close(ignored);
  acceptor_.reset();
  std::vector<ControlSession*> open(state_->Sessions.begin(), state_->Sessions.end());
  for (ControlSession* session : open) session->Close();
  ::unlink(path_.c_str());
}

}  // namespace brelvint
