// Start-up load of a folder of network files, and the login-time edit of a
// big network file: naive (a fresh parse and a write per login) against the
// grouped write the service's writer thread makes (one write for every
// login handed over meanwhile).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "config/LoadNetworks.h"
#include "config/NetworkFile.h"
#include "config/ServerNetworks.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;

constexpr int kFolderFiles = 1000;
constexpr int kUsersPerFolderFile = 100;
constexpr int kBigFileUsers = 10000;
constexpr int kBatchLogins = 1000;

// The benchmark's own temporary folder; HOME points into it so the log of
// the load goes there too. Removed at exit.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "brelvint-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make " + pattern);
    root_ = pattern;
    fs::create_directory(root_ / "home");
    ::setenv("HOME", (root_ / "home").c_str(), 1);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& Root() const { return root_; }

 private:
  fs::path root_;
};

Scratch* scratch = nullptr;

std::string NetworkText(const std::string& name, int users) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<brelvint>\n  <network name=\"" +
                     name + "\" password=\"pw\" maxusers=\"20000\" enabled=\"1\" port=\"12000\">\n";
  for (int i = 0; i < users; ++i) {
    std::string id = std::to_string(i);
    text += "    <User Name=\"user" + id + "\" IsAdmin=\"" + (i % 50 == 0 ? "1" : "0") +
            "\" IsBanned=\"0\" LastIP=\"10." + std::to_string(i / 65536 % 256) + "." +
            std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + "\" UID=\"" + id +
            "\" />\n";
  }
  return text + "  </network>\n</brelvint>\n";
}

void WriteText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

// Sends the service's log echo on standard output to /dev/null while alive,
// so the benchmark's own report stays readable.
class QuietStdout {
 public:
  QuietStdout() : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

const fs::path& NetworkFolder() {
  static const fs::path folder = [] {
    fs::path path = scratch->Root() / "brelvint-server";
    fs::create_directory(path);
    for (int i = 0; i < kFolderFiles; ++i) {
      std::string name = "net" + std::to_string(i);
      WriteText(path / (name + ".conf"), NetworkText(name, kUsersPerFolderFile));
    }
    return path;
  }();
  return folder;
}

const fs::path& BigFileOriginal() {
  static const fs::path file = [] {
    fs::path path = scratch->Root() / "big.original";
    WriteText(path, NetworkText("Big", kBigFileUsers));
    return path;
  }();
  return file;
}

fs::path FreshBigFile() {
  fs::path path = scratch->Root() / "big" / "big.conf";
  fs::create_directories(path.parent_path());
  fs::copy_file(BigFileOriginal(), path, fs::copy_options::overwrite_existing);
  return path;
}

void BM_LoadNetworkFolder(benchmark::State& state) {
  const fs::path& folder = NetworkFolder();
  QuietStdout quiet;
  for (auto _ : state) {
    std::vector<std::unique_ptr<ServerNetworks>> networks;
    modGlobal::LoadNetworks(folder, networks);
    if (networks.size() != kFolderFiles) state.SkipWithError("a network file did not load");
    benchmark::DoNotOptimize(networks.data());
  }
  state.SetItemsProcessed(state.iterations() * kFolderFiles);
  state.counters["users"] = kFolderFiles * kUsersPerFolderFile;
}
BENCHMARK(BM_LoadNetworkFolder)->Unit(benchmark::kMillisecond)->UseRealTime();

// The naive path: every login reads and parses the whole file, then writes
// it. (The file grows by one user per iteration.)
void BM_LoginColdCache(benchmark::State& state) {
  fs::path path = FreshBigFile();
  int serial = 0;
  for (auto _ : state) {
    NetworkFile file(path);
    std::string error;
    if (file.Write({{"newcomer" + std::to_string(serial++), "192.0.2.1"}}, &error) !=
        NetworkFile::Outcome::kWritten) {
      state.SkipWithError("write failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoginColdCache)->Unit(benchmark::kMillisecond)->UseRealTime();

// One login per loop pass with the file cached: no parse, one write.
void BM_LoginWarmCache(benchmark::State& state) {
  NetworkFile file(FreshBigFile());
  int serial = 0;
  for (auto _ : state) {
    std::string error;
    if (file.Write({{"newcomer" + std::to_string(serial++), "192.0.2.1"}}, &error) !=
        NetworkFile::Outcome::kWritten) {
      state.SkipWithError("write failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoginWarmCache)->Unit(benchmark::kMillisecond)->UseRealTime();

// A login storm in one pass: a cold parse, 1,000 new names, one write.
void BM_LoginBatchGroupCommit(benchmark::State& state) {
  int serial = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::path path = FreshBigFile();
    state.ResumeTiming();
    NetworkFile file(path);
    std::vector<NetworkFile::Login> logins;
    for (int i = 0; i < kBatchLogins; ++i) {
      logins.push_back({"newcomer" + std::to_string(serial++), "192.0.2.1"});
    }
    std::string error;
    if (file.Write(logins, &error) != NetworkFile::Outcome::kWritten) {
      state.SkipWithError("write failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatchLogins);
}
BENCHMARK(BM_LoginBatchGroupCommit)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace brelvint

int main(int argc, char** argv) {
  brelvint::Scratch scratch;
  brelvint::scratch = &scratch;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
