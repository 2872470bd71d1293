// The login-time edit of a network file, through ServerNetworks as the
// service drives it: AddUserToNetwork during a loop pass, CommitEdits to the
// writer at its end; each test waits for the writer before it looks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/LogMessage.h"
#include "config/LoadNetworks.h"
#include "config/NetworkFile.h"
#include "config/NetworkFileWriter.h"
#include "config/ServerNetworks.h"
#include "support/ScopedHome.h"
#include "support/TempFolder.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const char kMainFile[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- Main network: edited by hand -->
<brelvint>
  <network name="Main" password="secret" maxusers="10" enabled="1" port="12000">
    <!-- the operators -->
    <User Name="bob" IsAdmin="1" LastIP="10.0.0.1" UID="7" />
    <User  Name = 'alice'  LastIP = '10.0.0.2'/>
    <USER Name="BOB" UID="8"/>
  </network>
</brelvint>
)";

// `text` with its one occurrence of `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string NewUser(const std::string& address, const std::string& name) {
  return "<User LastIP=\"" + address + "\" Name=\"" + name + "\"/>";
}

ino_t InodeOf(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::vector<std::string> UserNames(const ServerNetworks& network) {
  std::vector<std::string> names;
  for (const auto& user : network.Users) names.push_back(user->Name);
  return names;
}

// The network file is "net/main.conf"; HOME points at "home", so the log of
// each test is its own and can be read back.
class NetworkFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.emplace(temp_.Path() / "home");
    writer_.Start();
  }
  void TearDown() override { writer_.Stop(std::chrono::seconds(5)); }

  // The end of a loop pass: the logins go to the writer, and the test waits
  // until they are in the file (or wait for it).
  void Commit(ServerNetworks& network) {
    network.CommitEdits(writer_);
    writer_.Flush(std::chrono::seconds(5));
  }

  fs::path FilePath() const { return temp_.Path() / "net" / "main.conf"; }
  void WriteFile(const std::string& text) const { temp_.WriteFile("net/main.conf", text); }
  std::string FileText() const { return temp_.ReadFile("net/main.conf"); }

  // The network as the service reads it at start-up.
  std::unique_ptr<ServerNetworks> Load(const std::string& text) const {
    WriteFile(text);
    std::unique_ptr<ServerNetworks> network = modGlobal::ReadNetworkXML(FilePath());
    EXPECT_NE(network, nullptr);
    return network;
  }

  // The log's lines without their "[date time] " prefix, less the reader's.
  Lines EditLogLines() const {
    std::istringstream log(temp_.ReadFile(fs::path("home") / modGlobal::kLogFileName));
    Lines lines;
    for (std::string line; std::getline(log, line);) {
      size_t prefix_end = line.find("] ");
      line = prefix_end == std::string::npos ? line : line.substr(prefix_end + 2);
      if (line.rfind("Network XML Parsed: ", 0) != 0) lines.push_back(line);
    }
    return lines;
  }

  TempFolder temp_;
  NetworkFileWriter writer_;

 private:
  std::optional<ScopedHome> home_;
};

TEST_F(NetworkFileTest, EveryMatchingElementButAnAdministratorsGetsTheAddress) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  network->AddUserToNetwork("Bob", "10.9.9.9");
  EXPECT_TRUE(network->HasPendingEdits());
  EXPECT_EQ(FileText(), kMainFile);  // nothing is written before the commit
  Commit(*network);

  EXPECT_FALSE(network->HasPendingEdits());
  // The first "bob" is an administrator: only the file's operator moves
  // the address that grants the rights.
  std::string expected = Replaced(kMainFile, R"(UID="8"/>)", R"(UID="8" LastIP="10.9.9.9"/>)");
  EXPECT_EQ(FileText(), expected);
  // Known users keep their records as read.
  EXPECT_EQ(UserNames(*network), Lines({"bob", "alice", "BOB"}));
  EXPECT_EQ(network->Users[0]->LastIP, "10.0.0.1");
  EXPECT_EQ(network->Users[2]->LastIP, "");
  EXPECT_TRUE(EditLogLines().empty());
}

