#include "service/App.h"

#include <cstdio>
#include <exception>

#include "config/ServerNetworks.h"
#include "hub/BanStore.h"
#include "service/LogMessage.h"

namespace brelvint {

using modGlobal::LogMessage;

App::App() : signals_(loop_.Context()) {}

App::~App() = default;

App& TheApp() {
  static App* app = new App();  // never destroyed: nothing is torn down at exit
  return *app;
}

void App::Pause() { LogMessage("Life waits for no man."); }

void App::Resume() { LogMessage("CHARGE!"); }

void App::Stop() { blnStop = true; }

void App::WatchSignals() {
  signals_.async_wait([this](const std::error_code& ec, int signal_number) {
    if (ec) return;
    switch (signal_number) {
      case SIGTERM:
      case SIGINT: Stop(); break;
      case SIGTSTP: Pause(); break;
      case SIGCONT: Resume(); break;
      default: break;
    }
    WatchSignals();
  });
}

int App::Run() {
  try {
    for (int signal_number : {SIGTERM, SIGINT, SIGTSTP, SIGCONT}) signals_.add(signal_number);
    WatchSignals();

    LogMessage("Loading Settings...", true);
    mySettings = std::make_unique<AppSettings>();
    mySettings->Load();

    LogMessage("Loading Networks...");
    LogMessage("Initializing Sockets...");
    StartListeners();
    LogMessage("Listening...");
    mySettings->Save();

    while (!blnStop) DoEvents(10);
    LogMessage("Received quit signal.  Exiting.");
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "brelvint: %s\n", failure.what());
    return 1;
  }
}

void App::StartListeners() {}

}  // namespace brelvint
