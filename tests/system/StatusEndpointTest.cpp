#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "client/MD5.h"
#include "support/ServiceProcess.h"
#include "support/TestClient.h"
#include "support/TestHttpClient.h"

namespace brelvint {
namespace {

constexpr char kPassword[] = "never-shown-pw";
constexpr char kToken[] = "op-token-7f3a";

// Settings binding the map listeners to loopback, plus the status keys.
void WriteSettings(ServiceProcess& service, const std::string& status_settings) {
  service.WriteFile("brelvint.conf",
                    "<?xml version=\"1.0\"?>\n<settings>\n  <setting namestring=\"AttachedNIC\" "
                    "valuestring=\"00:00:00:00:00:00\" />\n" +
                        status_settings + "</settings>\n");
}

std::string Setting(const std::string& key, const std::string& value) {
  return "  <setting namestring=\"" + key + "\" valuestring=\"" + value + "\" />\n";
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The resident size of a process, from /proc/<pid>/status; 0 when unread.
long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:") {
      in >> value;
      return value;
    }
    in.ignore(1 << 16, '\n');
  }
  return 0;
}

// A raw socket to 127.0.0.1:port from `source` that never blocks on
// sending: a flood client that writes while the server lets it and stops
// when it does not.
int FloodSocket(uint16_t port, const std::string& source = "127.0.0.1") {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class StatusEndpointTest : public ::testing::Test {
 protected:
  void StartWith(const std::string& status_settings) {
    WriteSettings(service_, status_settings);
    service_.AddNetwork("alpha.conf", "Alpha", map_port_, "", kPassword);
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForLine("Listening..."));
  }
  std::string Local(uint16_t port) const { return "127.0.0.1:" + std::to_string(port); }

  // Two free ports, never the same one twice.
  static uint16_t OtherFreePort(uint16_t taken) {
    uint16_t port = ServiceProcess::FreePort();
    for (int i = 0; i < 10 && port == taken; ++i) port = ServiceProcess::FreePort();
    return port;
  }

  ServiceProcess service_;
  uint16_t map_port_ = ServiceProcess::FreePort();
  uint16_t status_port_ = OtherFreePort(map_port_);
};

