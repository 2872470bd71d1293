#include "config/NetworkFileWriter.h"

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "base/LogMessage.h"

namespace brelvint {

namespace {

constexpr const char kLoginsWait[] =
    "Network file {} cannot be read as a network; its logins wait until it can ({} so far)";
constexpr const char kCannotWrite[] =
    "Cannot write network file {} ({}); its logins are kept and tried again every second ({} so "
    "far)";
constexpr const char kWaitingWritten[] = "Network file {} written with the logins that waited ({})";
constexpr const char kNotWritten[] = "Login not written to {} before the stop: {} from {}";
constexpr const char kReplaceHung[] =
    "Network file {}: its replace did not end by the stop; {} logins may or may not be in it";
constexpr const char kMergingAtStop[] =
    "Logins not written to {} before the stop: {} being taken by the writer";

using Clock = std::chrono::steady_clock;

}  // namespace

NetworkFileWriter::NetworkFileWriter() = default;

NetworkFileWriter::~NetworkFileWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void NetworkFileWriter::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!thread_.joinable() && !stopping_) thread_ = std::thread([this] { Run(); });
}

void NetworkFileWriter::Submit(const std::filesystem::path& path,
                               std::vector<NetworkFile::Login> logins) {
  if (logins.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Queue(path, &logins);
  }
  work_.notify_one();
}

bool NetworkFileWriter::TrySubmit(const std::filesystem::path& path,
                                  std::vector<NetworkFile::Login>* logins) {
  if (logins->empty()) return true;
  {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    Queue(path, logins);
  }
  work_.notify_one();
  return true;
}

void NetworkFileWriter::Queue(const std::filesystem::path& path,
                              std::vector<NetworkFile::Login>* logins) {
  if (stopping_) return;
  std::unique_ptr<File>& file = files_[path];
  if (!file) file = std::make_unique<File>(path);
  if (file->queued.empty()) {
    file->queued.swap(*logins);
  } else {
    file->queued.insert(file->queued.end(), std::make_move_iterator(logins->begin()),
                        std::make_move_iterator(logins->end()));
  }
  logins->clear();
}

bool NetworkFileWriter::Flush(std::chrono::milliseconds limit) {
  bool all_written = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto& [path, file] : files_) {
      if (!file->queued.empty() || !file->taken.empty()) file->due_now = true;
    }
    work_.notify_one();
    if (thread_.joinable()) settled_.wait_for(lock, limit, [this] { return Settled(); });
    all_written = true;
    for (const auto& [path, file] : files_) {
      if (!file->queued.empty() || !file->taken.empty() || file->merging > 0) all_written = false;
    }
  }
  ReportLines(true);
  return all_written;
}

void NetworkFileWriter::ReportToLog() { ReportLines(false); }

void NetworkFileWriter::ReportLines(bool wait) {
  if (!has_log_lines_.load(std::memory_order_acquire)) return;
  std::vector<std::string> lines;
  {
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    if (wait) {
      lock.lock();
    } else if (!lock.try_lock()) {
      return;  // the next pass takes them
    }
    lines.swap(log_lines_);
    has_log_lines_.store(false, std::memory_order_release);
  }
  for (const std::string& line : lines) modGlobal::LogMessage(line);
}

bool NetworkFileWriter::Stop(std::chrono::milliseconds limit) {
  bool all_written = Flush(limit);
  bool busy = false;
  std::vector<std::string> lines;
  // From here no write puts its file in place: what is not written now
  // never will be, and the lines below say exactly what was lost.
  std::unique_lock<std::timed_mutex> commit(commit_mutex_, std::defer_lock);
  bool decided = commit.try_lock_for(kStopCommitWait);
  if (decided) abandoned_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const auto& [path, file] : files_) {
      busy = busy || file->busy;
      if (file->merging > 0) {
        lines.push_back(fmt::format(kMergingAtStop, path.string(), file->merging));
      }
      if (file->busy && !decided) {
        // A replace that hangs in the file system itself: it may yet land.
        lines.push_back(fmt::format(kReplaceHung, path.string(), file->taken.size()));
        all_written = false;
      }
      // A write that put its file in place before the decision took them.
      bool taken_written = file->busy && decided && file->landed;
      for (const auto* logins : {&file->taken, &file->queued}) {
        if (logins == &file->taken && (taken_written || (file->busy && !decided))) continue;
        for (const NetworkFile::Login& login : *logins) {
          lines.push_back(fmt::format(kNotWritten, path.string(),
                                      modGlobal::EscapeForLog(login.name), login.address));
        }
      }
    }
  }
  work_.notify_one();
  for (const std::string& line : lines) modGlobal::LogMessage(line);
  if (thread_.joinable()) {
    if (busy) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  return all_written;
}

