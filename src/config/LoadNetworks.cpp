#include "config/LoadNetworks.h"

#include <malloc.h>

#include <algorithm>
#include <pugixml.hpp>
#include <string>
#include <system_error>

#include "base/LogMessage.h"
#include "base/Paths.h"
#include "base/TextCase.h"
#include "base/TextNumber.h"
#include "config/NetworkFile.h"

namespace brelvint {
namespace modGlobal {

namespace {

namespace fs = std::filesystem;

constexpr const char kReadingFiles[] = "Reading Network Files...";
constexpr const char kNoFolder[] = "Error Finding ApplicationData directory.";
constexpr const char kReadingComplete[] = "Network File Reading Complete.";
constexpr const char kCheckingIndex[] = "Checking Network Index: ";
constexpr const char kFolderUnreadable[] =
    "Network Folder Unreadable (every network stays as it is): ";
constexpr const char kReadingFile[] = "Reading Network File: ";
constexpr const char kNotNetworkFile[] =
    "Skipping File (a network file's name ends in conf and does not start with a dot): ";
constexpr const char kLoadError[] = "Error loading network: ";
constexpr const char kLoaded[] = "Loaded Network: ";
constexpr const char kParsed[] = "Network XML Parsed: ";
constexpr const char kSkippedBefore[] = "Network Skipped (its name is already defined by ";
constexpr const char kSkippedAfter[] = "): ";

// The name's last four characters, in any letter case.
constexpr const char kNetworkFileSuffix[] = "conf";

}  // namespace

bool IsNetworkFileName(const std::string& name) {
  const size_t suffix_length = sizeof(kNetworkFileSuffix) - 1;
  if (name.empty() || name[0] == '.' || name.size() < suffix_length) return false;
  return NetworkFile::NameKey(std::string_view(name).substr(name.size() - suffix_length)) ==
         kNetworkFileSuffix;
}

namespace {

// Parses `path`, refusing anything but a regular file (after symlinks)
// with the parser's own I/O error: a folder would otherwise read as "out of
// memory", and a FIFO would block start-up.
pugi::xml_parse_result LoadDocument(const fs::path& path, pugi::xml_document* document) {
  std::error_code ec;
  fs::file_status status = fs::status(path, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    pugi::xml_parse_result refused;
    refused.status = pugi::status_io_error;
    return refused;
  }
  return document->load_file(path.c_str());
}

std::unique_ptr<MapperUser> ReadUser(const pugi::xml_node& element) {
  auto user = std::make_unique<MapperUser>();
  user->Name = element.attribute(NetworkFile::kNameAttribute).value();
  user->IsAdmin = TextNumber::FileFlag(element.attribute(NetworkFile::kIsAdminAttribute).value());
  user->IsBanned = TextNumber::FileFlag(element.attribute("IsBanned").value());
  user->LastIP = element.attribute(NetworkFile::kLastIPAttribute).value();
  user->SetDetails(element.attribute("BanBy").value(), element.attribute("BanDate").value(),
                   element.attribute("BanReason").value(), element.attribute("UID").value());
  return user;
}

bool IsUserNode(const pugi::xml_node& node) {
  return node.type() == pugi::node_element && NetworkFile::IsUserElement(node.name());
}

// The sorted names of the folder's entries (symlinks listed as themselves);
// false, with `error` set, when the folder cannot be created (or, unless
// `create`, is missing) or listed.
bool ListFolder(const fs::path& folder, bool create, std::vector<std::string>* names,
                std::string* error) {
  std::error_code ec;
  if (create) fs::create_directories(folder, ec);
  if (!ec) {
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      names->push_back(it->path().filename().string());
    }
  }
  if (ec) {
    *error = ec.message();
    return false;
  }
  std::sort(names->begin(), names->end());
  return true;
}

}  // namespace

std::unique_ptr<ServerNetworks> ReadNetworkXML(const fs::path& path) {
  pugi::xml_document document;
  pugi::xml_parse_result result = LoadDocument(path, &document);
  if (!result) {
    LogMessage(result.description());
    return nullptr;
  }
  pugi::xml_node network = NetworkFile::FindNetworkElement(document);
  if (!network) return nullptr;

  auto record = std::make_unique<ServerNetworks>();
  // Counted first so the list is allocated once, at its final size.
  const auto user_nodes = network.children();
  record->Users.reserve(
      static_cast<size_t>(std::count_if(user_nodes.begin(), user_nodes.end(), IsUserNode)));
  for (pugi::xml_node child : user_nodes) {
    if (!IsUserNode(child)) continue;
    record->Users.push_back(ReadUser(child));
    MapperUser* user = record->Users.back().get();
    if (user->IsAdmin) record->Admins.push_back(user);
    if (user->IsBanned) record->Bans.push_back(user);
  }
  record->IndexAllUsers();
  record->NetworkName = network.attribute("name").value();
  record->Password = network.attribute("password").value();
  record->MaxUsers = TextNumber::Leading(network.attribute("maxusers").value());
  record->Enabled = TextNumber::FileFlag(network.attribute("enabled").value());
  record->Path = path;
  record->PortText = network.attribute("port").value();
  record->Port = TextNumber::Leading(record->PortText);
  LogMessage(kParsed + EscapeForLog(record->NetworkName));
  return record;
}

void LogSkippedFile(const std::string& first_file, const std::string& file) {
  LogMessage(kSkippedBefore + EscapeForLog(first_file) + kSkippedAfter + EscapeForLog(file));
}

void LoadNetworks(std::vector<std::unique_ptr<ServerNetworks>>& into) {
  std::optional<fs::path> executable_folder = Paths::DataFolder();
  LoadNetworks(executable_folder ? *executable_folder / kNetworkFolderName : fs::path(), into);
}

bool LoadNetworks(const fs::path& folder, std::vector<std::unique_ptr<ServerNetworks>>& into,
                  std::vector<fs::path>* unreadable, bool create) {
  LogMessage(kReadingFiles);
  if (folder.empty()) {
    LogMessage(kNoFolder);
    LogMessage(kReadingComplete);
    return false;
  }
  std::vector<std::string> names;
  // The file that defined each network of this read, by index into `into`.
  const size_t first_new = into.size();
  std::vector<std::string> defined_by;
  std::string error;
  bool listed = ListFolder(folder, create, &names, &error);
  if (!listed) LogMessage(kFolderUnreadable + EscapeForLog(folder.string()) + ": " + error);
  if (listed) {
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string logged_name = EscapeForLog(names[i]);
      LogMessage(kCheckingIndex + std::to_string(i + 1));
      if (!IsNetworkFileName(names[i])) {
        LogMessage(kNotNetworkFile + logged_name);
        continue;
      }
      LogMessage(kReadingFile + logged_name);
      std::unique_ptr<ServerNetworks> network = ReadNetworkXML(folder / names[i]);
      if (!network) {
        LogMessage(kLoadError + logged_name);
        if (unreadable != nullptr) unreadable->push_back(folder / names[i]);
        continue;
      }
      // The first file in byte order defines a network; a later file of the
      // same name would otherwise take over its password, users and file.
      auto same_name =
          std::find_if(into.begin() + static_cast<std::ptrdiff_t>(first_new), into.end(),
                       [&](const auto& defined) {
                         return TextCase::Equal(defined->NetworkName, network->NetworkName);
                       });
      if (same_name != into.end()) {
        const std::string& first_file =
            defined_by[static_cast<size_t>(same_name - into.begin()) - first_new];
        LogSkippedFile(first_file, names[i]);
        continue;
      }
      LogMessage(kLoaded + EscapeForLog(network->NetworkName));
      into.push_back(std::move(network));
      defined_by.push_back(names[i]);
    }
  }
  // The parsers' nodes, freed now, lie between the records: without a trim
  // that memory would stay resident for the life of the service.
  ::malloc_trim(0);
  LogMessage(kReadingComplete);
  return listed;
}

}  // namespace modGlobal
}  // namespace brelvint
