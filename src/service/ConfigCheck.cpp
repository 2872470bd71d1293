#include "service/ConfigCheck.h"

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <optional>
#include <ostream>
#include <pugixml.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "base/FolderLock.h"
#include "base/LogMessage.h"
#include "base/Paths.h"
#include "base/TextCase.h"
#include "config/AppSettings.h"
#include "config/LoadNetworks.h"
#include "config/ServerNetworks.h"
#include "config/XmlError.h"
#include "protocol/Asio.h"
#include "protocol/ServerSocket.h"
#include "service/App.h"
#include "service/NetworkInterface.h"

namespace brelvint {

namespace {

namespace fs = std::filesystem;

constexpr const char kAttachedNIC[] = "AttachedNIC";
constexpr const char kListenAddress[] = "ListenAddress";

struct Found {
  std::string name;
  std::string file;
  int64_t port = 0;
};

constexpr const char kProblem[] = "problem: ";
constexpr const char kWarning[] = "warning: ";

// A problem is what a start or a reload would not apply as written (a file
// that would not load, a setting that would not take effect): it fails the
// check, and so the unit's reload. A warning is about the host rather than
// the files (a port another program holds, which the server logs and skips
// while it serves the other networks): it is printed and the check passes.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}
  void Note(const std::string& text) { out_ << text << '\n'; }
  void Problem(const std::string& text) {
    out_ << kProblem << text << '\n';
    ++problems_;
  }
  void Warning(const std::string& text) {
    out_ << kWarning << text << '\n';
    ++warnings_;
  }
  int Problems() const { return problems_; }
  int Warnings() const { return warnings_; }

 private:
  std::ostream& out_;
  int problems_ = 0;
  int warnings_ = 0;
};

std::string Count(int count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The addresses the listeners would bind ("" for every address), as a
// start chooses them from "ListenAddress" or else "AttachedNIC"; none when
// a start would refuse to run.
std::optional<std::string> BindAddress(const AppSettings& settings, Report& report) {
  std::string listen = settings.Peek(kListenAddress);
  if (!listen.empty()) {
    std::string error;
    if (!ServerSocket::ParseAddresses(listen, &error)) {
      report.Problem("ListenAddress: " + error + "; a start would refuse to run");
      return std::nullopt;
    }
    report.Note("ListenAddress: " + listen);
    return listen;
  }
  auto interfaces = NetworkInterface::List();
  std::string mac = settings.Peek(kAttachedNIC);
  if (mac.empty()) {
    if (interfaces.empty()) return std::string();
    mac = interfaces.front().MACAddress;
    report.Note("AttachedNIC: not set; a start with a network records " + mac + " (" +
                interfaces.front().Name + ")");
  }
  auto nic = NetworkInterface::Choose(interfaces, mac);
  if (!nic) {
    report.Problem("AttachedNIC " + mac +
                   " is on no interface of this host: the listeners would bind every address "
                   "(0.0.0.0)");
    return std::string();
  }
  report.Note("AttachedNIC: " + mac + " (" + nic->Name + ", " + nic->IPv4 + ")");
  return nic->IPv4;
}

// Where a network on `port` would listen, as its listener's log line says
// it: "127.0.0.1:12000, [::1]:12000".
std::string Where(const std::optional<std::string>& addresses, int64_t port) {
  if (!addresses) return "port " + std::to_string(port) + ", no address (see ListenAddress)";
  std::string error, text;
  auto parsed = ServerSocket::ParseAddresses(*addresses, &error);
  for (const auto& address : parsed.value_or(std::vector<asio::ip::address>{})) {
    if (!text.empty()) text += ", ";
    text += ServerSocket::EndpointText(address, port);
  }
  return text;
}

// A start's refusals of the folder itself: one in a system folder is a
// problem, as the start refuses it whoever runs it; root on another
// account's folder is a warning, since the files are right and the service
// runs as that account.
void CheckFolderRefusals(const fs::path& folder, Report& report) {
  if (auto refusal = App::SystemFolderRefusal(folder)) {
    report.Problem("a start here would be refused: " + *refusal);
  }
  if (auto owner = Paths::OtherOwnerWhenRoot(folder)) {
    report.Warning("a start as root would be refused here, since " + *owner +
                   " owns the folder; the service runs as " + *owner + " (sudo -u " + *owner +
                   " brelvint --data-dir " + folder.string() + ")");
  }
}

void CheckSettings(AppSettings* settings, Report& report) {
  std::error_code ec;
  if (!fs::exists(settings->File(), ec)) {
    report.Note("Settings: " + settings->File().string() + " is missing; a start creates it");
    return;
  }
  std::string error;
  if (!settings->Load(&error)) {
    report.Problem(error);
    return;
  }
  report.Note("Settings: " + settings->File().string());
}

// The network file names a start would read, in its order; false when the
// folder exists and cannot be listed.
bool ListNetworkFiles(const fs::path& folder, std::vector<std::string>* names, Report& report) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) {
    report.Note("Network folder: " + folder.string() + " is missing; a start creates it");
    return true;
  }
  report.Note("Network folder: " + folder.string());
  fs::directory_iterator it(folder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (modGlobal::IsNetworkFileName(name)) names->push_back(name);
  }
  if (ec) {
    report.Problem("cannot list " + folder.string() + ": " + ec.message());
    return false;
  }
  std::sort(names->begin(), names->end());
  return true;
}

