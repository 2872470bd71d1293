#include "hub/StrangerGuard.h"

#include <fmt/format.h>

#include "base/LogMessage.h"
#include "base/Metrics.h"
#include "protocol/PeerAddress.h"

namespace brelvint {

StrangerGuard::Source& StrangerGuard::SourceOf(const std::string& address) {
  return sources_[PeerAddress::CountingKey(address)];
}

bool StrangerGuard::MayOpen(const std::string& address) {
  if (MaxConnectionsPerAddress <= 0) return true;
  std::string key = PeerAddress::CountingKey(address);
  auto found = sources_.find(key);
  if (found == sources_.end() || found->second.open < MaxConnectionsPerAddress) return true;
  ++Metrics::Process().address_refusals;
  Source& source = found->second;
  auto now = Clock::now();
  // Once per episode, and at most once per log window: connections that
  // come and go keep the count swinging around the limit.
  if (!source.full && (!source.full_logged_once || now - source.full_logged >= kLogWindow)) {
    source.full_logged_once = true;
    source.full_logged = now;
    source.full = true;
    modGlobal::LogMessage(
        fmt::format(kAddressFullLog, modGlobal::EscapeForLog(key), found->second.open));
  }
  return false;
}

void StrangerGuard::Opened(const std::string& address) { ++SourceOf(address).open; }

void StrangerGuard::Settled(const std::string& address) {
  auto found = sources_.find(PeerAddress::CountingKey(address));
  if (found == sources_.end() || found->second.open == 0) return;
  Source& source = found->second;
  --source.open;
  // Over once the source has clearly thinned, so a steady flood at the
  // limit is logged once rather than at every close.
  if (source.open <= MaxConnectionsPerAddress / 2) source.full = false;
}

uint32_t StrangerGuard::OpenFrom(const std::string& address) const {
  auto found = sources_.find(PeerAddress::CountingKey(address));
  return found == sources_.end() ? 0 : found->second.open;
}

bool StrangerGuard::TakeLine(const std::string& address, Clock::time_point now) {
  Source& source = SourceOf(address);
  if (source.lines == 0 && source.left_out == 0) source.log_window = now;
  if (source.lines < kLinesPerWindow) {
    ++source.lines;
    return true;
  }
  ++source.left_out;
  ++Metrics::Process().stranger_lines_left_out;
  return false;
}

bool StrangerGuard::MayEnrol(const std::string& address, Clock::time_point now) {
  if (MaxNewNamesPerAddress <= 0 || PeerAddress::IsLoopback(address)) return true;
  Source& source = SourceOf(address);
  if (source.enrolled == 0 || now - source.enrol_window >= kEnrolWindow) {
    source.enrolled = 0;
    source.enrol_refusal_logged = false;
    source.enrol_window = now;
  }
  if (source.enrolled < MaxNewNamesPerAddress) {
    ++source.enrolled;
    return true;
  }
  if (!source.enrol_refusal_logged) {
    source.enrol_refusal_logged = true;
    modGlobal::LogMessage(fmt::format(kEnrolmentsRefusedLog,
                                      modGlobal::EscapeForLog(PeerAddress::CountingKey(address)),
                                      source.enrolled));
  }
  return false;
}

void StrangerGuard::Sweep(Clock::time_point now) {
  for (auto it = sources_.begin(); it != sources_.end();) {
    Source& source = it->second;
    if ((source.lines > 0 || source.left_out > 0) && now - source.log_window >= kLogWindow) {
      if (source.left_out > 0) {
        modGlobal::LogMessage(
            fmt::format(kLinesLeftOutLog, modGlobal::EscapeForLog(it->first), source.left_out));
      }
      source.lines = 0;
      source.left_out = 0;
    }
    if (source.enrolled > 0 && now - source.enrol_window >= kEnrolWindow) source.enrolled = 0;
    bool idle = source.open == 0 && source.lines == 0 && source.left_out == 0 &&
                source.enrolled == 0 && now - source.full_logged >= kLogWindow;
    it = idle ? sources_.erase(it) : std::next(it);
  }
}

}  // namespace brelvint
