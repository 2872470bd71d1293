#include "support/BanRows.h"

#include "support/LoopbackPair.h"

namespace brelvint {

BanStore::Ban BanRows::Make(const std::string& address, const std::string& name,
                            const std::string& by, const std::string& reason,
                            const std::string& network) {
  BanStore::Ban ban;
  ban.address = address;
  ban.name = name;
  ban.by = by;
  ban.reason = reason;
  ban.network = network;
  return ban;
}

bool BanRows::WaitStored(BanStore& store, EventLoop& loop) {
  return PumpUntil(
      loop, [&store] { return store.Unsaved() == 0; }, 10000);
}

bool BanRows::Insert(BanStore& store, EventLoop& loop, const std::string& address,
                     const std::string& name, const std::string& by, const std::string& reason,
                     const std::string& network) {
  store.Record(Make(address, name, by, reason, network), loop.Context());
  return WaitStored(store, loop);
}

}  // namespace brelvint
