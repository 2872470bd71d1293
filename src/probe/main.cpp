// brelvint-probe: a small command-line map-tool client for operators and
// tests. It connects, logs in, optionally reports a position or says a
// chat line, and prints every message it receives until its time is up or
// the server says "BYE".

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "client/MD5.h"
#include "protocol/PacketFramer.h"

namespace {

using brelvint::PacketFramer;
using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  std::string port = "12000";
  std::string network;
  std::string password;
  std::string user;
  std::optional<std::string> position;
  std::optional<std::string> chat;
  bool list = false;
  bool bye = false;
  double seconds = 5;
};

void Usage() {
  std::fprintf(stderr,
               "usage: brelvint-probe [--host H] [--port P] --network N --password W --user U\n"
               "                      [--position X,Y,F,HP,B,D] [--chat TEXT] [--list] [--bye]\n"
               "                      [--seconds S]\n"
               "Logs in and prints every message received until S seconds pass (default 5)\n"
               "or the server answers BYE.\n");
}

std::optional<Options> Parse(int argc, char** argv) {
  Options options;
  std::map<std::string, std::string*> texts = {
      {"--host", &options.host},         {"--port", &options.port},
      {"--network", &options.network},   {"--password", &options.password},
      {"--user", &options.user}};
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    bool has_value = i + 1 < argc;
    if (flag == "--list") {
      options.list = true;
    } else if (flag == "--bye") {
      options.bye = true;
    } else if (texts.count(flag) && has_value) {
      *texts[flag] = argv[++i];
    } else if (flag == "--position" && has_value) {
      options.position = argv[++i];
    } else if (flag == "--chat" && has_value) {
      options.chat = argv[++i];
    } else if (flag == "--seconds" && has_value) {
      options.seconds = std::atof(argv[++i]);
    } else {
      return std::nullopt;
    }
  }
  if (options.network.empty() || options.user.empty()) return std::nullopt;
  return options;
}

const char* Name(int32_t command) {
  switch (command) {
    case 1: return "GREETING";
    case 2: return "NETWORK";
    case 3: return "PASSWORD";
    case 4: return "USERNAME";
    case 5: return "POSITION";
    case 6: return "LEFT";
    case 7: return "CHAT";
    case 9: return "ADMIN";
    case 13: return "BANLIST";
    case 996: return "KICKED";
    case 997: return "BANNED";
    case 998: return "NOTICE";
    case 999: return "BYE";
    default: return "UNKNOWN";
  }
}

std::string Readable(const std::string& data) {
  std::string out;
  for (unsigned char c : data) {
    if (c == 0) {
      out += "\\0";
    } else if (c < 0x20 || c == 0x7f) {
      out += fmt::format("\\x{:02x}", c);
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string Hex(const std::string& data) {
  std::string out;
  for (unsigned char c : data) out += fmt::format("{:02x}", c);
  return out;
}

int ConnectTo(const Options& options) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* entry = found; entry != nullptr && fd < 0; entry = entry->ai_next) {
    fd = ::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
    if (fd >= 0 && ::connect(fd, entry->ai_addr, entry->ai_addrlen) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

void Send(int fd, int32_t command, const std::string& data) {
  std::string packet = PacketFramer::CreatePacket(command, data);
  std::string_view rest = packet;
  while (!rest.empty()) {
    ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    rest.remove_prefix(static_cast<size_t>(n));
  }
  // The password digest is raw bytes; show it as hex.
  std::string shown = command == 2 ? "md5:" + Hex(data) : Readable(data);
  std::printf("-> %d %s\n", command, shown.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  auto options = Parse(argc, argv);
  if (!options) {
    Usage();
    return 2;
  }
  int fd = ConnectTo(*options);
  if (fd < 0) {
    std::fprintf(stderr, "brelvint-probe: cannot connect to %s:%s\n", options->host.c_str(),
                 options->port.c_str());
    return 1;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(options->seconds * 1000));
  std::string buffer;
  bool done = false;
  while (!done && Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      std::printf("-- connection closed by the server\n");
      break;
    }
    buffer.append(chunk, static_cast<size_t>(n));
    int32_t command = 0;
    std::string_view payload;
    size_t consumed = 0;
    while (PacketFramer::Next(buffer, &command, &payload, &consumed) ==
           PacketFramer::Result::kPacket) {
      std::string data(payload);
      buffer.erase(0, consumed);
      std::printf("<- %d %s %s\n", command, Name(command), Readable(data).c_str());
      std::fflush(stdout);
      if (command == 1) Send(fd, 1, options->network);
      if (command == 2 && data == "OK") Send(fd, 2, brelvint::MD5::Digest(options->password));
      if (command == 3 && data == "OK") Send(fd, 3, options->user);
      if (command == 4 && data == "OK") {
        if (options->position) Send(fd, 4, *options->position);
        if (options->chat) Send(fd, 7, *options->chat);
        if (options->list) Send(fd, 5, "");
        if (options->bye) Send(fd, 999, "");
      }
      if (command == 999 && data == "BYE") done = true;
    }
  }
  ::close(fd);
  return 0;
}
