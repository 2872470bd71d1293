// Network files as the running service writes them: in the background,
// within the registered names a network takes, through an operator's
// half-written file and around the operator's own edits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/MD5.h"
#include "support/ServiceProcess.h"
#include "support/TestClient.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;

const char kMainFile[] = "brelvint-server/main.conf";

std::string UserElement(const std::string& name, const std::string& address,
                        const std::string& admin = "") {
  return "    <User Name=\"" + name + "\"" + (admin.empty() ? "" : " IsAdmin=\"" + admin + "\"") +
         " LastIP=\"" + address + "\" />\n";
}

class NetworkFileWriteTest : public ::testing::Test {
 protected:
  // Starts the service with one network, Main, holding `users`, and
  // `settings` beside the loopback ones.
  void Start(const std::string& users, const std::string& settings = "") {
    port_ = ServiceProcess::FreePort();
    service_.WriteFile(
        "brelvint.conf",
        "<?xml version=\"1.0\"?>\n<settings>\n"
        "  <setting namestring=\"AttachedNIC\" valuestring=\"00:00:00:00:00:00\" />\n"
        "  <setting namestring=\"StatusAddress\" valuestring=\"\" />\n" +
            settings + "</settings>\n");
    service_.AddNetwork("main.conf", "Main", port_, users, "pw", 1000);
    ASSERT_TRUE(service_.Start());
    ASSERT_TRUE(service_.WaitForLine("Listening..."));
  }
  // A connection from `source` that got its greeting; null when none came.
  std::unique_ptr<TestClient> Connect(const std::string& source = "127.0.0.1") const {
    auto client = std::make_unique<TestClient>();
    if (!client->Connect(port_, source) || !client->ReceiveCommand(1)) return nullptr;
    return client;
  }
  // The answer to the user name step of a login on `client`: "OK", "FAIL",
  // or why no answer came.
  static std::string NameReply(TestClient& client, const std::string& user) {
    client.Send(1, "Main");
    auto selected = client.ReceiveCommand(2);
    if (!selected || selected->data != "OK") return "<no selection>";
    client.Send(2, MD5::Digest("pw"));
    auto proved = client.ReceiveCommand(3);
    if (!proved || proved->data != "OK") return "<no password>";
    client.Send(3, user);
    auto named = client.ReceiveCommand(4);
    return named ? named->data : "<none>";
  }
  int CountStartingWith(const std::string& prefix) {
    auto lines = service_.LogMessages();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.rfind(prefix, 0) == 0;
    }));
  }
  std::string FileText() const { return service_.ReadFile(kMainFile); }
  // Rewrites the network file in place, as an editor that truncates it
  // first does.
  void WriteInPlace(const std::string& text) const {
    int fd = ::open((service_.Folder() / kMainFile).c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
  }
  // Replaces the network file through a temporary file and a rename, as
  // most editors save.
  void WriteByRename(const std::string& text) const {
    service_.WriteFile("brelvint-server/main.edit", text);
    fs::rename(service_.Folder() / "brelvint-server/main.edit", service_.Folder() / kMainFile);
  }

  ServiceProcess service_;
  uint16_t port_ = 0;
};

// Past MaxRegisteredUsers a new name is refused as a full network is (its
// user name step answered FAIL), with one log line however many come; the
// names the file holds still log in, on the same connection too.
TEST_F(NetworkFileWriteTest, NewNamesPastMaxRegisteredUsersAreRefused) {
  Start(UserElement("ann", "10.0.0.1") + UserElement("bob", "10.0.0.2"),
        "  <setting namestring=\"MaxRegisteredUsers\" valuestring=\"3\" />\n");
  auto carl = Connect();
  ASSERT_TRUE(carl);
  EXPECT_EQ(NameReply(*carl, "carl"), "OK");  // the third name
  auto dora = Connect("127.0.0.2");
  ASSERT_TRUE(dora);
  EXPECT_EQ(NameReply(*dora, "dora"), "FAIL");
  EXPECT_EQ(NameReply(*dora, "erin"), "FAIL");
  EXPECT_EQ(NameReply(*dora, "ANN"), "OK");
  auto bob = Connect("127.0.0.3");
  ASSERT_TRUE(bob);
  EXPECT_EQ(NameReply(*bob, "fred"), "FAIL");
  EXPECT_EQ(NameReply(*bob, "bob"), "OK");
  EXPECT_EQ(NameReply(*bob, "Carl"), "FAIL");  // carl holds the name: taken, not full
  ASSERT_TRUE(service_.Stop());

  EXPECT_EQ(CountStartingWith("Network Main is full: 3 registered names (MaxRegisteredUsers); "
                              "new names are refused"),
            1);
  const std::string file = FileText();
  EXPECT_NE(file.find("Name=\"carl\""), std::string::npos) << file;
  EXPECT_NE(file.find(UserElement("ann", "127.0.0.2")), std::string::npos) << file;
  EXPECT_NE(file.find(UserElement("bob", "127.0.0.3")), std::string::npos) << file;
  for (const char* refused : {"dora", "erin", "fred"}) {
    EXPECT_EQ(file.find(refused), std::string::npos) << refused;
  }
}

