// Client text in log lines, end to end: a connection that sends the largest
// packets the framing allows still costs the log a short line each.
#include <gtest/gtest.h>

#include <string>

#include "client/MD5.h"
#include "support/HubFixture.h"

namespace brelvint {
namespace {

constexpr size_t kLargestPayload = 65536 - 8;

struct FloodCase {
  const char* label;
  int32_t command;  // the message carrying the client text
  int32_t reply;
  char byte;               // what the text is made of
  const char* line_start;  // the log line it lands in
};

class ClientTextLogTest : public HubFixture, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(ClientTextLogTest, LogsAShortLineAndKeepsServing) {
  const FloodCase& c = GetParam();
  AddNetwork("Main");
  MapSocket& listener = StartListener();
  // A member: before its first login, a connection may send only what a
  // login needs, and a payload this large ends it.
  auto client = Member(listener, "Main", "texter");
  if (c.command == 3) {  // a user name is judged after the password
    client->Send(1, "Main");
    ASSERT_TRUE(client->ReceiveCommand(2, 3000, &loop_));
    client->Send(2, MD5::Digest("pw"));
    ASSERT_TRUE(client->ReceiveCommand(3, 3000, &loop_));
  }
  NewLogMessages();
  client->Send(c.command, std::string(kLargestPayload, c.byte));
  auto answer = client->ReceiveCommand(c.reply, 3000, &loop_);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->data, "FAIL");

  std::string line;
  for (const std::string& logged : NewLogMessages()) {
    if (logged.rfind(c.line_start, 0) == 0) line = logged;
  }
  ASSERT_FALSE(line.empty()) << "no line starts with " << c.line_start;
  // 128 bytes of text, each escaped to at most four characters, plus the
  // marker and the line's own words.
  EXPECT_LE(line.size(), 4 * 128 + 100) << line.substr(0, 200);
  EXPECT_NE(line.find("... (" + std::to_string(kLargestPayload - 128) + " more bytes))"),
            std::string::npos)
      << line.substr(0, 200);

  client->Send(999, "");
  auto bye = client->Receive(3000, &loop_);
  ASSERT_TRUE(bye);
  EXPECT_EQ(bye->command, 999);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientTextLogTest,
    ::testing::Values(FloodCase{"network_name", 1, 2, 'n', "127.0.0.1: Network Fail ("},
                      FloodCase{"user_name_not_utf8", 3, 4, '\xff', "127.0.0.1: Bad Username ("}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

}  // namespace
}  // namespace brelvint
