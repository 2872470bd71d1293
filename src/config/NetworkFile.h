#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct stat;
struct timespec;

namespace brelvint {

// The login-time edit of one network file, and the names the file format
// shares with its reader.
//
// Write records a list of logins in the file with one atomic replace, so
// the logins of a moment cost at most one parse and exactly one write,
// however many there are.
//
// The edit works on the file's own bytes: pugixml checks the file and finds
// where each "User" element's "Name" and "LastIP" values sit and where the
// network element's children end; the cache keeps the text and those
// positions, not the document tree nor copies of the names (a copy is held
// only for a name the file spells with references, and for an added element
// until it is written). A write then copies the text and splices in only
// the changed values and the added elements, so the operator's declaration,
// comments, indentation, line ends, quoting and entity spelling come back
// exactly as written.
//
// The cache is never trusted blindly: a write never replaces bytes it has
// not read. Before the logins are applied, the file's identity on disk
// (device, inode, size, modification and change times) is compared with
// the one last read or written, and its bytes with the cached text where
// only the change time moved or the last status was taken in the clock
// tick of the file's last change (a change in that same tick can leave
// every time as it was); the file is read again when either differs. The
// same check is made just before the replace and on the file the replace
// displaced (see AtomicFile::ReplaceUnlessChanged): a file changed since it
// was read is read again and the logins applied to it. So an operator's
// edit is kept however and whenever it is made, even one that restored the
// size and the time.
//
// Owned by the thread that writes the file (see NetworkFileWriter); not
// thread-safe. The file is edited as UTF-8 bytes whatever its declaration
// says; a UTF-16 or UTF-32 file does not parse that way, reads as unusable
// and is left alone.
class NetworkFile {
 public:
  static constexpr const char kUserElement[] = "User";
  static constexpr const char kNameAttribute[] = "Name";
  static constexpr const char kLastIPAttribute[] = "LastIP";
  static constexpr const char kIsAdminAttribute[] = "IsAdmin";

  // One login to record: every element of that name (ignoring letter case)
  // gets the address as "LastIP", except administrators' elements, which
  // keep theirs; a name the file does not hold gets a new "User" element.
  struct Login {
    std::string name;
    std::string address;
  };

  // What Write did.
  enum class Outcome {
    kWritten,       // the file now holds every login
    kNoChange,      // the file already held every login: nothing was written
    kUnusable,      // the file cannot be read, parsed or has no network
                    // element: nothing was written
    kFailed,        // the replace failed (`error` says why); the file is as it was
    kKeptChanging,  // the file changed under every attempt; nothing was written
  };

  explicit NetworkFile(std::filesystem::path path);
  NetworkFile(const NetworkFile&) = delete;
  NetworkFile& operator=(const NetworkFile&) = delete;

  // The network element: the first element child of the document element;
  // empty when either is missing.
  static pugi::xml_node FindNetworkElement(const pugi::xml_document& document);
  // True for "User" in any letter case.
  static bool IsUserElement(std::string_view element_name);
  // `name` with ASCII letters lower-cased: user names are compared by this
  // key, so "Bob" and "BOB" are one user.
  static std::string NameKey(std::string_view name);
  // Orders names by NameKey without building keys.
  static bool NameLess(std::string_view a, std::string_view b);

  // Records `logins`, in order, in the file (read first when it changed) in
  // one atomic replace. Whatever the outcome, the cache holds no login
  // afterwards: logins not written are the caller's to keep and to pass
  // again, with any later ones, to the next Write. `may_replace`, when
  // given, is asked just before the file would be replaced: false holds
  // the replace back (kFailed, `error` kHeldBack) and nothing changes.
  Outcome Write(const std::vector<Login>& logins, std::string* error,
                const std::function<bool()>& may_replace = {});
  static constexpr const char kHeldBack[] = "the replace was held back";

  const std::filesystem::path& Path() const { return path_; }

