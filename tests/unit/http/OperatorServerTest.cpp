#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "http/OperatorAddress.h"
#include "http/OperatorServer.h"
#include "protocol/EventLoop.h"
#include "support/ServiceProcess.h"
#include "support/TestHttpClient.h"

namespace brelvint {
namespace {

TEST(OperatorAddressTest, ParsesHostAndPortOrRefuses) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    uint16_t port;
  } cases[] = {
      {"127.0.0.1:12080", true, "127.0.0.1", 12080},
      {"localhost:80", true, "localhost", 80},
      {"[::1]:9000", true, "::1", 9000},
      {"0.0.0.0:65535", true, "0.0.0.0", 65535},
      {"127.0.0.1", false, "", 0},        // no port
      {":12080", false, "", 0},           // no host
      {"127.0.0.1:", false, "", 0},       // empty port
      {"127.0.0.1:0", false, "", 0},      // port 0 is not a place to find
      {"127.0.0.1:65536", false, "", 0},  // beyond the port range
      {"127.0.0.1:80x", false, "", 0},    // trailing junk
      {"127.0.0.1:-1", false, "", 0},
      {"::1:9000", false, "", 0},  // IPv6 without brackets is ambiguous
  };
  for (const auto& c : cases) {
    auto address = OperatorAddress::Parse(c.text);
    ASSERT_EQ(address.has_value(), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(address->Host, c.host) << c.text;
    EXPECT_EQ(address->Port, c.port) << c.text;
    EXPECT_EQ(address->ToString(), c.text);
  }
}

TEST(OperatorAddressTest, LoopbackIsOnly127Slash8AndIpv6LoopbackAndLocalhost) {
  struct Case {
    const char* host;
    bool loopback;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.0.0.2", true},
      {"127.255.255.254", true},
      {"localhost", true},
      {"LocalHost", true},
      {"::1", true},
      {"0.0.0.0", false},
      {"::", false},
      {"128.0.0.1", false},
      {"10.0.0.1", false},
      {"192.168.1.1", false},
      {"::ffff:127.0.0.1", false},
      {"127.0.0.1.example.org", false},
      {"", false},
      {"localhost.example.org", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OperatorAddress::IsLoopback(c.host), c.loopback) << c.host;
  }
}

TEST(OperatorServerTest, TokenMatchesOnlyTheWholeToken) {
  struct Case {
    const char* given;
    const char* expected;
    bool matches;
  } cases[] = {
      {"s3cret", "s3cret", true},  {"s3cre", "s3cret", false}, {"s3cretX", "s3cret", false},
      {"S3cret", "s3cret", false}, {"", "s3cret", false},      {"", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OperatorServer::TokenMatches(c.given, c.expected), c.matches)
        << c.given << " / " << c.expected;
  }
}

TEST(OperatorServerTest, HostIsLoopbackOnlyForLoopbackNamesAndAddresses) {
  struct Case {
    const char* host;
    bool loopback;
  } cases[] = {
      {"", true},
      {"127.0.0.1:12080", true},
      {"127.0.0.1", true},
      {"localhost:8080", true},
      {"LOCALHOST", true},
      {"[::1]:9000", true},
      {"[::1]", true},
      {"127.9.9.9:1", true},
      {"evil.example:12080", false},
      {"rebind.attacker.net", false},
      {"10.0.0.1:12080", false},
      {"[::2]:9000", false},
      {"localhost.evil.net:80", false},
      {"[::1", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OperatorServer::IsLoopbackHost(c.host), c.loopback) << c.host;
  }
}

// Everything the handler reads belongs to the loop: it must be called on
// the thread that runs the loop, whatever thread the client is on.
TEST(OperatorServerTest, HandlerRunsOnTheLoopThread) {
  EventLoop loop;
  std::thread::id handler_thread;
  OperatorServer server(loop.Context(),
                        [&](const std::string& path, OperatorServer::Answer answer) {
                          handler_thread = std::this_thread::get_id();
                          answer(OperatorServer::Reply::Text(200, "loop " + path));
                        });
  uint16_t port = ServiceProcess::FreePort();
  std::string why;
  ASSERT_TRUE(server.Start(OperatorAddress{"127.0.0.1", port}, "", &why)) << why;

  auto answer = std::async(std::launch::async, [port] {
    auto reply = TestHttpClient::Get(port, "/where?x=1");
    return reply ? std::to_string(reply->Status) + " " + reply->Body : std::string("none");
  });
  for (int i = 0;
       i < 500 && answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready; ++i) {
    loop.DoEvents(10);
  }
  EXPECT_EQ(answer.get(), "200 loop /where");
  EXPECT_EQ(handler_thread, std::this_thread::get_id());
  server.Stop();
}

TEST(OperatorServerTest, OffLoopbackWithoutATokenItRefusesToListen) {
  EventLoop loop;
  OperatorServer server(loop.Context(), [](const std::string&, OperatorServer::Answer) {});
  uint16_t port = ServiceProcess::FreePort();
  std::string why;
  EXPECT_FALSE(server.Start(OperatorAddress{"0.0.0.0", port}, "", &why));
  EXPECT_EQ(why, "0.0.0.0 is not a loopback address and no StatusToken is set");
  TestHttpClient client;
  EXPECT_FALSE(client.Connect(port));  // nothing listens
}

}  // namespace
}  // namespace brelvint
