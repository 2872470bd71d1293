#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "http/HttpClient.h"
#include "http/HttpRequest.h"
#include "protocol/Asio.h"
#include "protocol/EventLoop.h"
#include "support/ScopedHome.h"
#include "support/TempFolder.h"
#include "support/TestHttpServer.h"

namespace brelvint {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr char kLocationPath[] = "/IpLocator.htm";
constexpr char kFlagPath[] = "/flag.php";
constexpr seconds kLocationInactivity(2);
constexpr seconds kFlagInactivity(5);
constexpr char kAddress[] = "203.0.113.7";

// The lookups the server makes, built as it builds them.
std::string LocationUrl(const std::string& base, const std::string& address) {
  return base + "/IpLocator.htm?GetLocation&template=php3.txt&IpAddress=" + address;
}

std::string FlagUrl(const std::string& base, const std::string& address) {
  return base + "/flag.php?ip=" + address;
}

// A port on 127.0.0.1 that nothing listens on.
uint16_t ClosedPort() {
  asio::io_context context;
  asio::ip::tcp::acceptor acceptor(context,
                                   asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

struct TextResult {
  bool ended = false;
  std::string body;
};

struct FileResult {
  bool ended = false;
  bool complete = false;
};

std::function<void(std::string)> Into(TextResult& result) {
  return [&result](std::string body) {
    result.ended = true;
    result.body = std::move(body);
  };
}

std::function<void(bool)> Into(FileResult& result) {
  return [&result](bool complete) {
    result.ended = true;
    result.complete = complete;
  };
}

// The test's folder is also $HOME, so the client's log lines go to a log
// of the test's own.
class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { home_.emplace(folder_.Path()); }

  // Runs the loop as the server does until `finished` holds; false when
  // `limit` passed first.
  bool RunUntil(const std::function<bool()>& finished, seconds limit = seconds(10)) {
    Clock::time_point deadline = Clock::now() + limit;
    while (!finished()) {
      if (Clock::now() >= deadline) return false;
      loop_.DoEvents(10);
    }
    return true;
  }

  void RunFor(milliseconds duration) {
    Clock::time_point deadline = Clock::now() + duration;
    while (Clock::now() < deadline) loop_.DoEvents(10);
  }

  std::string Log() const { return folder_.ReadFile("com.brelvint.log"); }
  std::filesystem::path File(const char* name) const { return folder_.Path() / name; }

  TempFolder folder_;
  std::optional<ScopedHome> home_;
  EventLoop loop_;
  TestHttpServer server_;
  HttpClient client_{loop_.Context()};
};

TEST_F(HttpClientTest, LookupTargetsArriveAsSent) {
  server_.Answer(kLocationPath, "page");
  server_.Answer(kFlagPath, "flag");
  std::vector<std::string> sent;
  int ended = 0;
  for (const char* address : {kAddress, "2001:db8::7"}) {
    for (const std::string& url :
         {LocationUrl(server_.BaseUrl(), address), FlagUrl(server_.BaseUrl(), address)}) {
      client_.GetText(url, kLocationInactivity, [&ended](std::string) { ++ended; });
      sent.push_back(url.substr(server_.BaseUrl().size()));
    }
  }
  ASSERT_TRUE(RunUntil([&] { return ended == 4; }));

  std::vector<std::string> received = server_.Targets();
  std::sort(sent.begin(), sent.end());
  std::sort(received.begin(), received.end());
  EXPECT_EQ(received, sent);
}

TEST_F(HttpClientTest, GetTextDeliversTheWholeBodyWhateverTheStatus) {
  const std::string page =
      std::string("<meta name=\"city\" content=\"Oslo\">\r\n") + '\0' + "after a NUL\n";
  server_.Answer(kLocationPath, page);
  server_.AnswerUntilClose("/unannounced", page);
  struct Case {
    std::string path;
    std::string body;
  };
  const Case cases[] = {
      {kLocationPath, page},
      {"/unannounced", page},
      {"/missing", "not found"},  // a 404 page is still the body
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TextResult result;
    client_.GetText(server_.BaseUrl() + c.path, kLocationInactivity, Into(result));
    ASSERT_TRUE(RunUntil([&] { return result.ended; }));
    EXPECT_EQ(result.body, c.body);
  }
  EXPECT_EQ(client_.InFlight(), 0u);
}

TEST_F(HttpClientTest, GetToFileReplacesTheFileWithTheBody) {
  std::string flag("GIF89a\x01\x00\x01\x00\x80\x00\x00", 13);
  server_.Answer(kFlagPath, flag);
  std::filesystem::path file = folder_.WriteFile("flag", std::string(1000, 'x'));

  FileResult result;
  client_.GetToFile(FlagUrl(server_.BaseUrl(), kAddress), file, kFlagInactivity, Into(result));
  ASSERT_TRUE(RunUntil([&] { return result.ended; }));
  EXPECT_TRUE(result.complete);
  EXPECT_EQ(folder_.ReadFile("flag"), flag);
}

TEST_F(HttpClientTest, SilentServerIsAbandonedAfterTheInactivityLimit) {
  server_.Hang(kLocationPath);
  server_.Hang(kFlagPath);
  std::string location_url = LocationUrl(server_.BaseUrl(), kAddress);
  TextResult text;
  FileResult file;
  Clock::time_point start = Clock::now();
  client_.GetText(location_url, kLocationInactivity, Into(text));
  client_.GetToFile(FlagUrl(server_.BaseUrl(), kAddress), File("flag"), kLocationInactivity,
                    Into(file));

  ASSERT_TRUE(RunUntil([&] { return text.ended && file.ended; }));
  EXPECT_GE(Clock::now() - start, milliseconds(1500));
  EXPECT_EQ(text.body, "");
  EXPECT_FALSE(file.complete);
  EXPECT_EQ(client_.InFlight(), 0u);
  EXPECT_TRUE(RunUntil([&] { return server_.ClosedConnections() == 2; }));
  EXPECT_NE(Log().find("HTTP GET " + location_url + " failed: no progress for 2 s"),
            std::string::npos)
      << Log();
}

TEST_F(HttpClientTest, ArrivingBytesKeepASlowResponseAlive) {
  // Six pieces 300 ms apart: 1.8 s in all, never 1 s without a byte.
  const std::string page = "<meta name=\"country\" content=\"Canada\">\n";
  server_.AnswerSlowly(kLocationPath, page, 6, milliseconds(300));
  TextResult result;
  Clock::time_point start = Clock::now();
  client_.GetText(LocationUrl(server_.BaseUrl(), kAddress), seconds(1), Into(result));

  ASSERT_TRUE(RunUntil([&] { return result.ended; }));
  EXPECT_EQ(result.body, page);
  EXPECT_GE(Clock::now() - start, milliseconds(1200));  // longer than the limit
}

TEST_F(HttpClientTest, UnreachableServerEndsWithNothing) {
  std::string base = "http://127.0.0.1:" + std::to_string(ClosedPort());
  TextResult text;
  FileResult file;
  client_.GetText(LocationUrl(base, kAddress), kLocationInactivity, Into(text));
  client_.GetToFile(FlagUrl(base, kAddress), File("flag"), kFlagInactivity, Into(file));

  ASSERT_TRUE(RunUntil([&] { return text.ended && file.ended; }));
  EXPECT_EQ(text.body, "");
  EXPECT_FALSE(file.complete);
  EXPECT_NE(Log().find("HTTP GET " + FlagUrl(base, kAddress) + " failed: "), std::string::npos)
      << Log();
}

// Sequential lookups to a server that keeps connections open share one;
// one that drops them unannounced costs a fresh connection, not a lookup.
TEST_F(HttpClientTest, KeptConnectionsAreReusedAndDroppedOnesReplaced) {
  struct Case {
    TestHttpServer::Persistence persistence;
    size_t connections;
  };
  const Case cases[] = {{TestHttpServer::Persistence::kKeepAlive, 1},
                        {TestHttpServer::Persistence::kDropUnannounced, 3}};
  for (const Case& c : cases) {
    TestHttpServer server;
    server.SetPersistence(c.persistence);
    server.Answer(kLocationPath, "page");
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(round);
      TextResult result;
      client_.GetText(LocationUrl(server.BaseUrl(), kAddress), kLocationInactivity, Into(result));
      ASSERT_TRUE(RunUntil([&] { return result.ended; }));
      EXPECT_EQ(result.body, "page");
    }
    EXPECT_EQ(server.AcceptedConnections(), c.connections);
  }
}

TEST_F(HttpClientTest, OnlyWebAddressesAreFetched) {
  const std::string urls[] = {
      "file://" + folder_.WriteFile("secret", "secret").string(),
      "not an address",
      "",
  };
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    TextResult result;
    client_.GetText(url, kLocationInactivity, Into(result));
    ASSERT_TRUE(RunUntil([&] { return result.ended; }));
    EXPECT_EQ(result.body, "");
  }
}

