#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <thread>

#include "support/HubFixture.h"

namespace brelvint {
namespace {

// A reload frees a retired listener in some handler of a pass. Handlers of
// that listener that fell due in the same pass (here its login sweep) are
// already queued and run afterwards, so each must find out that its
// listener is gone. The loop is stalled so that everything
// falls due together, as after SIGSTOP or a slow disk; AddressSanitizer
// reports the use after free that this once was.
class ListenerLifetimeTest : public HubFixture {
 protected:
  void Stall(std::chrono::milliseconds length) {
    boost::asio::post(loop_.Context(), [length] { std::this_thread::sleep_for(length); });
  }
};

TEST_F(ListenerLifetimeTest, HandlersDueWhenAReloadFreesTheListenerFindItGone) {
  using std::chrono::milliseconds;
  for (int round = 0; round < 20; ++round) {
    MapSocket& listener = StartListener();
    // The sweep runs every quarter of the login timeout: due in 10 ms.
    listener.SetLoginTimeout(milliseconds(40));
    // Due before the sweep, so it runs first in the pass that finds both due.
    boost::asio::steady_timer freer(loop_.Context(), milliseconds(5 + round % 3));
    freer.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) listeners_.clear();
    });
    Stall(milliseconds(30));
    ASSERT_TRUE(PumpUntil([this] { return listeners_.empty(); }));
    Pump(20);
  }
}

}  // namespace
}  // namespace brelvint
