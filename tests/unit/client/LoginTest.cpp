#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/LogBudget.h"
#include "client/ClientSocket.h"
#include "client/MD5.h"
#include "config/LoadNetworks.h"
#include "support/HubFixture.h"

namespace brelvint {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

class LoginTest : public HubFixture {
 protected:
  // Sends `command` and returns the text of the reply `reply`.
  std::string Ask(TestClient& client, int32_t command, const std::string& data, int32_t reply) {
    client.Send(command, data);
    auto answer = client.ReceiveCommand(reply, 3000, &loop_);
    return answer ? answer->data : "<none>";
  }
};

TEST_F(LoginTest, FullLoginAnswersOkAndLogsEachStep) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  auto client = Connect(listener, "127.0.0.2");
  EXPECT_EQ(Ask(*client, 1, "main", 2), "OK");  // names ignore letter case
  EXPECT_EQ(Ask(*client, 2, MD5::Digest("pw"), 3), "OK");
  EXPECT_EQ(Ask(*client, 3, "anna", 4), "OK");
  EXPECT_THAT(LogMessages(), Contains("127.0.0.2: Client Connection Initiated..."));
  EXPECT_THAT(LogMessages(), Contains("127.0.0.2: User Logged In (anna)"));
  EXPECT_EQ(networks_[0]->CurrentUsers, 1);
}

TEST_F(LoginTest, RefusedSelectionsAnswerFailAndLogTheName) {
  AddNetwork("Off", "", 10, "0");
  AddNetwork("Closed", "", 0);
  AddNetwork("Tiny", "", 1);
  MapSocket& listener = StartListener();
  auto first = Member(listener, "Tiny", "first");
  auto client = Connect(listener);
  for (const char* name : {"Nowhere", "Off", "Closed", "Tiny"}) {
    NewLogMessages();
    EXPECT_EQ(Ask(*client, 1, name, 2), "FAIL") << name;
    EXPECT_THAT(NewLogMessages(),
                ElementsAre(std::string("127.0.0.1: Network Fail (") + name + ")"));
  }
}

TEST_F(LoginTest, PasswordMustBeTheRawDigest) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  auto client = Connect(listener);
  ASSERT_EQ(Ask(*client, 1, "Main", 2), "OK");
  static const char kHex[] = "0123456789abcdef";
  std::string hex_text;
  for (unsigned char c : MD5::Digest("pw")) {
    hex_text += kHex[c >> 4];
    hex_text += kHex[c & 15];
  }
  NewLogMessages();
  EXPECT_EQ(Ask(*client, 2, hex_text, 3), "FAIL");
  EXPECT_THAT(NewLogMessages(), ElementsAre("127.0.0.1: Login Failed."));
  EXPECT_EQ(networks_[0]->CurrentUsers, 0);  // the refusal gave the place back
}

TEST_F(LoginTest, UnacceptableUserNamesAreRefused) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  auto holder = Member(listener, "Main", "Anna");
  const std::string names[] = {"",
                               "anna",  // taken, in another letter case
                               "ANNA", std::string(65, 'x'), "bad|bar", "line\nfeed",
                               std::string("nul\0byte", 8), "del\x7f",
                               "nel\xc2\x85",  // C1 controls: U+0085, U+009B, U+0080
                               "csi\xc2\x9b[2J", "\xc2\x80",
                               "\xc3\x28",      // not UTF-8
                               "\xed\xa0\x80",  // a surrogate
                               // Invisible format characters and line separators:
                               "admin\xe2\x80\xaetxt.exe",  // U+202E right-to-left override
                               "zero\xe2\x80\x8bwidth",     // U+200B
                               "line\xe2\x80\xa8sep",       // U+2028
                               "para\xe2\x80\xa9sep",       // U+2029
                               "\xef\xbb\xbf"
                               "bom",                     // U+FEFF
                               "word\xe2\x81\xa0joiner",  // U+2060
                               "soft\xc2\xadhyphen"};     // U+00AD
  for (const auto& name : names) {
    auto client = Connect(listener);
    ASSERT_EQ(Ask(*client, 1, "Main", 2), "OK");
    ASSERT_EQ(Ask(*client, 2, MD5::Digest("pw"), 3), "OK");
    NewLogMessages();
    EXPECT_EQ(Ask(*client, 3, name, 4), "FAIL") << name;
    auto logged = NewLogMessages();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("127.0.0.1: Bad Username (", 0), 0u) << logged[0];
    EXPECT_EQ(logged[0].find('\n'), std::string::npos);
  }
  EXPECT_EQ(networks_[0]->CurrentUsers, 1);
  auto longest = Member(listener, "Main", std::string(64, 'y'));
  auto utf8 = Member(listener, "Main", "J\xc3\xb6rg");
  auto no_break = Member(listener, "Main",
                         "no\xc2\xa0"
                         "break");  // U+00A0 is no control
}

