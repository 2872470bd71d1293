#pragma once

#include <string>

#include "hub/BanStore.h"
#include "protocol/EventLoop.h"

namespace brelvint {

// Bans already in the table, for tests that start from a ban list: each is
// recorded as the server records an administrator's ban, and the loop runs
// until the store's writer has stored it.
class BanRows {
 public:
  // A ban of `name` at `address` on `network`, dated now, that never ends.
  static BanStore::Ban Make(const std::string& address, const std::string& name,
                            const std::string& by, const std::string& reason,
                            const std::string& network);
  // Runs `loop` until every ban recorded in `store` so far is in the table
  // (10 s at most); false when some are not.
  static bool WaitStored(BanStore& store, EventLoop& loop);
  // Records one ban and waits until it is stored; false when it was not.
  static bool Insert(BanStore& store, EventLoop& loop, const std::string& address,
                     const std::string& name, const std::string& by, const std::string& reason,
                     const std::string& network);
};

}  // namespace brelvint