// An operator's editor truncates the file and writes it again; logins in
// between are answered at once, and recorded when the file is whole again,
// with no further login to carry them.
TEST_F(NetworkFileWriteTest, LoginsDuringATruncatedFileAreRecordedOnceItIsWhole) {
  Start(UserElement("ann", "10.0.0.1"));
  const std::string whole = FileText();
  WriteInPlace(whole.substr(0, whole.size() / 2));
  std::vector<std::unique_ptr<TestClient>> members;
  const std::vector<std::string> names = {"ann", "n1", "n2", "n3", "n4"};
  for (size_t i = 0; i < names.size(); ++i) {
    auto client = Connect("127.0.0." + std::to_string(2 + i));
    ASSERT_TRUE(client);
    EXPECT_EQ(NameReply(*client, names[i]), "OK") << names[i];
    members.push_back(std::move(client));
  }
  // The writer has met the broken file (and said so) before it is whole.
  const std::string path = (service_.NetworkFolder() / "main.conf").string();
  const std::string waits =
      "Network file " + path + " cannot be read as a network; its logins wait until it can";
  for (int i = 0; i < 250 && CountStartingWith(waits) == 0; ++i) usleep(20000);
  ASSERT_EQ(CountStartingWith(waits), 1);
  EXPECT_EQ(FileText(), whole.substr(0, whole.size() / 2));  // left to the operator

  WriteInPlace(whole);
  for (size_t i = 0; i < names.size(); ++i) {
    std::string address = "127.0.0." + std::to_string(2 + i);
    std::string element = i == 0 ? "Name=\"ann\" LastIP=\"" + address + "\""
                                 : "<User LastIP=\"" + address + "\" Name=\"" + names[i] + "\"/>";
    EXPECT_TRUE(service_.WaitForFileText(kMainFile, element)) << element << "\n" << FileText();
  }
  EXPECT_EQ(CountStartingWith(waits), 1);
  const std::string written = "Network file " + path + " written with the logins that waited (";
  for (int i = 0; i < 100 && CountStartingWith(written) == 0; ++i) usleep(20000);
  EXPECT_EQ(CountStartingWith(written), 1);
  ASSERT_TRUE(service_.Stop());
}

