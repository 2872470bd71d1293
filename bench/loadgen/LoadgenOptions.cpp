#include "LoadgenOptions.h"

#include <arpa/inet.h>
#include <fmt/core.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>

namespace brelvint {

namespace {

constexpr const char* kUsage =
    "usage: brelvint-loadgen --mode brelvint|redis --port P --clients N [options]\n"
    "  --host ADDR           server address, 127.0.0.0/8 only (127.0.0.1)\n"
    "  --reporters P         members 0..P-1 report positions (0)\n"
    "  --rate R              reports per reporter per second, or\n"
    "  --window W            reports in flight per reporter (until all members got it)\n"
    "  --seconds S           length of the reporting phase\n"
    "  --hold S              hold the logged-in connections idle for S seconds first\n"
    "  --drain S             wait up to S seconds for late deliveries (2)\n"
    "  --network NAME --password PW          measured network (Bench / pw)\n"
    "  --bulk-network NAME --bulk-password PW --bulk-clients K   idle members elsewhere\n"
    "  --name-prefix TEXT --bulk-prefix TEXT user names (unique per run by default)\n"
    "  --channel NAME        Redis channel (the network name)\n"
    "  --server-pid PID      sample this process's CPU time and memory\n"
    "  --sources X           spread sockets over 127.0.0.1..127.0.0.X\n"
    "  --max-pending N       connections opening or logging in at once (256)\n"
    "  --setup-timeout S     give up when the logins take longer (300)\n"
    "  --login-storm         open every connection, then log all in at once\n"
    "  --pipelined-login     send the three login steps without waiting\n"
    "  --require-complete    exit 3 on any missing, duplicated or stray delivery\n"
    "  --json                print one JSON object instead of text\n";

bool ParseUnsigned(const char* text, uint64_t limit, uint64_t* value) {
  char* end;
  errno = 0;
  unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || parsed > limit) return false;
  *value = parsed;
  return true;
}

bool ParseSeconds(const char* text, double* value) {
  char* end;
  double parsed = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(parsed) || parsed < 0 || parsed > 86400) {
    return false;
  }
  *value = parsed;
  return true;
}

template <typename T>
std::function<bool(const char*)> Unsigned(T* field, uint64_t limit) {
  return [field, limit](const char* text) {
    uint64_t value;
    if (!ParseUnsigned(text, limit, &value)) return false;
    *field = static_cast<T>(value);
    return true;
  };
}

std::function<bool(const char*)> Seconds(double* field) {
  return [field](const char* text) { return ParseSeconds(text, field); };
}

std::function<bool(const char*)> Text(std::string* field) {
  return [field](const char* text) {
    *field = text;
    return true;
  };
}

bool IsLoopback(const std::string& host) {
  in_addr address;
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  return (ntohl(address.s_addr) >> 24) == 127;
}

// User names are built as prefix + letter + index and must stay 1-64 bytes
// without control bytes or '|'.
bool IsUsablePrefix(const std::string& prefix) {
  if (prefix.size() > 48) return false;
  for (char c : prefix) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '|') return false;
  }
  return true;
}

// Cross-field rules; prints the first violation.
bool Validate(const LoadgenOptions& options) {
  auto fail = [](const char* message) {
    fmt::print(stderr, "brelvint-loadgen: {}\n", message);
    return false;
  };
  if (options.port == 0) return fail("--port is required");
  if (!IsLoopback(options.host)) return fail("--host must be an IPv4 address in 127.0.0.0/8");
  if (options.clients == 0) return fail("--clients must be at least 1");
  if (options.reporters > options.clients) return fail("--reporters exceeds --clients");
  if (options.reporters > 0) {
    if (options.clients < 2) return fail("reporting needs at least 2 clients");
    if ((options.rate > 0) == (options.window > 0)) {
      return fail("reporting needs exactly one of --rate and --window");
    }
    if (options.seconds <= 0) return fail("reporting needs --seconds");
  }
  if (options.mode == LoadMode::kRedis && (options.login_storm || options.bulk_clients > 0)) {
    return fail("--login-storm and --bulk-clients apply to brelvint mode only");
  }
  if (options.max_pending == 0) return fail("--max-pending must be at least 1");
  if (!IsUsablePrefix(options.name_prefix) || !IsUsablePrefix(options.bulk_prefix)) {
    return fail("name prefixes must be at most 48 bytes without control bytes or '|'");
  }
  return true;
}

