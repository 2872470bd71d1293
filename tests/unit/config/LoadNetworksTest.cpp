#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "base/LogMessage.h"
#include "config/LoadNetworks.h"
#include "support/ScopedHome.h"
#include "support/TempFolder.h"

namespace brelvint {
namespace {

namespace fs = std::filesystem;
using modGlobal::LoadNetworks;
using modGlobal::ReadNetworkXML;

using Lines = std::vector<std::string>;

// The network files live in "networks"; HOME points at "home", so the log
// of each test is its own and can be read back.
class LoadNetworksTest : public ::testing::Test {
 protected:
  void SetUp() override { home_.emplace(temp_.Path() / "home"); }

  fs::path Folder() const { return temp_.Path() / "networks"; }
  fs::path Write(const std::string& name, const std::string& text) const {
    return temp_.WriteFile(fs::path("networks") / name, text);
  }

  // The log's lines without their "[date time] " prefix.
  Lines LogLines() const {
    std::istringstream log(temp_.ReadFile(fs::path("home") / modGlobal::kLogFileName));
    Lines lines;
    for (std::string line; std::getline(log, line);) {
      size_t prefix_end = line.find("] ");
      lines.push_back(prefix_end == std::string::npos ? line : line.substr(prefix_end + 2));
    }
    return lines;
  }

  TempFolder temp_;