TEST_F(NetworkFileTest, NewNameIsAddedAfterTheLastUserWithItsIndent) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  network->AddUserToNetwork("carl", "10.0.0.9");
  Commit(*network);

  EXPECT_EQ(FileText(),
            Replaced(kMainFile, "<USER Name=\"BOB\" UID=\"8\"/>\n",
                     "<USER Name=\"BOB\" UID=\"8\"/>\n    " + NewUser("10.0.0.9", "carl") + "\n"));
  ASSERT_EQ(network->Users.size(), 4u);
  const MapperUser& carl = *network->Users.back();
  EXPECT_EQ(carl.Name, "carl");
  EXPECT_EQ(carl.LastIP, "10.0.0.9");
  EXPECT_FALSE(carl.IsAdmin);
  EXPECT_FALSE(carl.IsBanned);
  EXPECT_TRUE(carl.UniqueID().empty() && carl.BanBy().empty() && carl.BanDate().empty() &&
              carl.BanReason().empty());
  EXPECT_EQ(network->Admins.size(), 1u);
  EXPECT_EQ(network->Bans.size(), 0u);
  EXPECT_EQ(network->FindUser("CARL", "10.0.0.9"), &carl);

  std::unique_ptr<ServerNetworks> reread = modGlobal::ReadNetworkXML(FilePath());
  ASSERT_NE(reread, nullptr);
  EXPECT_EQ(UserNames(*reread), Lines({"bob", "alice", "BOB", "carl"}));
  EXPECT_EQ(reread->Users.back()->LastIP, "10.0.0.9");
}

// The login rewrites the file with the address it already has: every byte
// must come back, whatever the operator's layout.
TEST_F(NetworkFileTest, RewriteOfUnchangedValuesIsByteForByte) {
  struct Case {
    std::string text;
    const char* name;
    const char* address;
  };
  const Case cases[] = {
      {kMainFile, "ALICE", "10.0.0.2"},
      {"\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\r\n"
       "<!DOCTYPE brelvint>\r\n"
       "<!-- kept -->\r\n\r\n"
       "<brelvint  >\r\n"
       "\t<network name='Main' password=\"a&amp;b\" >\r\n"
       "\t\t<User Name='al&amp;ice' LastIP = '1.2.3.4' UID=\"&#65;\" ></User>\r\n"
       "\t\t<user Name=\"x\"><![CDATA[ <raw> ]]><?pi data?></user>\r\n"
       "\t</network>\r\n"
       "</brelvint>\r\n"
       "<!-- trailing -->\r\n",
       "AL&ICE", "1.2.3.4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::unique_ptr<ServerNetworks> network = Load(c.text);
    const uint64_t writes_before = writer_.Writes();
    // Away, then back: the second write splices the old value into a text
    // whose positions the first one moved.
    network->AddUserToNetwork(c.name, "0.0.0.0");
    Commit(*network);
    network->AddUserToNetwork(c.name, c.address);
    Commit(*network);
    // Both were written, not skipped. (Not told by the inode: the second
    // write may get the one the first freed.)
    EXPECT_EQ(writer_.Writes(), writes_before + 2);
    EXPECT_EQ(FileText(), c.text);
  }
}

TEST_F(NetworkFileTest, LoginFromTheRecordedAddressWritesNothing) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  ino_t before = InodeOf(FilePath());
  network->AddUserToNetwork("ALICE", "10.0.0.2");
  Commit(*network);
  EXPECT_EQ(writer_.Writes(), 0u);
  EXPECT_EQ(InodeOf(FilePath()), before);
  EXPECT_EQ(FileText(), kMainFile);
}