TEST_F(LoginTest, RepeatedRefusalsAreLoggedWithinABudgetAndCounted) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  // Logged in once: before that, a connection may send only what a login needs.
  auto flooder = Member(listener, "Main", "flooder", "127.0.0.3");
  NewLogMessages();
  constexpr int kSteps = 200;
  for (int i = 0; i < kSteps; ++i) flooder->Send(2, MD5::Digest("wrong"));
  // Every step is still answered: only the log is spared.
  for (int i = 0; i < kSteps; ++i)
    ASSERT_EQ(flooder->ReceiveCommand(3, 3000, &loop_)->data, "FAIL");
  auto anna = Member(listener, "Main", "anna");  // another client's lines are not held back
  flooder->Close();
  PumpUntil([&] {
    for (const auto& line : LogMessages()) {
      if (line.find(ClientSocket::kRefusalsNotLogged) != std::string::npos) return true;
    }
    return false;
  });
  auto logged = NewLogMessages();
  int failures = 0, notices = 0, counted = -1;
  const std::string notice = std::string("127.0.0.3") + ClientSocket::kRefusalsSuppressed;
  for (const auto& line : logged) {
    if (line == "127.0.0.3: Login Failed.") ++failures;
    if (line == notice) ++notices;
    auto at = line.find(ClientSocket::kRefusalsNotLogged);
    if (at != std::string::npos) counted = std::stoi(line.substr(11, at - 11));
  }
  EXPECT_GE(failures, LogBudget::kBurst);
  EXPECT_LT(failures, kSteps / 4);
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(failures + counted, kSteps) << "every refusal is either logged or counted";
  EXPECT_THAT(logged, Contains("127.0.0.1: User Logged In (anna)"));
}

TEST_F(LoginTest, NamesAreFreePerListenerAndRepeatable) {
  AddNetwork("Main");
  AddNetwork("Other");
  MapSocket& first = StartListener();
  MapSocket& second = StartListener();
  auto anna = Member(first, "Main", "anna");
  auto elsewhere = Connect(first);
  ASSERT_EQ(Ask(*elsewhere, 1, "Other", 2), "OK");
  ASSERT_EQ(Ask(*elsewhere, 2, MD5::Digest("pw"), 3), "OK");
  EXPECT_EQ(Ask(*elsewhere, 3, "Anna", 4), "FAIL");      // taken on this listener, any network
  auto other_listener = Member(second, "Main", "anna");  // another listener is free
  EXPECT_EQ(Ask(*anna, 3, "anna", 4), "OK");             // the holder may repeat its own name
}

TEST_F(LoginTest, StepsOutOfOrderAreRefused) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  auto client = Connect(listener);
  NewLogMessages();
  EXPECT_EQ(Ask(*client, 2, MD5::Digest("pw"), 3), "FAIL");
  EXPECT_THAT(NewLogMessages(), ElementsAre("127.0.0.1: Login Failed."));
  ASSERT_EQ(Ask(*client, 1, "Main", 2), "OK");
  EXPECT_EQ(Ask(*client, 3, "eve", 4), "FAIL");  // no password yet
  EXPECT_THAT(NewLogMessages(), ElementsAre("127.0.0.1: Bad Username (eve)"));
  EXPECT_EQ(networks_[0]->CurrentUsers, 0);
}

TEST_F(LoginTest, PlacesAreGivenBackExactlyOnce) {
  ServerNetworks& tiny = AddNetwork("Tiny", "", 1);
  AddNetwork("Other");
  MapSocket& listener = StartListener();
  struct Case {
    const char* what;
    std::function<void(TestClient&)> step;
  } cases[] = {
      {"a wrong password", [&](TestClient& c) { Ask(c, 2, "wrong", 3); }},
      {"a refused name", [&](TestClient& c) { Ask(c, 3, "", 4); }},
      {"a new selection", [&](TestClient& c) { Ask(c, 1, "Other", 2); }},
      {"a disconnect", [&](TestClient& c) { c.Close(); }},
  };
  for (auto& c : cases) {
    auto client = Connect(listener);
    ASSERT_EQ(Ask(*client, 1, "Tiny", 2), "OK") << c.what;
    ASSERT_EQ(tiny.CurrentUsers, 1);
    c.step(*client);
    Pump(50);
    EXPECT_EQ(tiny.CurrentUsers, 0) << c.what;
    c.step(*client);  // a second refusal gives nothing more back
    Pump(20);
    EXPECT_EQ(tiny.CurrentUsers, 0) << c.what;
  }
  auto member = Member(listener, "Tiny", "last");
  member->Close();
  Pump(50);
  EXPECT_EQ(tiny.CurrentUsers, 0);
  auto next = Member(listener, "Tiny", "next");
}

