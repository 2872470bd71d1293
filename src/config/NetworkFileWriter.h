#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/NetworkFile.h"

namespace brelvint {

// Writes the logins recorded at network files on a thread of its own, so no
// player waits on a disk: the loop hands over the logins of each pass
// (Submit) and goes on. The records in memory hold those logins at once;
// the file follows, usually within milliseconds.
//
// Per file, the writer keeps every login not yet written and writes them
// all in one atomic replace (NetworkFile::Write, which never replaces bytes
// it has not read): logins that arrive while a write is under way wait for
// the next one, which takes them together, so a storm costs a few writes,
// never one per login, and a file never has two writes in flight. A later
// login of a name takes the place of its earlier one.
//
// A login is never dropped but with its network (Drop, when a reload
// removes it, so it never lands in a file that takes that one's place):
//   - a file that cannot be read as a network (an operator's editor halfway
//     through rewriting it, a file moved away) keeps its logins until it
//     can, tried again at the file's next login, at Flush and every second;
//     one log line says that they wait, one that they were written;
//   - a replace that fails (a full disk, a folder made read-only) is logged
//     once per reason and tried again every second and at Flush; its
//     success is logged.
// What waits is part of what a reload compares (PendingFor).
//
// Owned by App, one for every network file of the service. The thread runs
// from Start to Stop (or destruction). Submit, Flush, ReportToLog and Stop
// are called from one thread, the loop's; log lines are queued by the
// writer's thread and written by ReportToLog on the caller's, as the log
// belongs to the loop. Logins reach their file within kMinWriteSpacing and
// a write, normally.
class NetworkFileWriter {
 public:
  // How long a file that could not take its logins waits for its next try.
  static constexpr std::chrono::milliseconds kRetryInterval{1000};
  // How long one that changed under every attempt of a write waits.
  static constexpr std::chrono::milliseconds kBusyRetryInterval{10};
  // A file without logins this long has its cache released.
  static constexpr std::chrono::minutes kIdleRelease{10};
  // A file is written again this long after a write at the soonest, or as
  // long as that write took when longer: under a storm of logins the
  // writer spends at most about half its time on one file, and each write
  // takes all the logins of the pause.
  static constexpr std::chrono::milliseconds kMinWriteSpacing{50};
  // The thread's niceness: on a machine short of cores the files wait, not
  // the loop that serves every player.
  static constexpr int kThreadNice = 10;

  NetworkFileWriter();
  // Ends the thread after the write under way; logins still pending are
  // dropped without a word, so the owner calls Stop first.
  ~NetworkFileWriter();
  NetworkFileWriter(const NetworkFileWriter&) = delete;
  NetworkFileWriter& operator=(const NetworkFileWriter&) = delete;

  // Starts the thread; logins submitted before wait for it.
  void Start();
  // Hands over logins for the file at `path`, oldest first. Returns at
  // once (after the writer's thread lets go of its mutex, which it holds
  // only for moments); ignored after Stop.
  void Submit(const std::filesystem::path& path, std::vector<NetworkFile::Login> logins);
  // Submit that never waits, for the loop's passes: false, with `logins`
  // left as they were, when the writer's thread holds its mutex just then;
  // the caller offers them again at its next pass.
  bool TrySubmit(const std::filesystem::path& path, std::vector<NetworkFile::Login>* logins);
  // Tries every file with logins pending now and waits, at most `limit`,
  // until each has been written or has failed again; then ReportToLog.
  // True when nothing is left pending.
  bool Flush(std::chrono::milliseconds limit);
  // Writes to the log the lines the writer's thread queued; never waits
  // (lines the thread is queuing at that moment wait for the next call).
  void ReportToLog();
  // The end of the service: Flush, then one log line for each login not
  // written, then the thread ends. A write still under way at the limit
  // (a disk that hangs) is held back from replacing its file from then on,
  // so its logins are reported as lost exactly when they are; its thread
  // is left to end with the process, and the temporary file it may leave
  // is removed at the next start (AtomicFile::RemoveStale). Only a replace
  // itself hung for kStopCommitWait leaves its logins unknown, and says
  // so. The writer must outlive the thread, as App's does. True when
  // everything was written.
  bool Stop(std::chrono::milliseconds limit);
  // How long Stop waits for a replace under way to finish.
  static constexpr std::chrono::milliseconds kStopCommitWait{1000};