// The file's network, or null with the problem reported.
std::unique_ptr<ServerNetworks> ReadNetwork(const fs::path& file, Report& report) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) {
    report.Problem(file.string() + ": not a regular file");
    return nullptr;
  }
  pugi::xml_document document;
  pugi::xml_parse_result result = document.load_file(file.c_str());
  if (!result) {
    report.Problem(XmlError::Describe(file, result));
    return nullptr;
  }
  auto network = modGlobal::ReadNetworkXML(file);
  if (!network) report.Problem(file.string() + ": no network element");
  return network;
}

// Checks one network against those read before it; false when a start
// would not serve it from its own listener.
bool CheckNetwork(const ServerNetworks& network, const std::string& file,
                  const std::vector<Found>& earlier, Report& report) {
  for (const Found& other : earlier) {
    if (TextCase::Equal(other.name, network.NetworkName)) {
      report.Problem(file + ": the network name \"" + network.NetworkName +
                     "\" is already defined by " + other.file);
      return false;
    }
  }
  if (network.Port <= 0 || network.Port > 65535) {
    report.Problem(file + ": network \"" + network.NetworkName + "\": port " +
                   (network.PortText.empty() ? "(none)" : network.PortText) +
                   " is not a port from 1 to 65535; a start loads it without a listener");
    return false;
  }
  for (const Found& other : earlier) {
    if (other.port == network.Port) {
      report.Problem(file + ": network \"" + network.NetworkName + "\" shares port " +
                     std::to_string(network.Port) + " with network \"" + other.name + "\" (" +
                     other.file + "); only one listener can bind it");
      return false;
    }
  }
  return true;
}

// Binds each port the way a listener does, and lets it go at once. A port
// that cannot be bound is a warning: the files are right, the host is busy,
// and a running server tries the port again by itself.
void TryPorts(const std::string& addresses, const std::vector<Found>& networks, Report& report) {
  std::string error;
  auto parsed = ServerSocket::ParseAddresses(addresses, &error);
  if (!parsed) return;  // reported with the setting
  asio::io_context context;
  for (const Found& network : networks) {
    for (const auto& ip : *parsed) {
      boost::system::error_code ec;
      asio::ip::tcp::endpoint endpoint(ip, static_cast<uint16_t>(network.port));
      asio::ip::tcp::acceptor acceptor(context);
      acceptor.open(endpoint.protocol(), ec);
      if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
      if (!ec && ip.is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
      if (!ec) acceptor.bind(endpoint, ec);
      if (ec) {
        report.Warning("network \"" + network.name + "\" cannot listen on " +
                       ServerSocket::EndpointText(ip, network.port) + ": " + ec.message() +
                       "; a running server tries again every 30 s and at each reload");
      }
    }
  }
}

}  // namespace

int ConfigCheck::Run(const fs::path& folder, std::ostream& out) {
  // The readers log as they go; a check must leave the live log alone.
  modGlobal::DiscardLogLines(true);
  Report report(out);
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    report.Problem("the data folder " + folder.string() + " is not a folder");
  } else {
    report.Note("Data folder: " + folder.string());
    CheckFolderRefusals(folder, report);
    AppSettings settings(folder / AppSettings::kFileName);
    CheckSettings(&settings, report);
    std::optional<std::string> address = BindAddress(settings, report);

    std::vector<std::string> names;
    const fs::path network_folder = folder / modGlobal::kNetworkFolderName;
    std::vector<Found> found, served;
    if (ListNetworkFiles(network_folder, &names, report)) {
      for (const std::string& name : names) {
        auto network = ReadNetwork(network_folder / name, report);
        if (!network) continue;
        bool own_listener = CheckNetwork(*network, name, found, report);
        found.push_back({network->NetworkName, name, network->Port});
        if (own_listener) served.push_back(found.back());
        report.Note("Network \"" + network->NetworkName + "\" (" + name + ", " +
                    (network->Enabled ? "enabled" : "disabled") +
                    "): " + Where(address, network->Port));
      }
      if (found.empty()) report.Note("No network file: a start serves no network");
    }
    if (pid_t holder = FolderLock::Holder(folder); holder > 0) {
      report.Note("Ports not tried: a running server, " + FolderLock::DescribeProcess(holder) +
                  ", holds this folder");
    } else {
      if (address) TryPorts(*address, served, report);
    }
  }
  std::string warnings =
      report.Warnings() == 0 ? std::string() : ", " + Count(report.Warnings(), "warning");
  if (report.Problems() == 0) {
    out << "No problem found" << warnings << ".\n";
    return 0;
  }
  out << Count(report.Problems(), "problem") << " found" << warnings << ".\n";
  return 1;
}

}  // namespace brelvint