size_t NetworkFileWriter::PendingLogins() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t pending = 0;
  for (const auto& [path, file] : files_) {
    pending += file->queued.size() + file->taken.size() + file->merging;
  }
  return pending;
}

std::vector<NetworkFile::Login> NetworkFileWriter::PendingFor(
    const std::filesystem::path& path) const {
  std::unique_lock<std::mutex> lock(mutex_);
  auto found = files_.find(path);
  if (found == files_.end()) return {};
  const File& file = *found->second;
  // Logins being merged are in neither list for that moment.
  settled_.wait(lock, [&file] { return file.merging == 0; });
  std::vector<NetworkFile::Login> pending = file.taken;
  pending.insert(pending.end(), file.queued.begin(), file.queued.end());
  return pending;
}

size_t NetworkFileWriter::Drop(const std::filesystem::path& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = files_.find(path);
  if (found == files_.end()) return 0;
  File& file = *found->second;
  size_t dropped = file.queued.size() + file.taken.size() + file.merging;
  file.queued.clear();
  file.due_now = false;
  if (file.busy) {
    file.dropped = dropped > 0;  // the thread reads `taken` unlocked until the attempt ends
  } else {
    file.taken.clear();  // its index follows at the next merge (the thread's alone)
    file.trouble = Trouble::kNone;
  }
  return dropped;
}

uint64_t NetworkFileWriter::Writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

void NetworkFileWriter::Run() {
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kThreadNice);
  // This thread runs at a lower priority than the loop, which waits for the
  // mutex at every pass: whatever costs more than a few moves (merging the
  // logins, freeing lists and caches) is done with the mutex released, so
  // the thread is never preempted while it holds the loop up.
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    std::vector<std::unique_ptr<File>> released;
    File* file = NextDue(Clock::now(), &released);
    if (!released.empty()) {
      lock.unlock();
      released.clear();
      lock.lock();
      continue;
    }
    if (file == nullptr) {
      Clock::time_point retry = NextRetry();
      if (retry == Clock::time_point::max()) {
        work_.wait(lock);
      } else {
        work_.wait_until(lock, retry);
      }
      continue;
    }
    std::vector<NetworkFile::Login> fresh;
    fresh.swap(file->queued);
    file->merging = fresh.size();
    file->busy = true;
    file->due_now = false;
    lock.unlock();
    std::vector<NetworkFile::Login> taken = Merged(*file, std::move(fresh));
    lock.lock();
    file->taken.swap(taken);
    file->merging = 0;
    settled_.notify_all();  // PendingFor may wait for the merge
    lock.unlock();
    taken.clear();  // the list it replaced
    std::string error;
    Clock::time_point began = Clock::now();
    std::unique_lock<std::timed_mutex> commit(commit_mutex_);
    file->landed = false;
    commit.unlock();
    auto may_replace = [this, &commit] {
      if (!commit.owns_lock()) commit.lock();
      return !abandoned_;
    };
    NetworkFile::Outcome outcome = file->cache.Write(file->taken, &error, may_replace);
    if (!commit.owns_lock()) commit.lock();
    file->landed =
        outcome == NetworkFile::Outcome::kWritten || outcome == NetworkFile::Outcome::kNoChange;
    commit.unlock();
    Clock::duration took = Clock::now() - began;
    lock.lock();
    file->busy = false;
    Settle(*file, outcome, error, took, &taken);
    if (file->dropped) {
      // Its network is gone: what this attempt did not write goes too.
      // Logins queued since the drop are a new network's, and stay.
      file->dropped = false;
      if (taken.empty()) taken.swap(file->taken);
      file->trouble = Trouble::kNone;
    }
    settled_.notify_all();
    if (!taken.empty()) {
      lock.unlock();
      taken.clear();
      std::unordered_map<std::string, size_t>().swap(file->taken_by_name);
      lock.lock();
    }
  }
}

