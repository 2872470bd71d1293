#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct stat;

namespace brelvint {

// The login-time edit of one network file, and the names the file format
// shares with its reader.
//
// Logins are applied to a cached copy of the file and written together by
// Commit, so the logins of one loop pass cost at most one parse and exactly
// one write, however many there are.
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
// While logins are pending the cache is trusted as it is. Otherwise the next
// login compares the file's identity on disk (device, inode, size,
// modification time to the nanosecond) with the one last read or written,
// and, when that matches, its bytes with the cached text; it reads the file
// again when either differs, so an operator's edit made between loop passes
// is kept, even one that restored the size and the time.
//
// Owned by one ServerNetworks; not thread-safe. The file is edited as UTF-8
// bytes whatever its declaration says; a UTF-16 or UTF-32 file does not
// parse that way, reads as unusable and is left alone.
class NetworkFile {
 public:
  static constexpr const char kUserElement[] = "User";
  static constexpr const char kNameAttribute[] = "Name";
  static constexpr const char kLastIPAttribute[] = "LastIP";
  static constexpr const char kIsAdminAttribute[] = "IsAdmin";

  // What RecordLogin did.
  enum class Login {
    kUnusable,   // the file cannot be read, parsed or has no network element
    kUnchanged,  // every element of that name already holds the address, or is
                 // an administrator's, which keeps its own: nothing to write
    kUpdated,    // every element of that name got the new "LastIP", except
                 // administrators' elements, which keep theirs
    kAdded,      // no element had that name: a new "User" element was added
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

  // Records a login in the cached file (reading the file first when needed).
  // Nothing is written until Commit.
  Login RecordLogin(const std::string& user_name, const std::string& address);
  bool HasPendingEdits() const { return !pending_logins_.empty(); }

  // Writes every recorded login in one atomic replace. True when there was
  // nothing to write or the write succeeded. On failure the file on disk is
  // unchanged, the user names of the lost logins (in login order) are moved
  // into `lost`, and the cache is dropped, so the next login starts again
  // from the file on disk.
  bool Commit(std::vector<std::string>* lost);

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
    bool operator==(const Identity& other) const;
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
    // as its entries in names_ and addresses_ until Commit renders it.
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

  static Identity IdentityOf(const struct stat& info);
  static bool ReadIdentity(const std::filesystem::path& path, Identity* identity);

  std::string_view TagName(uint32_t tag) const;
  // True when the tag's "LastIP" already is (or is about to become) `address`.
  bool HoldsAddress(uint32_t tag, const std::string& address) const;
  bool EnsureLoaded();
  // True when the file on disk is the cached text.
  bool Unchanged() const;
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
  // The "LastIP" values to write at the next commit, by tags_ index.
  std::unordered_map<uint32_t, std::string> addresses_;
  // Where added elements go: the start of the blank text that closes the
  // network element's content, else the start of its end tag, else (for a
  // self-closing network element, see network_self_closing_) its "/>".
  size_t insert_at_ = 0;
  bool network_self_closing_ = false;
  std::string network_element_name_;
  std::string indent_;  // the blank text before the last element child
  std::vector<std::string> pending_logins_;
};

}  // namespace brelvint