 private:
  // What tells one version of the file from another without reading it.
  struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t mtime_seconds = 0;
    int64_t mtime_nanoseconds = 0;
    // The inode's change time: every write and every time set moves it, and
    // no tool can set it back. Not part of ==, which says "same size and
    // time".
    int64_t ctime_seconds = 0;
    int64_t ctime_nanoseconds = 0;
    // The change time was not older than the clock tick in which the status
    // was taken: a change later in that tick may have left every field as
    // it is, so only the bytes can tell.
    bool racy = false;
    // The same for the modification time.
    bool mtime_racy = false;
    bool operator==(const Identity& other) const;
    bool SameChangeTime(const Identity& other) const;
  };

  // One "User" element of the network element. Positions are byte offsets
  // into text_; 32 bits suffice, as a text bigger than a read accepts
  // (256 MiB) is not kept.
  struct UserTag {
    // For a written element: the byte range of its "LastIP" value (between
    // the quotes), or, when it has no "LastIP" attribute, the empty range
    // just after its last attribute, where one will be inserted.
    uint32_t begin = 0;
    uint32_t end = 0;
    // The "Name" value as written (empty when it has none); unused when
    // name_copied.
    uint32_t name_begin = 0;
    uint32_t name_end = 0;
    bool has_last_ip = false;
    // True for an element added since the last write; it then exists only
    // as its entries in names_ and addresses_ until Render writes it out.
    bool is_new = false;
    // Flagged as an administrator: its "LastIP" is what grants the rights,
    // so only the file's operator changes it.
    bool is_admin = false;
    // True when the name is held in names_.
    bool name_copied = false;
    // True when addresses_ holds a value for it, so a write looks up only
    // the tags that change.
    bool address_pending = false;
  };

  // The tags_ indexes of by_name_ against names, by NameLess.
  struct TagNameOrder;

  // `info` as an Identity, for a status taken no earlier than `clock` (the
  // coarse real-time clock, which file times follow).
  static Identity IdentityOf(const struct stat& info, const struct timespec& clock);
  static bool ReadIdentity(const std::filesystem::path& path, Identity* identity);
  // The whole file and its identity; false when it cannot be read.
  static bool ReadFile(const std::filesystem::path& path, std::string* text, Identity* identity);

  std::string_view TagName(uint32_t tag) const;
  // True when the tag's "LastIP" already is (or is about to become) `address`.
  bool HoldsAddress(uint32_t tag, const std::string& address) const;
  // Records one login in the cache; false when it changes nothing.
  bool Apply(const Login& login);
  // True when the cache holds the file as it is on disk, reading it first
  // when it changed; false when it cannot be read as a network.
  bool EnsureLoaded();
  // True when `file` holds exactly the cached text: by its identity where
  // that proves it, else by its bytes. The check of the file a replace
  // displaced (`displaced`) follows one of the target: that file's change
  // time moved with the swap, so its modification time, unchanged since
  // the check before, speaks for it.
  bool StillAsRead(const std::filesystem::path& file, bool displaced);
  // Takes the identity of the file just written; forgets the cache when
  // the file on disk is no longer the one written (`ours`, its status as
  // written).
  void NoteWritten(const struct stat& ours);
  bool Load();
  bool Locate(const pugi::xml_node& network);
  bool LocateInsertionPoint(const pugi::xml_node& network);
  void Forget();
  // The new file text; moves every position in tags_ and insert_at_ to it.
  std::string Render();

  const std::filesystem::path path_;
  bool loaded_ = false;
  Identity identity_;
  std::string text_;
  std::vector<UserTag> tags_;      // document order, then added elements
  std::vector<uint32_t> by_name_;  // tags_ indexes by name, one name's tags in tags_ order
  // Names not read from text_ (see UserTag::name_copied), by tags_ index.
  std::unordered_map<uint32_t, std::string> names_;
  // The "LastIP" values to write at the next Render, by tags_ index.
  std::unordered_map<uint32_t, std::string> addresses_;
  // Where added elements go: the start of the blank text that closes the
  // network element's content, else the start of its end tag, else (for a
  // self-closing network element, see network_self_closing_) its "/>".
  size_t insert_at_ = 0;
  bool network_self_closing_ = false;
  std::string network_element_name_;
  std::string indent_;  // the blank text before the last element child
  // The identity of the last version that could not be used, so an
  // unchanged broken file is not read and parsed again at every attempt.
  bool unusable_known_ = false;
  Identity unusable_;
  // The target's identity at the check just before a replace.
  Identity checked_;
};

}  // namespace brelvint
