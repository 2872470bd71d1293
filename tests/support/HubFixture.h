#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ScopedHome.h"
#include "TestClient.h"
#include "client/LookupServices.h"
#include "config/NetworkFileWriter.h"
#include "config/ServerNetworks.h"
#include "hub/BanStore.h"
#include "hub/MapSocket.h"
#include "hub/PasswordGuard.h"
#include "protocol/EventLoop.h"

namespace brelvint {

// Listeners, networks and a ban store in one process, on 127.0.0.1, with
// the log going to a temporary HOME. Clients are plain sockets; every wait
// on them pumps the server's loop.
class HubFixture : public ::testing::Test {
 protected:
  HubFixture();
  ~HubFixture() override;

  // Writes a network file (with `users` as the User elements) and loads it.
  ServerNetworks& AddNetwork(const std::string& name, const std::string& users = "",
                             int maxusers = 100, const std::string& enabled = "1",
                             const std::string& password = "pw");
  MapSocket& StartListener();
  // A client connected to `listener` from `source` that has read its greeting.
  std::unique_ptr<TestClient> Connect(MapSocket& listener, const std::string& source = "127.0.0.1");
  // Connects and logs in; fails the test when the login is refused.
  std::unique_ptr<TestClient> Member(MapSocket& listener, const std::string& network,
                                     const std::string& user,
                                     const std::string& source = "127.0.0.1");
  void Pump(int milliseconds = 20);
  // Runs the loop until `done` holds (at most `timeout_ms`); returns `done()`.
  bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 3000);

  std::vector<std::string> LogMessages() const;
  // Log messages written since the last call.
  std::vector<std::string> NewLogMessages();
  // The network's file once the logins handed over so far are in it.
  std::string ReadNetworkFile(const std::string& name);

  std::filesystem::path folder_;
  EventLoop loop_;
  std::vector<std::unique_ptr<ServerNetworks>> networks_;
  // Writes the logins to the network files, as App's does.
  NetworkFileWriter writer_;
  std::unique_ptr<BanStore> bans_;
  PasswordGuard guard_;  // shared by every listener, as in the service
  std::vector<std::unique_ptr<MapSocket>> listeners_;
  // What new connections look up; empty: no lookup.
  LookupServices lookup_;

 private:
  std::optional<ScopedHome> home_;
  size_t log_seen_ = 0;
};

}  // namespace brelvint