TEST_F(StatusEndpointTest, StatusAndMetricsDescribeMembersAndNeverThePassword) {
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));

  TestClient anna, bob, guesser;
  ASSERT_TRUE(anna.Connect(map_port_));
  ASSERT_TRUE(anna.Login("Alpha", kPassword, "anna"));
  ASSERT_TRUE(bob.Connect(map_port_, "127.0.0.2"));
  ASSERT_TRUE(bob.Login("Alpha", kPassword, "bob"));
  ASSERT_TRUE(guesser.Connect(map_port_));
  EXPECT_FALSE(guesser.Login("Alpha", "wrong", "eve"));
  anna.Send(4, "1200,35,2,87,1,0");
  ASSERT_TRUE(bob.ReceiveCommand(5));  // the relay happened

  auto status = TestHttpClient::Get(status_port_, "/status.json");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->Status, 200);
  EXPECT_EQ(status->Body.find(kPassword), std::string::npos) << status->Body;
  auto json = nlohmann::json::parse(status->Body);
  EXPECT_EQ(json["connections"], 3);
  ASSERT_EQ(json["networks"].size(), 1u);
  const auto& network = json["networks"][0];
  EXPECT_EQ(network["name"], "Alpha");
  EXPECT_EQ(network["port"], map_port_);
  EXPECT_EQ(network["enabled"], true);
  EXPECT_EQ(network["maxUsers"], 100);
  EXPECT_EQ(network["currentUsers"], 2);
  ASSERT_EQ(network["members"].size(), 2u);
  const auto& first = network["members"][0];
  EXPECT_EQ(first["name"], "anna");
  EXPECT_EQ(first["address"], "127.0.0.1");
  EXPECT_EQ(first["x"], 1200);
  EXPECT_EQ(first["y"], 35);
  EXPECT_EQ(first["facet"], 2);
  EXPECT_EQ(first["hp"], 87);
  EXPECT_EQ(first["inBattle"], true);
  EXPECT_EQ(first["isDead"], false);
  EXPECT_GE(first["connectedSeconds"], 0);
  EXPECT_EQ(first["city"], "");
  EXPECT_EQ(first["country"], "");
  EXPECT_EQ(network["members"][1]["name"], "bob");
  EXPECT_EQ(network["members"][1]["address"], "127.0.0.2");

  auto metrics = TestHttpClient::Get(status_port_, "/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->Status, 200);
  EXPECT_EQ(metrics->Header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
  for (const char* line : {
           "brelvint_connections 3",
           "brelvint_members{network=\"Alpha\"} 2",
           "brelvint_messages_received_total{command=\"position\"} 1",
           "brelvint_messages_received_total{command=\"password\"} 3",
           "brelvint_messages_received_total{command=\"select_network\"} 3",
           "brelvint_deliveries_total 1",
           "brelvint_logins_total{result=\"ok\"} 2",
           "brelvint_logins_total{result=\"bad_password\"} 1",
           "brelvint_build_info{version=\"1.0.0\"} 1",
           "brelvint_kicks_total 0",
           "brelvint_bans_total 0",
           "brelvint_slow_consumers_total 0",
           "# TYPE brelvint_loop_pass_seconds histogram",
       }) {
    EXPECT_NE(metrics->Body.find(std::string("\n") + line + "\n"), std::string::npos)
        << line << "\n"
        << metrics->Body;
  }
  for (const char* start :
       {"brelvint_output_bytes_total ", "brelvint_loop_pass_seconds_bucket{le=\"+Inf\"} ",
        "process_cpu_seconds_total ", "process_resident_memory_bytes ", "process_open_fds ",
        "process_max_fds ", "process_start_time_seconds "}) {
    EXPECT_NE(metrics->Body.find(std::string("\n") + start), std::string::npos) << start;
  }
  EXPECT_EQ(metrics->Body.find("command=\"4\""), std::string::npos);
  EXPECT_EQ(metrics->Body.find(kPassword), std::string::npos);

  auto page = TestHttpClient::Get(status_port_, "/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->Status, 200);
  EXPECT_EQ(page->Header("content-type"), "text/html; charset=utf-8");
  EXPECT_NE(page->Body.find("<script src=\"/status.js\">"), std::string::npos);
  auto script = TestHttpClient::Get(status_port_, "/status.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->Header("content-type"), "text/javascript; charset=utf-8");
  EXPECT_NE(script->Body.find("/status.json"), std::string::npos);
  EXPECT_EQ(TestHttpClient::Get(status_port_, "/maps/facet-2.png")->Status, 404);  // no folder
  // HEAD: the headers of the GET, no body.
  TestHttpClient head;
  ASSERT_TRUE(head.Connect(status_port_));
  ASSERT_TRUE(head.SendRequest("HEAD", "/status.json"));
  auto headers = head.Read(std::chrono::seconds(5), true);
  ASSERT_TRUE(headers);
  EXPECT_EQ(headers->Status, 200);
  EXPECT_EQ(headers->Header("content-length"), std::to_string(status->Body.size()));
  ASSERT_TRUE(head.SendRequest("GET", "/nowhere"));  // the same connection, nothing in between
  auto missing = head.Read();
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->Status, 404);
  ASSERT_TRUE(service_.Stop());
}

TEST_F(StatusEndpointTest, OffLoopbackOnlyRequestsCarryingTheTokenAreAnswered) {
  StartWith(Setting("StatusAddress", "0.0.0.0:" + std::to_string(status_port_)) +
            Setting("StatusToken", kToken));
  ASSERT_TRUE(service_.WaitForLine(
      "Status page listening on http://0.0.0.0:" + std::to_string(status_port_) + "/"))
      << testing::PrintToString(service_.LogMessages());
  struct Case {
    const char* path;
    const char* authorization;
    int status;
  } cases[] = {
      {"/status.json", "", 401},
      {"/metrics", "", 401},
      {"/", "", 401},
      {"/status.json", "Bearer wrong", 401},
      {"/status.json", "Bearer op-token-7f3", 401},
      {"/status.json", "Basic op-token-7f3a", 401},
      {"/status.json?token=wrong", "", 401},
      {"/status.json", "Bearer op-token-7f3a", 200},
      {"/metrics", "Bearer op-token-7f3a", 200},
      {"/status.json?token=op-token-7f3a", "", 200},
      {"/?token=op-token-7f3a", "", 200},
      // The page's scripts and styles hold nothing of the server's: a browser
      // asks for them without the page's query.
      {"/status.js", "", 200},
      {"/leaflet.css", "", 200},
      {"/status.js/../status.json", "", 401},
  };
  for (const auto& c : cases) {
    std::string headers = *c.authorization
                              ? "Authorization: " + std::string(c.authorization) + "\r\n"
                              : std::string();
    auto result = TestHttpClient::Get(status_port_, c.path, headers);
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->Status, c.status) << c.path << " " << c.authorization;
    if (c.status == 401) {
      EXPECT_EQ(result->Body.find("connections"), std::string::npos);
      EXPECT_EQ(result->Header("www-authenticate"), "Bearer");
    }
  }
  ASSERT_TRUE(service_.Stop());
}

TEST_F(StatusEndpointTest, WhereItCannotOrMayNotListenItSaysWhyAndTheServerGoesOn) {
  // A port another socket holds.
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  std::string taken = Local(ntohs(address.sin_port));

  std::string any = "0.0.0.0:" + std::to_string(status_port_);
  struct Case {
    std::string settings;
    std::string line;
  } cases[] = {
      {Setting("StatusAddress", any),
       "Status page not started: 0.0.0.0 is not a loopback address and no StatusToken is set."},
      {Setting("StatusAddress", ""), "Status page off: StatusAddress is empty."},
      {Setting("StatusAddress", "nowhere"),
       "Status page not started: StatusAddress \"nowhere\" is not host:port."},
      {Setting("StatusAddress", taken),
       "Status page not started: cannot listen on " + taken + ": Address already in use."},
  };
  for (const auto& c : cases) {
    ServiceProcess service;
    WriteSettings(service, c.settings);
    service.AddNetwork("alpha.conf", "Alpha", map_port_, "", kPassword);
    ASSERT_TRUE(service.Start());
    ASSERT_TRUE(service.WaitForLine("Listening...")) << c.line;
    ASSERT_TRUE(service.WaitForLine(c.line)) << c.line;
    // The map service is unaffected.
    TestClient anna;
    ASSERT_TRUE(anna.Connect(map_port_));
    EXPECT_TRUE(anna.Login("Alpha", kPassword, "anna"));
    EXPECT_FALSE(TestHttpClient::Get(status_port_, "/status.json")) << c.line;
    ASSERT_TRUE(service.Stop());
    auto messages = service.LogMessages();
    auto listening = std::find(messages.begin(), messages.end(), "Listening...");
    ASSERT_NE(listening, messages.end());
    EXPECT_EQ(*(listening + 1), c.line);
    // The settings file gains no status key it did not have.
    EXPECT_EQ(service.ReadFile("brelvint.conf").find("StatusToken"), std::string::npos);
  }
  ::close(holder);
}

TEST_F(StatusEndpointTest, AbsentAddressStoresNothingInTheSettings) {
  StartWith("");
  ASSERT_TRUE(service_.Stop());
  auto messages = service_.LogMessages();
  EXPECT_TRUE(HasLine(messages, "Status page listening on http://127.0.0.1:12080/") ||
              std::any_of(messages.begin(), messages.end(), [](const std::string& line) {
                return line.rfind("Status page not started: cannot listen on 127.0.0.1:12080", 0) ==
                       0;
              }));
  EXPECT_EQ(service_.ReadFile("brelvint.conf").find("Status"), std::string::npos);
}

// Every attempt is counted once, by the step that ended it: a wrong
// password that a name follows, a refused network choice, a refused name,
// a password sent while the address is blocked, a banned user.
TEST_F(StatusEndpointTest, EachLoginAttemptIsCountedOnceByWhatEndedIt) {
  WriteSettings(service_, Setting("StatusAddress", Local(status_port_)));
  service_.AddNetwork("alpha.conf", "Alpha", map_port_,
                      "    <user Name=\"mallory\" IsBanned=\"1\" LastIP=\"127.0.0.1\" />\n",
                      kPassword);
  ASSERT_TRUE(service_.Start());
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  auto attempt = [&](const std::string& source, const std::string& network,
                     const std::string& password, const std::string& name) {
    TestClient client;
    ASSERT_TRUE(client.Connect(map_port_, source));
    client.Send(1, network);
    client.Send(2, MD5::Digest(password));
    client.Send(3, name);
    client.Send(999, "");
    ASSERT_TRUE(client.ReceiveCommand(999));  // every step before it was answered
  };
  attempt("127.0.0.1", "Alpha", kPassword, "anna");      // ok
  attempt("127.0.0.1", "Alpha", "wrong", "eve");         // bad_password, then a name
  attempt("127.0.0.1", "Nowhere", kPassword, "eve");     // network_refused
  attempt("127.0.0.1", "Alpha", kPassword, "bad|name");  // name_refused
  attempt("127.0.0.1", "Alpha", kPassword, "mallory");   // banned
  for (int i = 0; i < 5; ++i) attempt("127.0.0.3", "Alpha", "wrong", "eve");  // bad_password
  attempt("127.0.0.3", "Alpha", kPassword, "eve");                            // blocked
  auto metrics = TestHttpClient::Get(status_port_, "/metrics");
  ASSERT_TRUE(metrics);
  for (const char* line : {
           "brelvint_logins_total{result=\"ok\"} 1",
           "brelvint_logins_total{result=\"bad_password\"} 6",
           "brelvint_logins_total{result=\"blocked\"} 1",
           "brelvint_logins_total{result=\"name_refused\"} 1",
           "brelvint_logins_total{result=\"banned\"} 1",
           "brelvint_logins_total{result=\"network_refused\"} 1",
       }) {
    EXPECT_NE(metrics->Body.find(std::string("\n") + line + "\n"), std::string::npos)
        << line << "\n"
        << metrics->Body;
  }
  ASSERT_TRUE(service_.Stop());
}

// What the endpoint refuses before any handler runs, each on a fresh
// connection: an action's body included, which is never read when refused.
TEST_F(StatusEndpointTest, BodiesOtherMethodsForeignHostsAndHugeHeadersAreRefused) {
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  std::string filler = "X-Filler: " + std::string(2000, 'a') + "\r\n";
  std::string within, beyond;
  for (int i = 0; i < 7; ++i) within += filler;  // about 14 KB of headers
  for (int i = 0; i < 9; ++i) beyond += filler;  // about 18 KB
  struct Case {
    const char* name;
    std::string method;
    std::string path;
    std::string headers;
    std::string body;
    int status;  // 0: the connection may also simply be closed
    const char* header;
    const char* value;
  } cases[] = {
      {"plain", "GET", "/metrics", "", "", 200, nullptr, nullptr},
      {"localhost", "GET", "/metrics", "Host: localhost:1234\r\n", "", 200, nullptr, nullptr},
      {"ipv6 loopback", "GET", "/", "Host: [::1]\r\n", "", 200, nullptr, nullptr},
      {"headers within 16 KiB", "GET", "/metrics", within, "", 200, nullptr, nullptr},
      {"body", "GET", "/metrics", "Content-Length: 5\r\n", "hello", 413, nullptr, nullptr},
      {"chunked body", "GET", "/metrics", "Transfer-Encoding: chunked\r\n",
       "5\r\nhello\r\n0\r\n\r\n", 413, nullptr, nullptr},
      {"post", "POST", "/metrics", "Content-Length: 0\r\n", "", 405, "allow", "GET, HEAD"},
      {"delete", "DELETE", "/", "", "", 405, "allow", "GET, HEAD"},
      {"foreign host", "GET", "/status.json", "Host: rebind.example.net\r\n", "", 421, nullptr,
       nullptr},
      {"foreign host with port", "GET", "/", "Host: 192.168.1.5:12080\r\n", "", 421, nullptr,
       nullptr},
      {"headers beyond 16 KiB", "GET", "/metrics", beyond, "", 0, nullptr, nullptr},
      // An action's body: JSON, of a stated length, at most 4 KiB.
      {"action chunked", "POST", "/action/kick",
       "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n", "2\r\n{}\r\n0\r\n\r\n",
       411, nullptr, nullptr},
      {"action beyond 4 KiB", "POST", "/action/kick",
       "Content-Type: application/json\r\nContent-Length: 4097\r\n", std::string(4097, ' '), 413,
       nullptr, nullptr},
      {"action not JSON", "POST", "/action/kick",
       "Content-Type: text/plain\r\nContent-Length: 2\r\n", "{}", 415, nullptr, nullptr},
      {"action as a form", "POST", "/action/kick",
       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 6\r\n", "name=a", 415,
       nullptr, nullptr},
  };
  for (const auto& c : cases) {
    TestHttpClient client;
    ASSERT_TRUE(client.Connect(status_port_)) << c.name;
    client.SendRequest(c.method, c.path, c.headers);
    client.Send(c.body);
    auto reply = client.Read();
    if (c.status == 0) {
      if (reply) {
        EXPECT_EQ(reply->Status, 431) << c.name;
      }
      continue;
    }
    ASSERT_TRUE(reply) << c.name;
    EXPECT_EQ(reply->Status, c.status) << c.name;
    if (c.header) {
      EXPECT_EQ(reply->Header(c.header), c.value) << c.name;
    }
    if (c.status != 200) {
      EXPECT_EQ(reply->Body.find("brelvint_"), std::string::npos) << c.name;
    }
  }
  ASSERT_TRUE(service_.Stop());
}

constexpr const char kConnectionLimitLine[] =
    "Status page: 64 connections open; for each new one, the one waiting longest for a request "
    "is closed.";

// 100 clients sending endless 2 KB header lines: the server holds at most
// its connection limit of bounded buffers, says so once, and answers a
// scrape as soon as they are gone.
TEST_F(StatusEndpointTest, AHeaderFloodCostsAFewMegabytesAndIsLoggedOnce) {
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  ASSERT_TRUE(TestHttpClient::Get(status_port_, "/metrics"));  // the endpoint's first allocations
  long before = ResidentKiB(service_.Pid());
  std::vector<int> flood;
  // Ten to an address: the limit met is the endpoint's, not an address's.
  for (int i = 0; i < 100; ++i) {
    flood.push_back(FloodSocket(status_port_, "127.0.1." + std::to_string(10 + i / 10)));
  }
  std::string line = "X-Flood: " + std::string(2000, 'f') + "\r\n";
  size_t sent = 0;
  for (int fd : flood) {
    if (fd >= 0) ::send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
  }
  // Every client holds an unfinished request before any floods, so the
  // limit is met whatever order the server accepts and ends them in.
  ASSERT_TRUE(service_.WaitForLine(kConnectionLimitLine));
  // Up to 8 MB a client, while the server reads; a client it has closed
  // drops out.
  for (int round = 0, open = 1; round < 4000 && open > 0; ++round) {
    open = 0;
    for (int& fd : flood) {
      if (fd < 0) continue;
      ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        ::close(fd);
        fd = -1;
        continue;
      }
      ++open;
    }
    if (round % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  long during = ResidentKiB(service_.Pid());
  for (int fd : flood) {
    if (fd >= 0) ::close(fd);
  }
  auto scrape = TestHttpClient::Get(status_port_, "/metrics");
  ASSERT_TRUE(scrape);
  EXPECT_EQ(scrape->Status, 200);
  long after = ResidentKiB(service_.Pid());
  std::printf(
      "header flood: %zu bytes sent by 100 clients; resident %ld KiB before, %ld during, "
      "%ld after\n",
      sent, before, during, after);
  // The unbounded parser grew by hundreds of megabytes here.
  EXPECT_LT(during - before, 16 * 1024);
  EXPECT_LT(after - before, 16 * 1024);
  ASSERT_TRUE(service_.Stop());
  EXPECT_EQ(CountLines(service_.LogMessages(), kConnectionLimitLine), 1u);
}

// Slow clients (a header byte now and then) and idle keep-alive browsers
// hold nothing others need: a scrape is answered beside them and a stop
// closes them. Their connections end by the request deadline and the idle
// limit.
TEST_F(StatusEndpointTest, SlowClientsDelayNeitherAScrapeNorAStop) {
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  std::vector<std::unique_ptr<TestHttpClient>> slow, idle;
  for (int i = 0; i < 8; ++i) {
    slow.push_back(std::make_unique<TestHttpClient>());
    ASSERT_TRUE(slow.back()->Connect(status_port_, "127.0.0.2"));
    ASSERT_TRUE(slow.back()->Send("GET /metrics HTTP/1.1\r\nX"));
    idle.push_back(std::make_unique<TestHttpClient>());
    ASSERT_TRUE(idle.back()->Connect(status_port_, "127.0.0.3"));
    ASSERT_TRUE(idle.back()->SendRequest("GET", "/status.json"));
    ASSERT_TRUE(idle.back()->Read());  // and then keeps the connection
  }
  for (int i = 0; i < 2; ++i) {
    for (auto& client : slow) client->Send("x");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  auto asked = Clock::now();
  auto scrape = TestHttpClient::Get(status_port_, "/metrics");
  double scrape_seconds = SecondsSince(asked);
  ASSERT_TRUE(scrape);
  EXPECT_EQ(scrape->Status, 200);

  // One more slow client, to see the deadline: it is closed about 10 s
  // after its first byte however steadily it trickles.
  TestHttpClient trickle;
  ASSERT_TRUE(trickle.Connect(status_port_));
  auto first_byte = Clock::now();
  bool closed = false;
  for (int i = 0; i < 40 && !closed; ++i) {  // at most 20 s
    closed = !trickle.Send("G") || trickle.WaitClosed(std::chrono::milliseconds(500));
  }
  double deadline_seconds = SecondsSince(first_byte);
  EXPECT_TRUE(closed);
  EXPECT_GE(deadline_seconds, 9.0);

  // A fresh keep-alive connection left idle is closed after about 5 s.
  TestHttpClient browser;
  ASSERT_TRUE(browser.Connect(status_port_));
  ASSERT_TRUE(browser.SendRequest("GET", "/"));
  ASSERT_TRUE(browser.Read());
  auto answered = Clock::now();
  EXPECT_TRUE(browser.WaitClosed(std::chrono::seconds(15)));
  double idle_seconds = SecondsSince(answered);
  EXPECT_GE(idle_seconds, 4.0);

  // And a stop with slow clients connected (fresh ones: the first have
  // met their deadline by now).
  std::vector<std::unique_ptr<TestHttpClient>> late;
  for (int i = 0; i < 8; ++i) {
    late.push_back(std::make_unique<TestHttpClient>());
    ASSERT_TRUE(late.back()->Connect(status_port_, "127.0.0.4"));
    ASSERT_TRUE(late.back()->Send("GET /metrics HTTP/1.1\r\nX"));
  }
  auto stopping = Clock::now();
  ASSERT_TRUE(service_.Stop());
  double stop_seconds = SecondsSince(stopping);
  std::printf(
      "slow clients: scrape beside 8 slow and 8 idle clients %.3f s; request deadline "
      "closed a trickling client after %.1f s; idle keep-alive closed after %.1f s; stop "
      "with 8 slow clients %.3f s\n",
      scrape_seconds, deadline_seconds, idle_seconds, stop_seconds);
}

// A reload applies StatusToken and StatusAddress: the new token at once
// (on a connection already open too), the old one refused; a new address
// rebinds; an empty one switches the endpoint off. Each change is logged.
TEST_F(StatusEndpointTest, ReloadRotatesTheTokenAndMovesOrEndsTheEndpoint) {
  std::string any = "0.0.0.0:" + std::to_string(status_port_);
  StartWith(Setting("StatusAddress", any) + Setting("StatusToken", "old-token"));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + any + "/"));
  auto status_with = [&](TestHttpClient& client, const std::string& token) {
    client.SendRequest("GET", "/status.json", "Authorization: Bearer " + token + "\r\n");
    auto reply = client.Read();
    return reply ? reply->Status : 0;
  };
  TestHttpClient kept;
  ASSERT_TRUE(kept.Connect(status_port_));
  EXPECT_EQ(status_with(kept, "old-token"), 200);

  WriteSettings(service_, Setting("StatusAddress", any) + Setting("StatusToken", "new-token"));
  service_.Signal(SIGHUP);
  ASSERT_TRUE(service_.WaitForLine("Status page token changed."));
  EXPECT_EQ(status_with(kept, "old-token"), 401);
  EXPECT_EQ(status_with(kept, "new-token"), 200);
  TestHttpClient fresh;
  ASSERT_TRUE(fresh.Connect(status_port_));
  EXPECT_EQ(status_with(fresh, "old-token"), 401);

  uint16_t moved_port = OtherFreePort(status_port_);
  while (moved_port == map_port_) moved_port = OtherFreePort(status_port_);
  WriteSettings(service_, Setting("StatusAddress", Local(moved_port)));
  service_.Signal(SIGHUP);
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(moved_port) + "/"));
  EXPECT_FALSE(TestHttpClient::Get(status_port_, "/status.json"));
  EXPECT_TRUE(kept.WaitClosed(std::chrono::seconds(2)));  // the old endpoint's connections end
  auto moved = TestHttpClient::Get(moved_port, "/status.json");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->Status, 200);

  WriteSettings(service_, Setting("StatusAddress", ""));
  service_.Signal(SIGHUP);
  ASSERT_TRUE(service_.WaitForLine("Status page off: StatusAddress is empty."));
  EXPECT_FALSE(TestHttpClient::Get(moved_port, "/status.json"));
  ASSERT_TRUE(service_.Stop());
}

