#include <csignal>
#include <cstdio>
#include <memory>

#include "BrelvintDriver.h"
#include "LoadReport.h"
#include "LoadgenOptions.h"
#include "RedisDriver.h"

// Drives a Brelvint server, or Redis pub/sub doing the same job, over
// loopback and prints what it measured. Exit status: 0 when the run
// completed, 1 when it could not (reason in "error"), 2 on bad arguments,
// 3 with --require-complete when a delivery was missing, duplicated or stray.
int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::optional<brelvint::LoadgenOptions> options = brelvint::ParseLoadgenOptions(argc, argv);
  if (!options) return 2;
  std::unique_ptr<brelvint::LoadDriver> driver;
  if (options->mode == brelvint::LoadMode::kRedis) {
    driver = std::make_unique<brelvint::RedisDriver>(*options);
  } else {
    driver = std::make_unique<brelvint::BrelvintDriver>(*options);
  }
  brelvint::LoadReport report;
  bool ran = driver->Run(&report);
  report.Print(stdout, options->json);
  std::fflush(stdout);
  if (!ran) {
    std::fprintf(stderr, "brelvint-loadgen: %s\n", report.error.c_str());
    return 1;
  }
  if (options->require_complete && !report.Complete()) return 3;
  return 0;
}
