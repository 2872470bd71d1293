#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "client/ClientSocket.h"
#include "http/HttpClient.h"
#include "support/HubFixture.h"
#include "support/TestHttpServer.h"

namespace brelvint {
namespace {

using Clock = std::chrono::steady_clock;

const char kLocationPath[] = "/IpLocator.htm";

class LookupTest : public HubFixture {
 protected:
  void SetUp() override {
    AddNetwork("Main");
    listener_ = &StartListener();
    lookup_.Http = &http_;
    lookup_.LocationService = web_.BaseUrl();
    web_.Answer(
        kLocationPath,
        "<html>\n<meta name=\"country\" content=\"Canada\">\n"
        "<meta name=\"cityid\" content=\"7201\">\n<meta name=\"city\" content=\"Ottawa\">\n");
  }
  std::shared_ptr<ClientSocket> ServerSide(size_t index) {
    auto connections = listener_->Connections();
    return index < connections.size() ? std::static_pointer_cast<ClientSocket>(connections[index])
                                      : nullptr;
  }

  TestHttpServer web_;
  HttpClient http_{loop_.Context()};
  MapSocket* listener_ = nullptr;
};

// One request per player, to the location service only: a player's address
// goes to no other service.
TEST_F(LookupTest, FillsTheLocationBeforeTheGreeting) {
  auto client = Connect(*listener_, "127.0.0.2");
  auto connection = ServerSide(0);
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->ClientLocation().ClientCountry, "Canada");
  EXPECT_EQ(connection->ClientLocation().ClientZip, "07201");
  EXPECT_EQ(connection->ClientLocation().ClientCity, "Ottawa");
  EXPECT_EQ(connection->ClientLocation().ClientState, "");
  EXPECT_EQ(web_.Targets(),
            (std::vector<std::string>{
                "/IpLocator.htm?GetLocation&template=php3.txt&IpAddress=127.0.0.2"}));
}

TEST_F(LookupTest, AHangingLookupDelaysOnlyItsOwnGreeting) {
  auto anna = Member(*listener_, "Main", "anna");
  auto bob = Member(*listener_, "Main", "bob");
  web_.Hang(kLocationPath);

  TestClient newcomer;
  ASSERT_TRUE(newcomer.Connect(listener_->BoundPort(), "127.0.0.3"));
  auto connected_at = Clock::now();
  // While the newcomer's lookup hangs, relays keep flowing promptly.
  for (int i = 0; i < 5; ++i) {
    auto sent_at = Clock::now();
    anna->Send(4, std::to_string(i) + ",1,1,1,0,0");
    auto relayed = bob->ReceiveCommand(5, 1000, &loop_);
    ASSERT_TRUE(relayed);
    EXPECT_LT(Clock::now() - sent_at, std::chrono::seconds(1)) << "stalled behind the lookup";
  }
  // The lookup holds back only the greeting; the fence is answered meanwhile.
  EXPECT_TRUE(newcomer.ExpectFenceNext(&loop_)) << "greeted before its lookup ended";
  auto greeting = newcomer.Receive(8000, &loop_);
  ASSERT_TRUE(greeting);
  EXPECT_EQ(greeting->command, 1);
  EXPECT_GE(Clock::now() - connected_at, std::chrono::milliseconds(1500));
  auto connection = ServerSide(2);
  ASSERT_TRUE(connection);
  EXPECT_EQ(connection->ClientLocation().ClientCountry, "");
}

TEST_F(LookupTest, AConnectionEndingDuringItsLookupCancelsIt) {
  web_.Hang(kLocationPath);
  {
    TestClient quitter;
    ASSERT_TRUE(quitter.Connect(listener_->BoundPort(), "127.0.0.4"));
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (web_.Targets().empty() && Clock::now() < deadline) loop_.DoEvents(1);
    ASSERT_EQ(web_.Targets().size(), 1u);
  }
  auto deadline = Clock::now() + std::chrono::seconds(3);
  while ((listener_->ConnectionCount() > 0 || http_.InFlight() > 0) && Clock::now() < deadline) {
    loop_.DoEvents(1);
  }
  EXPECT_EQ(listener_->ConnectionCount(), 0u);
  EXPECT_EQ(http_.InFlight(), 0u);
  deadline = Clock::now() + std::chrono::seconds(3);
  while (web_.ClosedConnections() < 1 && Clock::now() < deadline) loop_.DoEvents(1);
  EXPECT_EQ(web_.ClosedConnections(), 1u);
  EXPECT_EQ(web_.Targets().size(), 1u) << "no request after the connection ended";
}

}  // namespace
}  // namespace brelvint