TEST_F(NetworkFileTest, LoginsOfOneNameInAnyCaseShareOneElement) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  network->AddUserToNetwork("Carl", "1.1.1.1");
  network->AddUserToNetwork("CARL", "2.2.2.2");
  Commit(*network);
  const std::string last_user = "<USER Name=\"BOB\" UID=\"8\"/>\n";
  EXPECT_EQ(FileText(),
            Replaced(kMainFile, last_user, last_user + "    " + NewUser("2.2.2.2", "Carl") + "\n"));
  ASSERT_EQ(network->Users.size(), 4u);
  EXPECT_EQ(network->Users.back()->LastIP, "1.1.1.1");

  // Later passes edit the written element in place, also after an earlier
  // value changed length.
  network->AddUserToNetwork("carl", "3.3.3.3");
  network->AddUserToNetwork("alice", "10.0.0.222");
  Commit(*network);
  network->AddUserToNetwork("cARL", "4.4.4.4");
  network->AddUserToNetwork("BoB", "10.0.0.1");
  Commit(*network);

  std::string expected = Replaced(kMainFile, last_user,
                                  "<USER Name=\"BOB\" UID=\"8\" LastIP=\"10.0.0.1\"/>\n    " +
                                      NewUser("4.4.4.4", "Carl") + "\n");
  expected = Replaced(expected, "LastIP = '10.0.0.2'", "LastIP = '10.0.0.222'");
  EXPECT_EQ(FileText(), expected);
  EXPECT_EQ(network->Users.size(), 4u);
}

TEST_F(NetworkFileTest, OperatorEditBetweenPassesIsKept) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  network->AddUserToNetwork("carl", "10.0.0.9");
  Commit(*network);

  const std::string operator_text = R"(<brelvint>
  <network name="Main" password="changed">
    <User Name="dave" LastIP="5.5.5.5"/>
  </network>
</brelvint>
)";
  WriteFile(operator_text);
  network->AddUserToNetwork("DAVE", "6.6.6.6");
  network->AddUserToNetwork("erin", "7.7.7.7");
  Commit(*network);

  EXPECT_EQ(FileText(), R"(<brelvint>
  <network name="Main" password="changed">
    <User Name="dave" LastIP="6.6.6.6"/>
    <User LastIP="7.7.7.7" Name="erin"/>
  </network>
</brelvint>
)");
  // The records enrol what they did not hold, whatever the file says; a
  // reload makes them follow the operator's file.
  EXPECT_EQ(UserNames(*network), Lines({"bob", "alice", "BOB", "carl", "DAVE", "erin"}));
}

// What the service writes at logins is no change of the network's
// definition; what the operator writes is, even an address a login wrote
// for another element of the name.
TEST_F(NetworkFileTest, ARereadSeesOnlyTheOperatorsEditsAsChanges) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  network->AddUserToNetwork("alice", "10.0.0.5");
  network->AddUserToNetwork("bob", "10.0.0.6");  // the admin's element keeps its address
  network->AddUserToNetwork("dave", "10.0.0.8");
  Commit(*network);
  std::unique_ptr<ServerNetworks> reread = modGlobal::ReadNetworkXML(FilePath());
  ASSERT_TRUE(reread);
  EXPECT_TRUE(network->SameDefinition(*reread));
  EXPECT_TRUE(network->HasWrittenAddresses());

  const std::string written = FileText();
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"'10.0.0.5'", "'10.0.0.7'"},
                                 {"\"10.0.0.1\"", "\"10.0.0.6\""}}) {
    WriteFile(Replaced(written, from, to));
    reread = modGlobal::ReadNetworkXML(FilePath());
    ASSERT_TRUE(reread);
    EXPECT_FALSE(network->SameDefinition(*reread)) << to;
  }
}