NetworkFileWriter::File* NetworkFileWriter::NextDue(Clock::time_point now,
                                                    std::vector<std::unique_ptr<File>>* released) {
  // A removed network's file, or one nobody logs in to any more: its cache
  // would otherwise hold the file's text for the life of the service.
  for (auto it = files_.begin(); it != files_.end();) {
    const File& file = *it->second;
    bool idle = !file.busy && file.queued.empty() && file.taken.empty() &&
                now - file.last_used >= kIdleRelease;
    if (idle) {
      released->push_back(std::move(it->second));
      it = files_.erase(it);
    } else {
      ++it;
    }
  }
  if (!released->empty()) return nullptr;
  auto due = [now](const File& file) {
    if (file.busy) return false;
    bool pending = !file.queued.empty() || !file.taken.empty();
    // New logins for a file that could not be read try it again at once:
    // that costs a status unless the file changed. A failed replace waits
    // for its turn, or a storm would rewrite a big file in a busy loop.
    bool fresh = !file.queued.empty() && file.trouble == Trouble::kUnusable;
    return file.due_now || fresh || (pending && now >= file.retry_at);
  };
  // Taking turns from the file after the last one served, so a file that
  // is written all the time does not starve the others.
  auto it = files_.upper_bound(last_served_);
  for (size_t seen = 0; seen < files_.size(); ++seen, ++it) {
    if (it == files_.end()) it = files_.begin();
    if (due(*it->second)) {
      last_served_ = it->first;
      it->second->last_used = now;
      return it->second.get();
    }
  }
  return nullptr;
}

Clock::time_point NetworkFileWriter::NextRetry() const {
  Clock::time_point next = Clock::time_point::max();
  for (const auto& [path, file] : files_) {
    bool pending = !file->queued.empty() || !file->taken.empty();
    if (!file->busy && pending && file->retry_at < next) next = file->retry_at;
  }
  return next;
}

std::vector<NetworkFile::Login> NetworkFileWriter::Merged(File& file,
                                                          std::vector<NetworkFile::Login> fresh) {
  // Only this thread changes `taken` while the file is busy, so it may
  // read it unlocked. An empty one (written, or dropped) indexes nothing.
  if (file.taken.empty()) file.taken_by_name.clear();
  std::vector<NetworkFile::Login> merged = file.taken;
  for (NetworkFile::Login& login : fresh) {
    auto [it, added] =
        file.taken_by_name.try_emplace(NetworkFile::NameKey(login.name), merged.size());
    if (added) {
      merged.push_back(std::move(login));
    } else {
      // The same outcome as writing both in order: the element keeps the
      // first spelling of the name and takes the last address.
      merged[it->second].address = std::move(login.address);
    }
  }
  return merged;
}

void NetworkFileWriter::Settle(File& file, NetworkFile::Outcome outcome, const std::string& error,
                               Clock::duration took, std::vector<NetworkFile::Login>* written) {
  const Clock::time_point now = Clock::now();
  const std::string path = file.cache.Path().string();
  switch (outcome) {
    case NetworkFile::Outcome::kWritten:
    case NetworkFile::Outcome::kNoChange:
      if (file.trouble != Trouble::kNone) {
        QueueLine(fmt::format(kWaitingWritten, path, file.taken.size()));
      }
      file.trouble = Trouble::kNone;
      file.last_error.clear();
      file.retry_at = {};
      if (outcome == NetworkFile::Outcome::kWritten) {
        ++writes_;
        file.retry_at = now + std::max<Clock::duration>(kMinWriteSpacing, took);
      }
      // Handed out to be freed without the mutex, not cleared: a storm's
      // lists would otherwise stay.
      written->swap(file.taken);
      return;
    case NetworkFile::Outcome::kUnusable:
      if (file.trouble != Trouble::kUnusable) {
        QueueLine(fmt::format(kLoginsWait, path, file.taken.size()));
      }
      file.trouble = Trouble::kUnusable;
      file.retry_at = now + kRetryInterval;
      return;
    case NetworkFile::Outcome::kFailed:
      if (file.trouble != Trouble::kFailed || file.last_error != error) {
        QueueLine(fmt::format(kCannotWrite, path, error, file.taken.size()));
      }
      file.trouble = Trouble::kFailed;
      file.last_error = error;
      file.retry_at = now + kRetryInterval;
      return;
    case NetworkFile::Outcome::kKeptChanging:
      file.retry_at = now + kBusyRetryInterval;
      return;
  }
}

bool NetworkFileWriter::Settled() const {
  // Nothing is handed over meanwhile: Flush runs on the one thread that
  // submits.
  for (const auto& [path, file] : files_) {
    if (file->busy || file->due_now) return false;
  }
  return true;
}

void NetworkFileWriter::QueueLine(std::string line) {
  log_lines_.push_back(std::move(line));
  has_log_lines_.store(true, std::memory_order_release);
}

}  // namespace brelvint
