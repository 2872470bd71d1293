#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/ServerNetworks.h"

namespace brelvint {
namespace modGlobal {

// Name of the folder in the data folder that holds the network files.
inline constexpr const char kNetworkFolderName[] = "brelvint-server";

// True for a folder entry read as a network file: its name ends in "conf"
// (any letter case) and does not start with ".".
bool IsNetworkFileName(const std::string& name);

// Reads the network file at `path` into a new record whose Admins and Bans
// point at records of its Users. Null when the file cannot be parsed (the
// parser's description of the fault is logged) or has no network element
// (nothing is logged: the caller names the file). The memory the parser
// freed is handed back by LoadNetworks, once for all files.
std::unique_ptr<ServerNetworks> ReadNetworkXML(const std::filesystem::path& path);

// Logs that `file` is not applied because `first_file` already defines the
// network it names: "Network Skipped (its name is already defined by
// <first file>): <file>", both names escaped.
void LogSkippedFile(const std::string& first_file, const std::string& file);

// Reads every network file of the "brelvint-server" folder in the data
// folder and appends them to `into`.
void LoadNetworks(std::vector<std::unique_ptr<ServerNetworks>>& into);
// Reads every network file of `folder` (created when missing) and appends
// the networks to `into`, in byte order of the file names. A file that
// cannot be read is logged and skipped. A file naming a network (ignoring
// letter case) that an earlier file of this read defined is logged as
// "Network Skipped (its name is already defined by <first file>): <file>"
// and not appended. An empty `folder` means its place
// is unknown: that is logged and nothing is read.
// The paths of network files that could not be read go to `unreadable`
// when it is given. False when the folder itself cannot be listed (or,
// with `create` false, is missing): one line names the folder and the
// error, and nothing is read, so a reload can keep every network.
bool LoadNetworks(const std::filesystem::path& folder,
                  std::vector<std::unique_ptr<ServerNetworks>>& into,
                  std::vector<std::filesystem::path>* unreadable = nullptr, bool create = true);

}  // namespace modGlobal
}  // namespace brelvint