  // Logins handed over and not yet in their files.
  size_t PendingLogins() const;
  // The logins handed over for `path` and not yet in it, in the order
  // they will be applied: what the file will hold once they land. A reload
  // applies them to its reread of the file. Waits only while the writer
  // is moving them between its lists (moments).
  std::vector<NetworkFile::Login> PendingFor(const std::filesystem::path& path) const;
  // Forgets the logins handed over for `path` and not yet written (its
  // network was removed: they must never land in a file that takes its
  // place); a write under way keeps the file, and drops them after. The
  // number of logins dropped.
  size_t Drop(const std::filesystem::path& path);
  // Files replaced so far.
  uint64_t Writes() const;

 private:
  // Why a file's logins are still pending after an attempt.
  enum class Trouble { kNone, kUnusable, kFailed };

  struct File {
    explicit File(const std::filesystem::path& path) : cache(path) {}
    NetworkFile cache;  // the writer thread's alone
    // Handed over and not yet taken by the thread.
    std::vector<NetworkFile::Login> queued;
    // Taken by the thread and not yet written. The thread reads it without
    // the mutex while the file is busy, so only the thread changes it then
    // (under the mutex); others read it under the mutex, and Drop clears it
    // when the file is not busy.
    std::vector<NetworkFile::Login> taken;
    // Taken by the thread from queued and being added to taken.
    size_t merging = 0;
    // NameKey -> index in taken; the thread's alone.
    std::unordered_map<std::string, size_t> taken_by_name;
    bool busy = false;     // the thread is writing it
    bool dropped = false;  // Drop came while busy: the logins go after the attempt
    // The attempt under way put the file in place. Guarded by commit_mutex_.
    bool landed = false;
    bool due_now = false;  // Flush asked for an attempt
    std::chrono::steady_clock::time_point retry_at{};
    std::chrono::steady_clock::time_point last_used{};  // its last attempt
    Trouble trouble = Trouble::kNone;
    std::string last_error;
  };

  void Run();
  // The next file to write, taking turns; null when none is due. Idle
  // files are moved to `released`, to be freed without the mutex (null is
  // then returned). Under the mutex.
  File* NextDue(std::chrono::steady_clock::time_point now,
                std::vector<std::unique_ptr<File>>* released);
  // The earliest retry of a file waiting for one; max() when none.
  std::chrono::steady_clock::time_point NextRetry() const;
  // `taken` with the `fresh` logins added, a later login of a name taking
  // the place of its earlier one. The writer's thread, without the mutex.
  static std::vector<NetworkFile::Login> Merged(File& file, std::vector<NetworkFile::Login> fresh);
  // Records the outcome of an attempt that took `took`; after a write,
  // `written` receives the logins written, to be freed without the mutex.
  // Under the mutex.
  void Settle(File& file, NetworkFile::Outcome outcome, const std::string& error,
              std::chrono::steady_clock::duration took, std::vector<NetworkFile::Login>* written);
  // True when no file waits for an attempt Flush asked for. Under the mutex.
  bool Settled() const;
  void QueueLine(std::string line);
  // Submit's work. Under the mutex.
  void Queue(const std::filesystem::path& path, std::vector<NetworkFile::Login>* logins);
  // ReportToLog, waiting for the mutex when `wait`.
  void ReportLines(bool wait);

  // Held by the thread from the check just before a replace until the
  // replace is done and `landed` says so, and by Stop when it decides
  // what was lost: a replace happens before Stop's decision or never.
  std::timed_mutex commit_mutex_;
  bool abandoned_ = false;  // guarded by commit_mutex_: no replace from now on
  mutable std::mutex mutex_;
  std::condition_variable work_;  // to the thread: logins or a request
  // From the thread: an attempt ended, or logins were merged.
  mutable std::condition_variable settled_;
  std::map<std::filesystem::path, std::unique_ptr<File>> files_;
  std::filesystem::path last_served_;
  std::vector<std::string> log_lines_;
  std::atomic<bool> has_log_lines_{false};
  bool stopping_ = false;
  uint64_t writes_ = 0;
  std::thread thread_;
};

}  // namespace brelvint