// Bytes the service has read through read(2) and its kin so far (its
// /proc io counter); -1 when it cannot be read.
long long BytesRead(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long long value = -1;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

// A chmod moves only the file's change time. The service compares the
// bytes once, keeps the new time, and its later writes do not read the
// file again: 20 logins after the chmod read it at most once.
TEST_F(NetworkFileWriteTest, AChmodCostsOneReadNotOnePerLogin) {
  std::string users;
  for (int i = 0; i < 20000; ++i) users += UserElement("u" + std::to_string(i), "10.1.0.1");
  Start(users);
  auto first = Connect("127.0.0.2");
  ASSERT_TRUE(first);
  ASSERT_EQ(NameReply(*first, "u0"), "OK");
  ASSERT_TRUE(service_.WaitForFileText(kMainFile, "Name=\"u0\" LastIP=\"127.0.0.2\""));
  const auto size = static_cast<long long>(fs::file_size(service_.Folder() / kMainFile));
  fs::permissions(service_.Folder() / kMainFile,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const long long before = BytesRead(service_.Pid());
  ASSERT_GE(before, 0);
  for (int i = 1; i <= 20; ++i) {
    auto client = Connect("127.0.0." + std::to_string(2 + i));
    ASSERT_TRUE(client);
    ASSERT_EQ(NameReply(*client, "u" + std::to_string(i)), "OK");
    // Each login in a write of its own.
    ASSERT_TRUE(service_.WaitForFileText(
        kMainFile,
        "Name=\"u" + std::to_string(i) + "\" LastIP=\"127.0.0." + std::to_string(2 + i) + "\""));
  }
  const long long read = BytesRead(service_.Pid()) - before;
  EXPECT_LT(read, size * 3 / 2) << "the " << size << "-byte file was read " << read / size
                                << " times";
  ASSERT_TRUE(service_.Stop());
}

// While players log in all the time (each login moves a LastIP or enrols a
// name, so the service rewrites the file again and again), the operator
// flips the administrator's IsAdmin 300 times, reading the file, changing
// the flag and saving it, alternately through a rename and in place. Every
// one of the edits must survive the service's writes: it is checked right
// after the operator's save and again after the service's next write.
TEST_F(NetworkFileWriteTest, AnOperatorsEditsSurviveALoginStorm) {
  constexpr int kFlips = 300;
  constexpr int kPlayers = 6;
  std::string users = UserElement("boss", "127.0.0.1", "1");
  for (int i = 0; i < kPlayers; ++i) users += UserElement("p" + std::to_string(i), "127.0.0.1");
  Start(users);

  std::atomic<bool> storming{true};
  std::atomic<int> logins{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> players;
  for (int i = 0; i < kPlayers; ++i) {
    players.emplace_back([&, i] {
      for (int round = 0; storming && round < 1000000; ++round) {
        TestClient client;
        std::string source = "127.0.0." + std::to_string(2 + (round + i) % 8);
        if (!client.Connect(port_, source) || !client.ReceiveCommand(1)) continue;
        // Mostly a known name from a new address; now and then a new name.
        std::string name = "p" + std::to_string(i);
        if (round % 16 == 15) name = "n" + std::to_string(i) + "_" + std::to_string(round);
        if (client.Login("Main", "pw", name)) ++logins;
        client.Close();
      }
      ++finished;
    });
  }

  const std::string boss_admin = "<User Name=\"boss\" IsAdmin=\"";
  // The boss's flag in the file; a read that falls in the instant a write
  // of the service is swapped back is read again, as only an edit that
  // stays lost is a loss.
  auto flag_settled = [&](char wanted) {
    char flag = '?';
    for (int attempt = 0; attempt < 5; ++attempt) {
      service_.DiscardOutput();
      std::string text = FileText();
      size_t at = text.find(boss_admin);
      flag = at == std::string::npos ? '?' : text[at + boss_admin.size()];
      if (flag == wanted) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return flag;
  };
  int lost_at_once = 0;
  int lost_after_a_write = 0;
  int writes_seen = 0;
  char value = '1';
  // A loaded machine writes more slowly: the flips stop after a minute, and
  // what follows is judged by the flips made.
  auto flipping_until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int flips = 0;
  for (; flips < kFlips && std::chrono::steady_clock::now() < flipping_until; ++flips) {
    value = value == '1' ? '0' : '1';
    std::string text;
    size_t at = std::string::npos;
    // The operator reads a whole file (never a half: the service replaces
    // it whole) and changes the flag.
    for (int attempt = 0; attempt < 100 && at == std::string::npos; ++attempt) {
      text = FileText();
      at = text.find(boss_admin);
    }
    if (at == std::string::npos) {
      ADD_FAILURE() << "no administrator's element in\n" << text;
      break;
    }
    text[at + boss_admin.size()] = value;
    if (flips % 2 == 0) {
      WriteByRename(text);
    } else {
      WriteInPlace(text);
    }
    if (flag_settled(value) != value) ++lost_at_once;
    // The service's next write: the file differs from what the operator
    // saved (only the service writes it meanwhile).
    for (int wait = 0; wait < 2000 && FileText() == text; ++wait) {
      service_.DiscardOutput();
      usleep(500);
    }
    if (FileText() != text) ++writes_seen;
    if (flag_settled(value) != value) ++lost_after_a_write;
  }
  storming = false;
  while (finished < kPlayers) {
    service_.DiscardOutput();
    usleep(1000);
  }
  for (auto& player : players) player.join();

  EXPECT_EQ(lost_at_once, 0);
  EXPECT_EQ(lost_after_a_write, 0);
  ASSERT_GT(flips, 10);
  EXPECT_GT(writes_seen, flips / 2) << "the storm did not keep the service writing";
  EXPECT_GT(logins.load(), flips);

  // After the storm: the operator's last flag with each player's last
  // login, written by the service.
  for (int i = 0; i < kPlayers; ++i) {
    std::string name = "p" + std::to_string(i);
    std::string source = "127.0.0." + std::to_string(20 + i);
    auto client = Connect(source);
    ASSERT_TRUE(client);
    // The name is free once the service has seen the storm's last
    // connection under it close.
    std::string reply;
    for (int attempt = 0; attempt < 100 && (reply = NameReply(*client, name)) != "OK"; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(reply, "OK") << name;
    EXPECT_TRUE(service_.WaitForFileText(kMainFile, UserElement(name, source))) << name;
  }
  EXPECT_EQ(flag_settled(value), value);
  ASSERT_TRUE(service_.Stop());
  EXPECT_NE(FileText().find(UserElement("boss", "127.0.0.1", std::string(1, value))),
            std::string::npos);
}

}  // namespace
}  // namespace brelvint