// A login from the address the records hold leaves nothing to remember (a
// server with thousands of returning players keeps no copy of their names
// and addresses); one from elsewhere is remembered until the name returns,
// and every reread of the file the logins left is still no change.
TEST_F(NetworkFileTest, OnlyAddressesTheRecordsDoNotHoldAreRemembered) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  struct Step {
    const char* name;
    const char* address;
    bool remembered;  // HasWrittenAddresses afterwards
  };
  const Step steps[] = {
      {"alice", "10.0.0.2", false},  // the address on file
      {"ALICE", "10.0.0.2", false},  // the same user, in other letters
      {"alice", "10.0.0.9", true},   // elsewhere: the file changes
      {"alice", "10.0.0.2", false},  // back: the file holds the records' again
      // At the admin's address, but "BOB" (no address) takes it: a change.
      {"bob", "10.0.0.1", true},
  };
  for (const Step& step : steps) {
    network->AddUserToNetwork(step.name, step.address);
    EXPECT_EQ(network->HasWrittenAddresses(), step.remembered) << step.name << " " << step.address;
    Commit(*network);
    std::unique_ptr<ServerNetworks> reread = modGlobal::ReadNetworkXML(FilePath());
    ASSERT_TRUE(reread);
    EXPECT_TRUE(network->SameDefinition(*reread)) << step.name << " " << step.address;
  }
}

// Edits in place that keep the size and set the time back, as cp -p,
// rsync --inplace -t and tar x make them: device, inode, size and time all
// match what the cache last wrote, yet the text is the operator's.
TEST_F(NetworkFileTest, EditInPlaceThatRestoresSizeAndTimeIsKept) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  network->AddUserToNetwork("carl", "10.0.0.9");
  Commit(*network);
  struct stat before {};
  ASSERT_EQ(::stat(FilePath().c_str(), &before), 0);
  // Such tools run by hand, never within a clock tick of the service's own
  // write (a tick is at most 10 ms).
  ::usleep(25000);

  const std::string edited = Replaced(FileText(), "password=\"secret\"", "password=\"SECRET\"");
  int fd = ::open(FilePath().c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, edited.data(), edited.size()), static_cast<ssize_t>(edited.size()));
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::futimens(fd, times), 0);
  ::close(fd);
  struct stat after {};
  ASSERT_EQ(::stat(FilePath().c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);

  network->AddUserToNetwork("erin", "10.0.0.12");
  Commit(*network);
  const std::string carl = NewUser("10.0.0.9", "carl") + "\n";
  EXPECT_EQ(FileText(),
            Replaced(edited, carl, carl + "    " + NewUser("10.0.0.12", "erin") + "\n"));
}

TEST_F(NetworkFileTest, LoginsOfOnePassAreWrittenTogether) {
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  Lines expected_names = {"bob", "alice", "BOB"};
  for (int i = 0; i < 100; ++i) {
    std::string name = "user" + std::to_string(i);
    network->AddUserToNetwork(name, "10.1.0." + std::to_string(i));
    expected_names.push_back(name);
  }
  EXPECT_EQ(FileText(), kMainFile);
  Commit(*network);

  std::unique_ptr<ServerNetworks> reread = modGlobal::ReadNetworkXML(FilePath());
  ASSERT_NE(reread, nullptr);
  EXPECT_EQ(UserNames(*reread), expected_names);
  EXPECT_EQ(reread->Users.back()->LastIP, "10.1.0.99");
  EXPECT_EQ(UserNames(*network), expected_names);
}