// A network name whose bytes are not UTF-8 still gives a /metrics body a
// real Prometheus accepts, and a status document that parses.
TEST_F(StatusEndpointTest, InvalidUtf8InANetworkNameKeepsMetricsValidForPromtool) {
  if (::access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "no promtool here";
  WriteSettings(service_, Setting("StatusAddress", Local(status_port_)));
  service_.AddNetwork("cafe.conf", "Caf\xE9 \xFF\xFE", map_port_, "", kPassword);
  ASSERT_TRUE(service_.Start());
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  auto metrics = TestHttpClient::Get(status_port_, "/metrics");
  ASSERT_TRUE(metrics);
  ASSERT_EQ(metrics->Status, 200);
  EXPECT_NE(metrics->Body.find(
                "brelvint_members{network=\"Caf\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\"} 0"),
            std::string::npos)
      << metrics->Body;
  service_.WriteFile("metrics.txt", metrics->Body);
  std::string command = "/usr/bin/promtool check metrics < '" +
                        (service_.Folder() / "metrics.txt").string() + "' 2>&1";
  FILE* promtool = ::popen(command.c_str(), "r");
  ASSERT_NE(promtool, nullptr);
  std::string said;
  char chunk[512];
  while (size_t n = std::fread(chunk, 1, sizeof chunk, promtool)) said.append(chunk, n);
  EXPECT_EQ(::pclose(promtool), 0) << said;
  auto status = TestHttpClient::Get(status_port_, "/status.json");
  ASSERT_TRUE(status);
  EXPECT_NO_THROW(nlohmann::json::parse(status->Body));
  ASSERT_TRUE(service_.Stop());
}

constexpr const char kPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// Every reply, a refusal as much as the page, carries the policy that
// keeps a script out of the page, and the headers that keep its address
// (a token may be in it) and its types to itself.
TEST_F(StatusEndpointTest, EveryReplyCarriesTheSecurityHeaders) {
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  struct Case {
    const char* method;
    const char* path;
    const char* headers;
    int status;
  } cases[] = {
      {"GET", "/", "", 200},
      {"GET", "/status.json", "", 200},
      {"GET", "/metrics", "", 200},
      {"HEAD", "/", "", 200},
      {"GET", "/maps/facet-1.png", "", 404},
      {"GET", "/nowhere", "", 404},
      {"POST", "/", "Content-Length: 0\r\n", 405},
      {"GET", "/", "Host: rebind.example.net\r\n", 421},
  };
  for (const auto& c : cases) {
    TestHttpClient client;
    ASSERT_TRUE(client.Connect(status_port_));
    ASSERT_TRUE(client.SendRequest(c.method, c.path, c.headers));
    auto reply = client.Read(std::chrono::seconds(5), std::string(c.method) == "HEAD");
    ASSERT_TRUE(reply) << c.method << " " << c.path;
    EXPECT_EQ(reply->Status, c.status) << c.path;
    EXPECT_EQ(reply->Header("content-security-policy"), kPolicy) << c.path;
    EXPECT_EQ(reply->Header("x-content-type-options"), "nosniff") << c.path;
    EXPECT_EQ(reply->Header("referrer-policy"), "no-referrer") << c.path;
  }
  ASSERT_TRUE(service_.Stop());
}

// Requests HTTP/1.1 answers a set way (RFC 9112): a body too large is 413
// whether or not it came with the header; a transfer coding means a body
// (413), or one no server can know (501), and the connection ends either
// way; an absolute-form target is served by its path; two Host headers
// are a bad request.
TEST_F(StatusEndpointTest, RequestsAreAnsweredAsHttpOneOneAsks) {
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  const std::string host = "Host: " + Local(status_port_) + "\r\n";
  const std::string large = "Content-Length: 2000000\r\n";
  struct Case {
    const char* name;
    std::string request;
    int status;
    bool closes;
  } cases[] = {
      {"large body announced alone", "GET /metrics HTTP/1.1\r\n" + host + large + "\r\n", 413,
       true},
      {"large body arriving with it",
       "GET /metrics HTTP/1.1\r\n" + host + large + "\r\n" + std::string(65536, 'b'), 413, true},
      {"gzip coding", "GET /metrics HTTP/1.1\r\n" + host + "Transfer-Encoding: gzip\r\n\r\n", 413,
       true},
      {"unknown coding", "GET /metrics HTTP/1.1\r\n" + host + "Transfer-Encoding: rot13\r\n\r\n",
       501, true},
      {"absolute form",
       "GET http://" + Local(status_port_) + "/metrics HTTP/1.1\r\n" + host + "\r\n", 200, false},
      {"absolute form naming another host",
       "GET http://rebind.example.net/metrics HTTP/1.1\r\n" + host + "\r\n", 421, false},
      {"two hosts", "GET /metrics HTTP/1.1\r\n" + host + host + "\r\n", 400, true},
  };
  for (const auto& c : cases) {
    TestHttpClient client;
    ASSERT_TRUE(client.Connect(status_port_)) << c.name;
    client.Send(c.request);
    auto reply = client.Read();
    ASSERT_TRUE(reply) << c.name;
    EXPECT_EQ(reply->Status, c.status) << c.name;
    if (c.status == 200) {
      EXPECT_NE(reply->Body.find("brelvint_connections"), std::string::npos) << c.name;
    }
    if (c.closes) {
      EXPECT_TRUE(client.WaitClosed(std::chrono::seconds(3))) << c.name;
    } else {
      // Still open: a second request on the same connection is answered.
      ASSERT_TRUE(client.SendRequest("GET", "/metrics")) << c.name;
      auto next = client.Read();
      ASSERT_TRUE(next) << c.name;
      EXPECT_EQ(next->Status, 200) << c.name;
    }
  }
  ASSERT_TRUE(service_.Stop());
}

// One address holding many slow connections takes only its own share:
// the operator and Prometheus, elsewhere, are answered every time. The
// refused connections are closed at once and the episode logged once.
TEST_F(StatusEndpointTest, OneAddressCannotTakeTheEndpoint) {
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  std::vector<std::unique_ptr<TestHttpClient>> slow;
  for (int i = 0; i < 64; ++i) {
    slow.push_back(std::make_unique<TestHttpClient>());
    if (slow.back()->Connect(status_port_, "127.0.0.2")) slow.back()->Send("G");
  }
  int answered = 0;
  for (int i = 0; i < 29; ++i) {
    for (auto& client : slow) client->Send("E");  // a byte now and then keeps them alive
    auto scrape = TestHttpClient::Get(status_port_, "/metrics");
    if (scrape && scrape->Status == 200) ++answered;
  }
  std::printf("operator scrapes answered beside 64 slow connections from one address: %d of 29\n",
              answered);
  EXPECT_EQ(answered, 29);
  // Those beyond the share were closed at once, before they sent more.
  int closed = 0;
  for (auto& client : slow) {
    if (client->WaitClosed(std::chrono::milliseconds(50))) ++closed;
  }
  EXPECT_GE(closed, 64 - 16);
  ASSERT_TRUE(service_.Stop());
  EXPECT_EQ(CountLines(service_.LogMessages(),
                       "Status page: 16 connections open from 127.0.0.2; new ones from there are "
                       "closed until some end."),
            1u);
}

// Four addresses, each holding its share of idle connections, fill the
// endpoint; a scrape from a fifth is still answered every time, as the
// connection that has waited longest without a request makes room.
TEST_F(StatusEndpointTest, IdleConnectionsFromSeveralAddressesCannotTakeTheEndpoint) {
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  std::vector<std::unique_ptr<TestHttpClient>> idle;
  for (int address = 0; address < 4; ++address) {
    for (int i = 0; i < 16; ++i) {
      idle.push_back(std::make_unique<TestHttpClient>());
      ASSERT_TRUE(idle.back()->Connect(status_port_, "127.0.0." + std::to_string(2 + address)));
    }
  }
  int answered = 0;
  for (int i = 0; i < 17; ++i) {
    auto scrape = TestHttpClient::Get(status_port_, "/metrics");
    if (scrape && scrape->Status == 200) ++answered;
  }
  std::printf("scrapes answered beside 4 x 16 idle connections: %d of 17\n", answered);
  EXPECT_EQ(answered, 17);
  ASSERT_TRUE(service_.Stop());
  EXPECT_EQ(CountLines(service_.LogMessages(), kConnectionLimitLine), 1u);
}

// Sixty readers of a large facet picture that never read share one copy
// of it; a picture over the size limit is refused with one line.
TEST_F(StatusEndpointTest, APictureIsHeldOnceHoweverManyReadItAndALargeOneIsRefused) {
  namespace fs = std::filesystem;
  fs::create_directories(service_.Folder() / "brelvint-maps");
  constexpr size_t kPictureBytes = 30u << 20;
  service_.WriteFile("brelvint-maps/facet-1.png", std::string(kPictureBytes, 'p'));
  service_.WriteFile("brelvint-maps/facet-2.png", std::string((32u << 20) + 1, 'q'));
  StartWith(Setting("StatusAddress", Local(status_port_)));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://" + Local(status_port_) + "/"));
  auto first = TestHttpClient::Get(status_port_, "/maps/facet-1.png");
  ASSERT_TRUE(first);
  ASSERT_EQ(first->Status, 200);
  EXPECT_EQ(first->Body.size(), kPictureBytes);
  long before = ResidentKiB(service_.Pid());

  std::vector<std::unique_ptr<TestHttpClient>> readers;
  for (int i = 0; i < 60; ++i) {
    readers.push_back(std::make_unique<TestHttpClient>());
    ASSERT_TRUE(readers.back()->Connect(status_port_, "127.0.2." + std::to_string(10 + i / 10)));
    ASSERT_TRUE(readers.back()->SendRequest("GET", "/maps/facet-1.png"));
  }
  // Every reader's reply is under way once a scrape behind them is answered.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto scrape = TestHttpClient::Get(status_port_, "/metrics");
  ASSERT_TRUE(scrape);
  EXPECT_EQ(scrape->Status, 200);
  long during = ResidentKiB(service_.Pid());
  std::printf(
      "picture readers: resident %ld KiB before 60 stalled readers of a 30 MiB picture, "
      "%ld KiB with them\n",
      before, during);
  // A copy each would be 1.8 GB.
  EXPECT_LT(during - before, 3L * 30 * 1024);

  for (int i = 0; i < 2; ++i) {
    auto large = TestHttpClient::Get(status_port_, "/maps/facet-2.png");
    ASSERT_TRUE(large);
    EXPECT_EQ(large->Status, 404);
  }
  readers.clear();
  ASSERT_TRUE(service_.Stop());
  size_t refusals = 0;
  for (const auto& line : service_.LogMessages()) {
    if (line.find("facet-2.png is 33554433 bytes, over the 33554432 a picture may have; it is "
                  "not served.") != std::string::npos) {
      ++refusals;
    }
  }
  EXPECT_EQ(refusals, 1u);
}

// A host name in StatusAddress is looked up beside the loop, so a slow
// resolver holds up no player; a literal address and "localhost" need no
// lookup at all.
TEST_F(StatusEndpointTest, ANameIsLookedUpOffTheLoopAndLiteralsNeedNone) {
  StartWith(Setting("StatusAddress", "brelvint-test.invalid:" + std::to_string(status_port_)));
  TestClient member;
  ASSERT_TRUE(member.Connect(map_port_));
  ASSERT_TRUE(member.Login("Alpha", kPassword, "anna"));
  bool refused = false;
  for (int i = 0; i < 300 && !refused; ++i) {
    for (const auto& line : service_.LogMessages()) {
      if (line.rfind("Status page not started: cannot resolve brelvint-test.invalid: ", 0) == 0) {
        refused = true;
      }
    }
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(refused);
  EXPECT_TRUE(member.ExpectFenceNext());

  WriteSettings(service_, Setting("StatusAddress", "localhost:" + std::to_string(status_port_)));
  service_.Signal(SIGHUP);
  ASSERT_TRUE(service_.WaitForLine(
      "Status page listening on http://localhost:" + std::to_string(status_port_) + "/"));
  auto metrics = TestHttpClient::Get(status_port_, "/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->Status, 200);
  ASSERT_TRUE(service_.Stop());
}

}  // namespace
}  // namespace brelvint