// Fills the defaults that depend on other options.
void Complete(LoadgenOptions* options) {
  if (options->bulk_password.empty()) options->bulk_password = options->password;
  if (options->name_prefix.empty()) {
    // New names on every run: the storm must enrol names nobody used, and a
    // run must not collide with a previous run's connections still closing.
    options->name_prefix = fmt::format("lg{}x{}", getpid(), std::time(nullptr) % 100000);
  }
  if (options->bulk_prefix.empty()) options->bulk_prefix = options->name_prefix + "b";
  if (options->channel.empty()) options->channel = options->network;
  if (options->sources == 0) options->sources = 1 + options->TotalMembers() / 8000;
}

}  // namespace

std::optional<LoadgenOptions> ParseLoadgenOptions(int argc, char** argv) {
  LoadgenOptions options;
  std::string mode;
  std::map<std::string, std::function<bool(const char*)>> valued = {
      {"--mode", Text(&mode)},
      {"--host", Text(&options.host)},
      {"--port", Unsigned(&options.port, 65535)},
      {"--clients", Unsigned(&options.clients, 1000000)},
      {"--reporters", Unsigned(&options.reporters, 1000000)},
      {"--rate", Seconds(&options.rate)},
      {"--window", Unsigned(&options.window, 1000000)},
      {"--seconds", Seconds(&options.seconds)},
      {"--hold", Seconds(&options.hold)},
      {"--drain", Seconds(&options.drain)},
      {"--setup-timeout", Seconds(&options.setup_timeout)},
      {"--network", Text(&options.network)},
      {"--password", Text(&options.password)},
      {"--bulk-network", Text(&options.bulk_network)},
      {"--bulk-password", Text(&options.bulk_password)},
      {"--bulk-clients", Unsigned(&options.bulk_clients, 1000000)},
      {"--name-prefix", Text(&options.name_prefix)},
      {"--bulk-prefix", Text(&options.bulk_prefix)},
      {"--channel", Text(&options.channel)},
      {"--server-pid", Unsigned(&options.server_pid, 4194304)},
      {"--sources", Unsigned(&options.sources, 254)},
      {"--max-pending", Unsigned(&options.max_pending, 1000000)},
  };
  std::map<std::string, bool*> flags = {
      {"--login-storm", &options.login_storm},
      {"--pipelined-login", &options.pipelined_login},
      {"--require-complete", &options.require_complete},
      {"--json", &options.json},
  };
  auto usage = [](const std::string& problem) {
    fmt::print(stderr, "brelvint-loadgen: {}\n{}", problem, kUsage);
    return std::nullopt;
  };
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") return usage("help requested");
    if (auto flag = flags.find(name); flag != flags.end()) {
      *flag->second = true;
      continue;
    }
    auto option = valued.find(name);
    if (option == valued.end()) return usage("unknown option " + name);
    if (i + 1 >= argc) return usage(name + " needs a value");
    if (!option->second(argv[++i]))
      return usage(fmt::format("bad value for {}: {}", name, argv[i]));
  }
  if (mode == "brelvint") {
    options.mode = LoadMode::kBrelvint;
  } else if (mode == "redis") {
    options.mode = LoadMode::kRedis;
  } else {
    return usage("--mode must be brelvint or redis");
  }
  if (!Validate(options)) return std::nullopt;
  Complete(&options);
  return options;
}

}  // namespace brelvint