// An operator's editor halfway through rewriting the file: the logins are
// not lost, and the file is left alone until it parses again. One line says
// they wait; they are written at the next attempt after the file is whole.
TEST_F(NetworkFileTest, UnusableFileKeepsTheLoginsUntilItParses) {
  const char* const texts[] = {
      "<brelvint><network name=\"Main\"></brelvint>", "<brelvint><!-- no network --></brelvint>",
      "",
      nullptr,  // no file at all
  };
  const std::string whole = "<brelvint><network name=\"Main\">\n</network></brelvint>\n";
  const std::string waits = "Network file " + FilePath().string() +
                            " cannot be read as a network; its logins wait until it can (1 so far)";
  const std::string written =
      "Network file " + FilePath().string() + " written with the logins that waited (2)";
  for (const char* text : texts) {
    SCOPED_TRACE(text == nullptr ? "(missing)" : text);
    if (text == nullptr) {
      fs::remove(FilePath());
    } else {
      WriteFile(text);
    }
    size_t lines_before = EditLogLines().size();
    ServerNetworks network;
    network.NetworkName = "Main";
    network.Path = FilePath();
    network.AddUserToNetwork("carl", "10.0.0.9");
    Commit(network);
    network.AddUserToNetwork("dora", "10.0.0.10");
    Commit(network);
    EXPECT_EQ(network.Users.size(), 2u);  // the records enrolled them at once
    if (text == nullptr) {
      EXPECT_FALSE(fs::exists(FilePath()));
    } else {
      EXPECT_EQ(FileText(), text);
    }
    WriteFile(whole);
    Commit(network);  // a reload, or any login, tries it again at once
    EXPECT_EQ(FileText(), "<brelvint><network name=\"Main\">" + NewUser("10.0.0.9", "carl") +
                              NewUser("10.0.0.10", "dora") + "\n</network></brelvint>\n");
    Lines lines = EditLogLines();
    EXPECT_EQ(Lines(lines.begin() + static_cast<std::ptrdiff_t>(lines_before), lines.end()),
              Lines({waits, written}));
  }
}

// Two passes (carl, then dan), so positions kept after a write are tested too.
TEST_F(NetworkFileTest, AddedElementsFitAnyLayout) {
  struct Case {
    const char* before;
    const char* after;
  };
  const std::string carl = NewUser("1.2.3.4", "carl");
  const std::string dan = NewUser("5.6.7.8", "dan");
  const Case cases[] = {
      {R"(<b><n name="Main"><User Name="x"/></n></b>)",
       R"(<b><n name="Main"><User Name="x"/>%%</n></b>)"},
      {R"(<b><n name="Main"/></b>)", R"(<b><n name="Main">%%</n></b>)"},
      {R"(<b><n name="Main" /></b>)", R"(<b><n name="Main" >%%</n></b>)"},
      {R"(<b><n name="Main"></n></b>)", R"(<b><n name="Main">%%</n></b>)"},
      {R"(<b><n name="Main"><User Name="x"><note>hi</note></User></n></b>)",
       R"(<b><n name="Main"><User Name="x"><note>hi</note></User>%%</n></b>)"},
      {R"(<b><n name="Main"><User Name="x"/><!-- end --></n></b>)",
       R"(<b><n name="Main"><User Name="x"/><!-- end -->%%</n></b>)"},
      {R"(<b><n name="Main"><User Name="x"/><?pi x?><![CDATA[>]]></n></b>)",
       R"(<b><n name="Main"><User Name="x"/><?pi x?><![CDATA[>]]>%%</n></b>)"},
      {R"(<b><n name="Main">text<User Name="x"/>tail &amp; more</n></b>)",
       R"(<b><n name="Main">text<User Name="x"/>tail &amp; more%%</n></b>)"},
      {"<b>\n  <n name=\"Main\">\n  </n>\n</b>", "<b>\n  <n name=\"Main\">%%\n  </n>\n</b>"},
      {"<b><n name=\"Main\">\n\t<User Name=\"x\"/>\n\t<User Name=\"y\"/></n></b>",
       "<b><n name=\"Main\">\n\t<User Name=\"x\"/>\n\t<User Name=\"y\"/>##</n></b>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    std::unique_ptr<ServerNetworks> network = Load(c.before);
    network->AddUserToNetwork("carl", "1.2.3.4");
    Commit(*network);
    network->AddUserToNetwork("dan", "5.6.7.8");
    Commit(*network);
    std::string expected = c.after;
    if (expected.find("%%") != std::string::npos) {
      expected = Replaced(expected, "%%", carl + dan);
    } else {
      expected = Replaced(expected, "##", "\n\t" + carl + "\n\t" + dan);
    }
    EXPECT_EQ(FileText(), expected);
    std::unique_ptr<ServerNetworks> reread = modGlobal::ReadNetworkXML(FilePath());
    ASSERT_NE(reread, nullptr);
    Lines names = UserNames(*reread);
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(Lines(names.end() - 2, names.end()), Lines({"carl", "dan"}));
  }
}

TEST_F(NetworkFileTest, NamesAndAddressesAreEscapedInTheFile) {
  const std::string name = "a\"<&>'b";
  std::unique_ptr<ServerNetworks> network = Load(kMainFile);
  network->AddUserToNetwork(name, "fe80::1%eth0");
  Commit(*network);

  std::unique_ptr<ServerNetworks> reread = modGlobal::ReadNetworkXML(FilePath());
  ASSERT_NE(reread, nullptr);
  EXPECT_EQ(reread->Users.back()->Name, name);
  EXPECT_EQ(reread->Users.back()->LastIP, "fe80::1%eth0");

  // A fresh record matches the escaped name as read back from the file.
  reread->AddUserToNetwork("A\"<&>'B", "10.0.0.1");
  Commit(*reread);
  EXPECT_EQ(reread->Users.size(), 4u);
  std::unique_ptr<ServerNetworks> third = modGlobal::ReadNetworkXML(FilePath());
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->Users.back()->LastIP, "10.0.0.1");
}