TEST_F(LoginTest, AdminRightsNeedTheFlagAndTheRecordedAddress) {
  AddNetwork("Main",
             "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n"
             "    <User Name=\"plain\" IsAdmin=\"0\" LastIP=\"127.0.0.1\" />\n");
  MapSocket& listener = StartListener();
  auto stranger = Connect(listener);
  EXPECT_EQ(Ask(*stranger, 9, "", 9), "0");  // no network at all
  auto boss = Member(listener, "Main", "boss");
  EXPECT_EQ(Ask(*boss, 9, "", 9), "1");
  auto plain = Member(listener, "Main", "plain");
  EXPECT_EQ(Ask(*plain, 9, "", 9), "0");
  auto newcomer = Member(listener, "Main", "newcomer");
  EXPECT_EQ(Ask(*newcomer, 9, "", 9), "0");
  boss->Close();
  Pump(50);
  auto impostor = Member(listener, "Main", "boss", "127.0.0.2");
  EXPECT_EQ(Ask(*impostor, 9, "", 9), "0");
}

TEST_F(LoginTest, LoginsAreRecordedInTheNetworkFile) {
  ServerNetworks& main = AddNetwork("Main", "    <User Name=\"Carl\" LastIP=\"10.0.0.9\" />\n");
  MapSocket& listener = StartListener();
  auto dora = Member(listener, "Main", "dora", "127.0.0.2");
  std::string after_first = ReadNetworkFile("Main");
  EXPECT_NE(after_first.find("<User LastIP=\"127.0.0.2\" Name=\"dora\""), std::string::npos)
      << after_first;
  ASSERT_EQ(main.Users.size(), 2u);
  EXPECT_EQ(main.Users[1]->Name, "dora");
  EXPECT_EQ(main.Users[1]->LastIP, "127.0.0.2");
  dora->Close();
  auto carl = Member(listener, "Main", "carl", "127.0.0.3");
  std::string after_second = ReadNetworkFile("Main");
  EXPECT_NE(after_second.find("<User Name=\"Carl\" LastIP=\"127.0.0.3\""), std::string::npos)
      << after_second;
  EXPECT_EQ(main.Users.size(), 2u);
  EXPECT_EQ(main.Users[0]->LastIP, "10.0.0.9");  // memory keeps the loaded address
}

TEST_F(LoginTest, CommandsOutsideTheCatalogueAreIgnored) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  auto client = Member(listener, "Main", "anna");
  NewLogMessages();
  for (int32_t command : {6, 8, 15, 1000, -1}) client->Send(command, "x");
  EXPECT_TRUE(client->ExpectFenceNext(&loop_));
  EXPECT_TRUE(NewLogMessages().empty());
  EXPECT_EQ(Ask(*client, 999, "", 999), "BYE");
  EXPECT_EQ(Ask(*client, 999, "", 999), "BYE");  // the connection stays open
}

}  // namespace
}  // namespace brelvint

namespace brelvint {
namespace {

TEST_F(LoginTest, ConnectionsThatNeverFinishTheirLoginAreEnded) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  listener.SetLoginTimeout(std::chrono::milliseconds(400));
  auto member = Member(listener, "Main", "anna");
  auto idle = Connect(listener, "127.0.0.2");
  NewLogMessages();
  EXPECT_TRUE(idle->WaitClosed(5000, &loop_));
  Pump(50);
  EXPECT_THAT(NewLogMessages(), ::testing::Contains("Client Disconnect: (110) "));
  EXPECT_EQ(Ask(*member, 999, "", 999), "BYE");  // the member stays
}

TEST_F(LoginTest, ARefusedRetryAfterALongMembershipGetsAFreshLoginClock) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  listener.SetLoginTimeout(std::chrono::milliseconds(400));
  auto holder = Member(listener, "Main", "taken");
  auto member = Member(listener, "Main", "anna", "127.0.0.2");
  Pump(600);  // a member for longer than the login timeout
  // A refused name ends the membership; the connection stays for a retry.
  EXPECT_EQ(Ask(*member, 3, "taken", 4), "FAIL");
  Pump(250);  // several sweeps, still within a fresh timeout
  EXPECT_EQ(Ask(*member, 1, "Main", 2), "OK");
  EXPECT_EQ(Ask(*member, 2, MD5::Digest("pw"), 3), "OK");
  EXPECT_EQ(Ask(*member, 3, "anna", 4), "OK");
}

