#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "support/ServiceProcess.h"
#include "support/TestClient.h"

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

  httplib::Client http("127.0.0.1", status_port_);
  auto status = http.Get("/status.json");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, 200);
  EXPECT_EQ(status->body.find(kPassword), std::string::npos) << status->body;
  auto json = nlohmann::json::parse(status->body);
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

  auto metrics = http.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  for (const char* line : {
           "brelvint_connections 3",
           "brelvint_members{network=\"Alpha\"} 2",
           "brelvint_messages_received_total{command=\"4\"} 1",
           "brelvint_messages_received_total{command=\"2\"} 3",
           "brelvint_deliveries_total 1",
           "brelvint_logins_total{result=\"ok\"} 2",
           "brelvint_logins_total{result=\"fail\"} 1",
           "brelvint_kicks_total 0",
           "brelvint_bans_total 0",
           "brelvint_slow_consumers_total 0",
           "# TYPE brelvint_loop_pass_seconds histogram",
       }) {
    EXPECT_NE(metrics->body.find(std::string("\n") + line + "\n"), std::string::npos)
        << line << "\n" << metrics->body;
  }
  EXPECT_NE(metrics->body.find("brelvint_output_bytes_total "), std::string::npos);
  EXPECT_NE(metrics->body.find("brelvint_loop_pass_seconds_bucket{le=\"+Inf\"} "),
            std::string::npos);
  EXPECT_EQ(metrics->body.find(kPassword), std::string::npos);

  auto page = http.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(page->body.find("/status.json"), std::string::npos);
  EXPECT_EQ(http.Get("/maps/facet-2.png")->status, 404);  // no pictures folder: a grid
  ASSERT_TRUE(service_.Stop());
}

TEST_F(StatusEndpointTest, OffLoopbackOnlyRequestsCarryingTheTokenAreAnswered) {
  StartWith(Setting("StatusAddress", "0.0.0.0:" + std::to_string(status_port_)) +
            Setting("StatusToken", kToken));
  ASSERT_TRUE(service_.WaitForLine("Status page listening on http://0.0.0.0:" +
                                   std::to_string(status_port_) + "/"))
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
  };
  httplib::Client http("127.0.0.1", status_port_);
  for (const auto& c : cases) {
    httplib::Headers headers;
    if (*c.authorization) headers.emplace("Authorization", c.authorization);
    auto result = http.Get(c.path, headers);
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->status, c.status) << c.path << " " << c.authorization;
    if (c.status == 401) {
      EXPECT_EQ(result->body.find("connections"), std::string::npos);
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
    httplib::Client http("127.0.0.1", status_port_);
    http.set_connection_timeout(1);
    EXPECT_FALSE(http.Get("/status.json")) << c.line;
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

}  // namespace
}  // namespace brelvint