// The cache finds an element by where its name sits in the text, so after a
// write has moved every position, each name must still be found: one after
// the "LastIP" value, one spelled with references, one added by the write.
TEST_F(NetworkFileTest, NamesAreFoundAgainAfterAWriteMovedThem) {
  const std::string file =
      "<b><network name=\"N\">\n"
      "  <User LastIP=\"1.1.1.1\" Name=\"first\"/>\n"
      "  <User Name=\"s&#101;cond\" LastIP=\"2.2.2.2\"/>\n"
      "  <User LastIP='3.3.3.3' Name='th&amp;ird'/>\n"
      "  <User UID=\"4\"/>\n"
      "  <User Name=\"last\"/>\n"
      "</network></b>\n";
  struct Login {
    const char* name;
    const char* address;
  };
  const Login logins[] = {{"FIRST", "10.10.10.10"}, {"second", "20.20.20.20"}, {"TH&IRD", "3.3"},
                          {"", "4.4.4.4"},          {"Last", "50.50.50.50"},   {"new<one>", "6.6"},
                          {"plain", "7.7.7.7"}};
  std::unique_ptr<ServerNetworks> network = Load(file);
  for (const Login& login : logins) network->AddUserToNetwork(login.name, login.address);
  Commit(*network);

  std::string expected = Replaced(file, "\"1.1.1.1\"", "\"10.10.10.10\"");
  expected = Replaced(expected, "\"2.2.2.2\"", "\"20.20.20.20\"");
  expected = Replaced(expected, "'3.3.3.3'", "'3.3'");
  expected = Replaced(expected, "UID=\"4\"/>", "UID=\"4\" LastIP=\"4.4.4.4\"/>");
  expected =
      Replaced(expected, "Name=\"last\"/>\n",
               "Name=\"last\" LastIP=\"50.50.50.50\"/>\n  " + NewUser("6.6", "new&lt;one&gt;") +
                   "\n  " + NewUser("7.7.7.7", "plain") + "\n");
  EXPECT_EQ(FileText(), expected);

  // The same logins again: every one is found at the address just written.
  for (const Login& login : logins) network->AddUserToNetwork(login.name, login.address);
  Commit(*network);
  EXPECT_EQ(writer_.Writes(), 1u);
  // A change to the last element must land in its own value, after all the
  // positions before it moved.
  network->AddUserToNetwork("PLAIN", "8.8.8.8");
  network->AddUserToNetwork("new<ONE>", "9.9.9.9");
  Commit(*network);
  expected = Replaced(expected, NewUser("7.7.7.7", "plain"), NewUser("8.8.8.8", "plain"));
  expected =
      Replaced(expected, NewUser("6.6", "new&lt;one&gt;"), NewUser("9.9.9.9", "new&lt;one&gt;"));
  EXPECT_EQ(FileText(), expected);
  EXPECT_EQ(network->Users.size(), 7u);
}

}  // namespace
}  // namespace brelvint