TEST_F(LoginTest, ALoginFromElsewhereLeavesAnAdministratorsAddressAlone) {
  ServerNetworks& main =
      AddNetwork("Main",
                 "    <User Name=\"boss\" IsAdmin=\"1\" LastIP=\"127.0.0.1\" />\n"
                 "    <User Name=\"plain\" LastIP=\"127.0.0.1\" />\n");
  MapSocket& listener = StartListener();
  std::string before = ReadNetworkFile("Main");
  auto impostor = Member(listener, "Main", "boss", "127.0.0.2");
  EXPECT_EQ(Ask(*impostor, 9, "", 9), "0");
  EXPECT_EQ(ReadNetworkFile("Main"), before);
  EXPECT_EQ(main.Users[0]->LastIP, "127.0.0.1");
  auto reloaded = modGlobal::ReadNetworkXML(main.Path);
  ASSERT_TRUE(reloaded);
  EXPECT_TRUE(reloaded->FindUser("boss", "127.0.0.1"));
  EXPECT_FALSE(reloaded->FindUser("boss", "127.0.0.2"));
  // An ordinary user's address still follows the login.
  auto plain = Member(listener, "Main", "plain", "127.0.0.3");
  EXPECT_NE(ReadNetworkFile("Main").find("<User Name=\"plain\" LastIP=\"127.0.0.3\""),
            std::string::npos);
  // And the administrator from his own address keeps the rights.
  impostor->Close();
  Pump(50);
  auto boss = Member(listener, "Main", "boss", "127.0.0.1");
  EXPECT_EQ(Ask(*boss, 9, "", 9), "1");
}

TEST_F(LoginTest, PasswordGuessingIsSlowedDownPerAddress) {
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  auto guesser = Connect(listener, "127.0.0.7");
  for (int i = 0; i < PasswordGuard::kMaxRefusedPasswords; ++i) {
    ASSERT_EQ(Ask(*guesser, 1, "Main", 2), "OK");
    ASSERT_EQ(Ask(*guesser, 2, MD5::Digest("guess" + std::to_string(i)), 3), "FAIL");
  }
  auto logged = LogMessages();
  EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                          [](const std::string& line) {
                            return line.find("password attempts refused") != std::string::npos;
                          }),
            1);
  ASSERT_EQ(Ask(*guesser, 1, "Main", 2), "OK");
  EXPECT_EQ(Ask(*guesser, 2, MD5::Digest("pw"), 3), "FAIL");  // not even compared
  EXPECT_EQ(networks_[0]->CurrentUsers, 0);
  auto other = Member(listener, "Main", "honest", "127.0.0.8");  // other addresses are unaffected
}

// The block holds for the whole process: another listener, or one made anew
// (as a reload does), refuses the blocked address's right password too.
TEST_F(LoginTest, PasswordGuessingBlockHoldsOnEveryListener) {
  AddNetwork("Main");
  AddNetwork("Side");
  MapSocket& first = StartListener();
  auto guesser = Connect(first, "127.0.0.7");
  for (int i = 0; i < PasswordGuard::kMaxRefusedPasswords; ++i) {
    ASSERT_EQ(Ask(*guesser, 1, "Main", 2), "OK");
    ASSERT_EQ(Ask(*guesser, 2, MD5::Digest("guess" + std::to_string(i)), 3), "FAIL");
  }
  guesser->Close();
  // Every listener that counted is gone, once its connection has ended.
  ASSERT_TRUE(PumpUntil([&] { return first.ActiveConnections().empty(); }));
  listeners_.clear();
  MapSocket& second = StartListener();
  MapSocket& third = StartListener();
  for (MapSocket* listener : {&second, &third}) {
    for (const char* network : {"Main", "Side"}) {
      auto retry = Connect(*listener, "127.0.0.7");
      ASSERT_EQ(Ask(*retry, 1, network, 2), "OK");
      EXPECT_EQ(Ask(*retry, 2, MD5::Digest("pw"), 3), "FAIL") << network;
    }
  }
  Member(third, "Side", "honest", "127.0.0.8");
}

}  // namespace
}  // namespace brelvint