 private:
  std::optional<ScopedHome> home_;
};

std::string NetworkText(const std::string& name, const std::string& users = "") {
  return "<brelvint><network name=\"" + name + "\" password=\"pw\">" + users +
         "</network></brelvint>";
}

std::vector<std::string> NamesOf(const std::vector<std::unique_ptr<ServerNetworks>>& networks) {
  std::vector<std::string> names;
  for (const auto& network : networks) names.push_back(network->NetworkName);
  return names;
}

// Every field of a network and its users, to compare two reads.
std::string Describe(const ServerNetworks& network) {
  std::ostringstream out;
  out << network.NetworkName << '|' << network.Password << '|' << network.MaxUsers << '|'
      << network.Enabled << '|' << network.Port << '|' << network.Path << '\n';
  for (const auto& user : network.Users) {
    out << user->Name << '|' << user->BanBy() << '|' << user->BanDate() << '|' << user->BanReason()
        << '|' << user->IsAdmin << '|' << user->IsBanned << '|' << user->LastIP << '|'
        << user->UniqueID() << '\n';
  }
  out << network.Admins.size() << ' ' << network.Bans.size();
  return out.str();
}

std::string ParserMessage(const std::string& text) {
  pugi::xml_document document;
  return document.load_string(text.c_str()).description();
}

std::string IoErrorMessage() {
  pugi::xml_parse_result result;
  result.status = pugi::status_io_error;
  return result.description();
}

TEST_F(LoadNetworksTest, OneFileLogsExactlyItsLoad) {
  Write("alpha.conf", NetworkText("Alpha"));
  std::vector<std::unique_ptr<ServerNetworks>> networks;
  LoadNetworks(Folder(), networks);

  EXPECT_EQ(NamesOf(networks), Lines({"Alpha"}));
  EXPECT_EQ(LogLines(), Lines({"Reading Network Files...", "Checking Network Index: 1",
                               "Reading Network File: alpha.conf", "Network XML Parsed: Alpha",
                               "Loaded Network: Alpha", "Network File Reading Complete."}));
}

// The first file in byte order defines a network; a later file of the same
// name in any letter case is logged and left out, however it differs.
TEST_F(LoadNetworksTest, ALaterFileNamingALoadedNetworkIsSkipped) {
  Write("a.conf", NetworkText("Twin"));
  Write("b.conf", NetworkText("TWIN", "<User Name=\"boss\" IsAdmin=\"1\"/>"));
  Write("c.conf", NetworkText("Other"));
  std::vector<std::unique_ptr<ServerNetworks>> networks;
  LoadNetworks(Folder(), networks);

  EXPECT_EQ(NamesOf(networks), Lines({"Twin", "Other"}));
  EXPECT_EQ(networks[0]->Path, Folder() / "a.conf");
  EXPECT_TRUE(networks[0]->Users.empty());
  Lines lines = LogLines();
  auto skipped = std::find(lines.begin(), lines.end(),
                           "Network Skipped (its name is already defined by a.conf): b.conf");
  ASSERT_NE(skipped, lines.end());
  EXPECT_EQ(*(skipped - 1), "Network XML Parsed: TWIN");
  EXPECT_EQ(*(skipped + 1), "Checking Network Index: 3");
}

TEST_F(LoadNetworksTest, MissingFolderIsCreatedAndReadsAsEmpty) {
  std::vector<std::unique_ptr<ServerNetworks>> networks;
  LoadNetworks(Folder() / "nested", networks);

  EXPECT_TRUE(fs::is_directory(Folder() / "nested"));
  EXPECT_TRUE(networks.empty());
  EXPECT_EQ(LogLines(), Lines({"Reading Network Files...", "Network File Reading Complete."}));
}

TEST_F(LoadNetworksTest, UnknownFolderIsReported) {
  std::vector<std::unique_ptr<ServerNetworks>> networks;
  LoadNetworks(fs::path(), networks);

  EXPECT_TRUE(networks.empty());
  EXPECT_EQ(LogLines(),
            Lines({"Reading Network Files...", "Error Finding ApplicationData directory.",
                   "Network File Reading Complete."}));
}

TEST_F(LoadNetworksTest, FolderThatCannotBeCreatedEndsTheLoad) {
  temp_.WriteFile("networks", "a file where the folder should be");
  std::vector<std::unique_ptr<ServerNetworks>> networks;
  EXPECT_FALSE(LoadNetworks(Folder(), networks));

  EXPECT_TRUE(networks.empty());
  auto lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Reading Network Files...");
  // The folder and the reason, so an operator sees why nothing was read.
  EXPECT_EQ(lines[1].rfind("Network Folder Unreadable (every network stays as it is): " +
                               Folder().string() + ": ",
                           0),
            0u)
      << lines[1];
  EXPECT_EQ(lines[2], "Network File Reading Complete.");
}

// Every entry holds a good network, so a skipped one shows the name rule.
TEST_F(LoadNetworksTest, OnlyVisibleNamesEndingInConfAreRead) {
  for (const char* name : {"alpha.conf", "BETA.CONF", "gammaconf", "conf", ".hidden.conf",
                           "alpha.conf.bak", "readme.txt"}) {
    Write(name, NetworkText(std::string("net-") + name));
  }
  std::vector<std::unique_ptr<ServerNetworks>> networks;
  LoadNetworks(Folder(), networks);

  EXPECT_EQ(NamesOf(networks),
            Lines({"net-BETA.CONF", "net-alpha.conf", "net-conf", "net-gammaconf"}));
  Lines expected = {"Reading Network Files..."};
  int index = 0;
  auto checking = [&](const std::string& name) {
    expected.push_back("Checking Network Index: " + std::to_string(++index));
    expected.push_back("Reading Network File: " + name);
  };
  // A file that is not read says so, rather than that it is read.
  auto skipping = [&](const std::string& name) {
    expected.push_back("Checking Network Index: " + std::to_string(++index));
    expected.push_back(
        "Skipping File (a network file's name ends in conf and does not start with a dot): " +
        name);
  };
  auto loaded = [&](const std::string& name) {
    expected.push_back("Network XML Parsed: net-" + name);
    expected.push_back("Loaded Network: net-" + name);
  };
  skipping(".hidden.conf");
  checking("BETA.CONF");
  loaded("BETA.CONF");
  checking("alpha.conf");
  loaded("alpha.conf");
  skipping("alpha.conf.bak");
  checking("conf");
  loaded("conf");
  checking("gammaconf");
  loaded("gammaconf");
  skipping("readme.txt");
  expected.push_back("Network File Reading Complete.");
  EXPECT_EQ(LogLines(), expected);
}

TEST_F(LoadNetworksTest, UnusableFilesAreReportedAndTheLoadGoesOn) {
  const std::string malformed = "<brelvint><network name=\"Broken\"></brelvint>";
  Write("a.conf", malformed);
  Write("b.conf", NetworkText("Good"));
  Write("c.conf", "<brelvint><!-- no network here --></brelvint>");
  fs::create_directory(Folder() / "old.conf");
  std::vector<std::unique_ptr<ServerNetworks>> networks;
  LoadNetworks(Folder(), networks);

  EXPECT_EQ(NamesOf(networks), Lines({"Good"}));
  EXPECT_EQ(LogLines(),
            Lines({"Reading Network Files...", "Checking Network Index: 1",
                   "Reading Network File: a.conf", ParserMessage(malformed),
                   "Error loading network: a.conf", "Checking Network Index: 2",
                   "Reading Network File: b.conf", "Network XML Parsed: Good",
                   "Loaded Network: Good", "Checking Network Index: 3",
                   "Reading Network File: c.conf", "Error loading network: c.conf",
                   "Checking Network Index: 4", "Reading Network File: old.conf", IoErrorMessage(),
                   "Error loading network: old.conf", "Network File Reading Complete."}));
}

TEST_F(LoadNetworksTest, SymlinkedFileIsReadUnderItsOwnName) {
  fs::path target = temp_.WriteFile("elsewhere/target.xml", NetworkText("Linked"));
  fs::create_directories(Folder());
  fs::create_symlink(target, Folder() / "linked.conf");
  std::vector<std::unique_ptr<ServerNetworks>> networks;
  LoadNetworks(Folder(), networks);

  ASSERT_EQ(NamesOf(networks), Lines({"Linked"}));
  EXPECT_EQ(networks[0]->Path, Folder() / "linked.conf");
}

TEST_F(LoadNetworksTest, MissingFileLogsTheParserMessage) {
  EXPECT_EQ(ReadNetworkXML(Folder() / "absent.conf"), nullptr);
  pugi::xml_parse_result not_found;
  not_found.status = pugi::status_file_not_found;
  EXPECT_EQ(LogLines(), Lines({not_found.description()}));
}

TEST_F(LoadNetworksTest, NumbersAndFlagsReadTheirLeadingNumeral) {
  struct Case {
    const char* attributes;
    bool enabled;
    int64_t max_users;
    int64_t port;
  };
  const Case cases[] = {
      {R"(enabled="1" maxusers="25.9" port="12000")", true, 25, 12000},
      {R"(enabled="true" maxusers="25")", false, 25, 0},
      {R"(enabled="2" port="12000abc")", false, 0, 12000},
      {R"(enabled="" maxusers="")", false, 0, 0},
      {R"(enabled="1.0")", true, 0, 0},
      {R"(enabled="yes" maxusers="-3.7")", false, -3, 0},
      {"", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.attributes);
    fs::path file =
        Write("n.conf", std::string("<b><network name=\"N\" ") + c.attributes + "/></b>");
    std::unique_ptr<ServerNetworks> network = ReadNetworkXML(file);
    ASSERT_NE(network, nullptr);
    EXPECT_EQ(network->Enabled, c.enabled);
    EXPECT_EQ(network->MaxUsers, c.max_users);
    EXPECT_EQ(network->Port, c.port);
  }
}

TEST_F(LoadNetworksTest, UserElementsInAnyCaseBecomeUsers) {
  fs::path file = Write("n.conf", NetworkText("N", R"(
      <user Name="lower" BanBy="op" BanDate="2024-01-02" BanReason="spam" LastIP="10.0.0.1" UID="u1"/>
      <USER Name="upper"><User Name="nested-is-ignored"/></USER>
      <Member Name="not-a-user"/>
      <UsEr name="attribute-names-keep-their-case"/>)"));
  std::unique_ptr<ServerNetworks> network = ReadNetworkXML(file);
  ASSERT_NE(network, nullptr);

  ASSERT_EQ(network->Users.size(), 3u);
  const MapperUser& first = *network->Users[0];
  EXPECT_EQ(first.Name, "lower");
  EXPECT_EQ(first.BanBy(), "op");
  EXPECT_EQ(first.BanDate(), "2024-01-02");
  EXPECT_EQ(first.BanReason(), "spam");
  EXPECT_EQ(first.LastIP, "10.0.0.1");
  EXPECT_EQ(first.UniqueID(), "u1");
  EXPECT_FALSE(first.IsAdmin);
  EXPECT_FALSE(first.IsBanned);
  EXPECT_EQ(network->Users[1]->Name, "upper");
  EXPECT_EQ(network->Users[2]->Name, "");
  EXPECT_EQ(network->Password, "pw");
  EXPECT_EQ(network->Path, file);
}

TEST_F(LoadNetworksTest, AdminAndBannedUserIsOneSharedRecord) {
  fs::path file = Write("n.conf", NetworkText("N", R"(
      <User Name="plain"/>
      <User Name="both" IsAdmin="1" IsBanned="1" LastIP="10.0.0.2"/>
      <User Name="admin" IsAdmin="1" IsBanned="0"/>
      <User Name="banned" IsAdmin="true" IsBanned="1"/>)"));
  std::unique_ptr<ServerNetworks> network = ReadNetworkXML(file);
  ASSERT_NE(network, nullptr);

  ASSERT_EQ(network->Users.size(), 4u);
  ASSERT_EQ(network->Admins.size(), 2u);
  ASSERT_EQ(network->Bans.size(), 2u);
  EXPECT_EQ(network->Admins[0], network->Users[1].get());
  EXPECT_EQ(network->Bans[0], network->Users[1].get());
  EXPECT_EQ(network->Admins[1], network->Users[2].get());
  EXPECT_EQ(network->Bans[1], network->Users[3].get());
  EXPECT_EQ(network->FindUser("BOTH", "10.0.0.2"), network->Users[1].get());
}

TEST_F(LoadNetworksTest, IndentedCommentedFileReadsLikeCompactOne) {
  const std::string compact =
      R"(<b><network name="Main" password="x" maxusers="5" enabled="1" port="12001">)"
      R"(<User Name="a" IsAdmin="1" LastIP="1.2.3.4" UID="9"/><User Name="b" IsBanned="1"/>)"
      R"(</network></b>)";
  const std::string indented = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- The main network. -->
<?editor keep?>
<b>
  <!-- a comment before the network element -->
  <?note also skipped?>
  <network name="Main" password="x" maxusers="5" enabled="1" port="12001">
    <!-- admins first -->
    <User Name="a" IsAdmin="1" LastIP="1.2.3.4" UID="9" />

    <User Name="b" IsBanned="1" />
  </network>
  <other name="ignored"/>
</b>
)";
  std::unique_ptr<ServerNetworks> from_compact = ReadNetworkXML(Write("n.conf", compact));
  std::unique_ptr<ServerNetworks> from_indented = ReadNetworkXML(Write("n.conf", indented));
  ASSERT_NE(from_compact, nullptr);
  ASSERT_NE(from_indented, nullptr);
  EXPECT_EQ(Describe(*from_indented), Describe(*from_compact));
  EXPECT_EQ(from_indented->Users.size(), 2u);
}

}  // namespace
}  // namespace brelvint