TEST_F(HttpClientTest, BodiesOverTheLimitAreRefused) {
  const std::string at_limit(HttpRequest::kMaxBodyBytes, 'a');
  const std::string over_limit = at_limit + "b";
  server_.Answer("/at", at_limit);
  server_.Answer("/over", over_limit);
  server_.AnswerUntilClose("/at-unannounced", at_limit);
  server_.AnswerUntilClose("/over-unannounced", over_limit);
  struct Case {
    const char* path;
    bool kept;
  };
  const Case cases[] = {
      {"/at", true}, {"/over", false}, {"/at-unannounced", true}, {"/over-unannounced", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TextResult result;
    client_.GetText(server_.BaseUrl() + c.path, kFlagInactivity, Into(result));
    ASSERT_TRUE(RunUntil([&] { return result.ended; }));
    EXPECT_EQ(result.body.size(), c.kept ? at_limit.size() : 0u);
  }
}

TEST_F(HttpClientTest, UncreatableFileFailsFromTheLoopNotTheCall) {
  FileResult result;
  client_.GetToFile(FlagUrl(server_.BaseUrl(), kAddress), File("missing") / "flag", kFlagInactivity,
                    Into(result));
  EXPECT_FALSE(result.ended);
  ASSERT_TRUE(RunUntil([&] { return result.ended; }));
  EXPECT_FALSE(result.complete);
  EXPECT_TRUE(server_.Targets().empty());
  EXPECT_NE(Log().find("cannot create"), std::string::npos) << Log();
}

TEST_F(HttpClientTest, CancelledRequestNeverCallsBackAndClosesItsConnection) {
  server_.Hang(kLocationPath);
  bool called = false;
  HttpClient::Id id = client_.GetText(LocationUrl(server_.BaseUrl(), kAddress), seconds(1),
                                      [&called](std::string) { called = true; });
  EXPECT_NE(id, 0u);
  ASSERT_TRUE(RunUntil([&] { return server_.Targets().size() == 1; }));

  client_.Cancel(id);
  client_.Cancel(id);        // already gone
  client_.Cancel(id + 100);  // never existed
  EXPECT_EQ(client_.InFlight(), 0u);
  EXPECT_TRUE(RunUntil([&] { return server_.ClosedConnections() == 1; }));
  RunFor(milliseconds(1500));  // past the inactivity limit
  EXPECT_FALSE(called);
}

TEST_F(HttpClientTest, TwoRequestsInFlightBothComplete) {
  server_.AnswerSlowly(kLocationPath, "the location page", 3, milliseconds(200));
  server_.AnswerSlowly(kFlagPath, "the flag bytes", 3, milliseconds(200));
  TextResult text;
  FileResult file;
  client_.GetText(LocationUrl(server_.BaseUrl(), kAddress), kLocationInactivity, Into(text));
  client_.GetToFile(FlagUrl(server_.BaseUrl(), kAddress), File("flag"), kFlagInactivity,
                    Into(file));

  ASSERT_TRUE(RunUntil([&] { return text.ended && file.ended; }));
  EXPECT_EQ(text.body, "the location page");
  EXPECT_TRUE(file.complete);
  EXPECT_EQ(folder_.ReadFile("flag"), "the flag bytes");
  EXPECT_EQ(server_.PeakOpenConnections(), 2u);
}

TEST_F(HttpClientTest, CallbackMayCancelAnotherRequestAndStartOne) {
  server_.Hang("/hung");
  server_.Answer("/first", "first");
  server_.Answer("/next", "next");
  bool hung_called = false;
  HttpClient::Id hung = client_.GetText(server_.BaseUrl() + "/hung", kFlagInactivity,
                                        [&hung_called](std::string) { hung_called = true; });
  ASSERT_TRUE(RunUntil([&] { return server_.Targets().size() == 1; }));

  TextResult first;
  TextResult next;
  client_.GetText(server_.BaseUrl() + "/first", kFlagInactivity, [&](std::string body) {
    Into(first)(std::move(body));
    client_.Cancel(hung);
    client_.GetText(server_.BaseUrl() + "/next", kFlagInactivity, Into(next));
  });
  ASSERT_TRUE(RunUntil([&] { return next.ended; }));
  EXPECT_EQ(first.body, "first");
  EXPECT_EQ(next.body, "next");
  EXPECT_TRUE(RunUntil([&] { return server_.ClosedConnections() == 3; }));
  EXPECT_FALSE(hung_called);
  EXPECT_EQ(client_.InFlight(), 0u);
}

TEST_F(HttpClientTest, DestroyedClientCallsNothingBackAndClosesItsConnections) {
  server_.Hang(kLocationPath);
  server_.Hang(kFlagPath);
  bool called = false;
  {
    HttpClient doomed(loop_.Context());
    doomed.GetText(LocationUrl(server_.BaseUrl(), kAddress), seconds(1),
                   [&called](std::string) { called = true; });
    doomed.GetToFile(FlagUrl(server_.BaseUrl(), kAddress), File("flag"), seconds(1),
                     [&called](bool) { called = true; });
    ASSERT_TRUE(RunUntil([&] { return server_.Targets().size() == 2; }));
  }
  EXPECT_TRUE(RunUntil([&] { return server_.ClosedConnections() == 2; }));
  RunFor(milliseconds(1500));  // past the inactivity limit
  EXPECT_FALSE(called);
}

// Every socket a client opened is closed by the time it is gone, whether
// its request completed or was cancelled.
TEST_F(HttpClientTest, NoDescriptorOutlivesTheClient) {
  server_.Answer(kLocationPath, "page");
  server_.Hang(kFlagPath);
  size_t before = OpenDescriptors();
  {
    HttpClient client(loop_.Context());
    TextResult done;
    client.GetText(LocationUrl(server_.BaseUrl(), kAddress), kLocationInactivity, Into(done));
    HttpClient::Id hung =
        client.GetText(FlagUrl(server_.BaseUrl(), kAddress), kFlagInactivity, [](std::string) {});
    ASSERT_TRUE(RunUntil([&] { return done.ended && server_.Targets().size() == 2; }));
    client.Cancel(hung);
  }
  ASSERT_TRUE(RunUntil([&] { return server_.ClosedConnections() == 2; }));
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace brelvint
