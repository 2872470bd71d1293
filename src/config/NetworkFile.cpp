#include "config/NetworkFile.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/TextCase.h"
#include "base/TextNumber.h"
#include "config/AtomicFile.h"

namespace brelvint {

namespace {

// Comments, declaration, instructions and blank text are all kept as nodes,
// so every byte of the network element's content belongs to some node.
constexpr unsigned kParseOptions = pugi::parse_full | pugi::parse_ws_pcdata;

// A network file bigger than this is not edited: reading it would cost more
// memory than any real network needs.
constexpr int64_t kMaxFileBytes = int64_t{256} << 20;

// Attempts of one Write against a file that keeps changing under it (an
// operator's script rewriting it in a loop); the caller tries again later.
constexpr int kMaxWriteRounds = 8;

constexpr size_t kNone = std::string_view::npos;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsBlank(std::string_view text) {
  for (char c : text) {
    if (!IsSpace(c)) return false;
  }
  return true;
}

// Appends `value` escaped for a quoted attribute value (either quote).
void AppendEscaped(std::string* out, std::string_view value) {
  for (char c : value) {
    switch (c) {
      case '&':
        *out += "&amp;";
        break;
      case '<':
        *out += "&lt;";
        break;
      case '>':
        *out += "&gt;";
        break;
      case '"':
        *out += "&quot;";
        break;
      case '\'':
        *out += "&apos;";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          *out += "&#" + std::to_string(static_cast<int>(c)) + ";";
        } else {
          out->push_back(c);
        }
    }
  }
}

// A start tag as written in the file.
struct StartTag {
  size_t attributes_end = 0;  // just past the last attribute, or the name
  size_t close = 0;           // where its "/>" or ">" starts
  bool self_closing = false;
  size_t last_ip_begin = kNone;  // the "LastIP" value, between the quotes
  size_t last_ip_end = kNone;
  size_t name_begin = kNone;  // the "Name" value, between the quotes
  size_t name_end = kNone;
};

// Scans the start tag whose name starts at `name_at`. The parser has already
// accepted the document, so only its layout is read here; false when that
// layout is not what was expected.
bool ScanStartTag(std::string_view text, size_t name_at, StartTag* tag) {
  size_t i = name_at;
  const size_t n = text.size();
  while (i < n && !IsSpace(text[i]) && text[i] != '/' && text[i] != '>') ++i;
  tag->attributes_end = i;
  for (;;) {
    while (i < n && IsSpace(text[i])) ++i;
    if (i >= n) return false;
    if (text[i] == '>' || text[i] == '/') {
      tag->close = i;
      tag->self_closing = text[i] == '/';
      return !tag->self_closing || (i + 1 < n && text[i + 1] == '>');
    }
    size_t name_begin = i;
    while (i < n && !IsSpace(text[i]) && text[i] != '=') ++i;
    std::string_view attribute = text.substr(name_begin, i - name_begin);
    while (i < n && IsSpace(text[i])) ++i;
    if (i >= n || text[i] != '=') return false;
    ++i;
    while (i < n && IsSpace(text[i])) ++i;
    if (i >= n || (text[i] != '"' && text[i] != '\'')) return false;
    size_t value_end = text.find(text[i], i + 1);
    if (value_end == kNone) return false;
    // Only the first: the reader takes the first of duplicated attributes too.
    if (attribute == NetworkFile::kLastIPAttribute && tag->last_ip_begin == kNone) {
      tag->last_ip_begin = i + 1;
      tag->last_ip_end = value_end;
    }
    if (attribute == NetworkFile::kNameAttribute && tag->name_begin == kNone) {
      tag->name_begin = i + 1;
      tag->name_end = value_end;
    }
    i = value_end + 1;
    tag->attributes_end = i;
  }
}

// Where `node` starts in `text`, from the parser's offset of its name or
// value; kNone when the parser cannot tell.
size_t NodeOffset(const pugi::xml_node& node) {
  ptrdiff_t offset = node.offset_debug();
  return offset < 0 ? kNone : static_cast<size_t>(offset);
}

// Just past the end of the text run that starts at `offset`: text holds no
// '<', so it ends where the next markup starts.
size_t TextEnd(std::string_view text, size_t offset) {
  return offset == kNone ? kNone : text.find('<', offset);
}

size_t PastTerminator(std::string_view text, size_t offset, std::string_view terminator) {
  if (offset == kNone) return kNone;
  size_t at = text.find(terminator, offset);
  return at == kNone ? kNone : at + terminator.size();
}

// Just past the whole of `node` (its end tag included); kNone when unknown.
// Walks down last children instead of recursing: an operator's file may nest
// deeply.
size_t NodeEnd(std::string_view text, pugi::xml_node node) {
  size_t open_elements = 0;
  while (node.type() == pugi::node_element && node.last_child()) {
    ++open_elements;
    node = node.last_child();
  }
  size_t offset = NodeOffset(node);
  size_t end = kNone;
  switch (node.type()) {
    case pugi::node_element: {
      StartTag tag;
      if (offset == kNone || !ScanStartTag(text, offset, &tag)) return kNone;
      end = tag.close + (tag.self_closing ? 2 : 1);
      if (!tag.self_closing) ++open_elements;
      break;
    }
    case pugi::node_pcdata:
      end = TextEnd(text, offset);
      break;
    case pugi::node_cdata:
      end = PastTerminator(text, offset, "]]>");
      break;
    case pugi::node_comment:
      end = PastTerminator(text, offset, "-->");
      break;
    case pugi::node_pi:
      end = PastTerminator(text, offset, "?>");
      break;
    default:
      return kNone;
  }
  // The end tags of the elements walked through follow directly; an end tag
  // holds no '>' before its last byte.
  for (; open_elements > 0 && end != kNone; --open_elements) {
    end = PastTerminator(text, end, ">");
  }
  return end;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

struct NetworkFile::TagNameOrder {
  const NetworkFile* file;
  bool operator()(uint32_t a, std::string_view b) const { return NameLess(file->TagName(a), b); }
  bool operator()(std::string_view a, uint32_t b) const { return NameLess(a, file->TagName(b)); }
  bool operator()(uint32_t a, uint32_t b) const {
    return NameLess(file->TagName(a), file->TagName(b));
  }
};

bool NetworkFile::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         mtime_seconds == other.mtime_seconds && mtime_nanoseconds == other.mtime_nanoseconds;
}

bool NetworkFile::Identity::SameChangeTime(const Identity& other) const {
  return ctime_seconds == other.ctime_seconds && ctime_nanoseconds == other.ctime_nanoseconds;
}

NetworkFile::NetworkFile(std::filesystem::path path) : path_(std::move(path)) {}

pugi::xml_node NetworkFile::FindNetworkElement(const pugi::xml_document& document) {
  pugi::xml_node root = document.document_element();
  if (!root) return {};
  for (pugi::xml_node child : root.children()) {
    if (child.type() == pugi::node_element) return child;
  }
  return {};
}

bool NetworkFile::IsUserElement(std::string_view element_name) {
  return TextCase::Equal(element_name, kUserElement);
}

std::string NetworkFile::NameKey(std::string_view name) { return TextCase::Lower(name); }

bool NetworkFile::NameLess(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(LowerAscii(x)) < static_cast<unsigned char>(LowerAscii(y));
  });
}

std::string_view NetworkFile::TagName(uint32_t index) const {
  const UserTag& tag = tags_[index];
  if (tag.name_copied) return names_.at(index);
  return std::string_view(text_).substr(tag.name_begin, tag.name_end - tag.name_begin);
}

bool NetworkFile::HoldsAddress(uint32_t index, const std::string& address) const {
  const UserTag& tag = tags_[index];
  if (tag.address_pending) return addresses_.at(index) == address;
  return !tag.is_new && tag.has_last_ip &&
         std::string_view(text_).substr(tag.begin, tag.end - tag.begin) == address;
}

bool NetworkFile::Apply(const Login& login) {
  const std::string& address = login.address;
  auto matches = std::equal_range(by_name_.begin(), by_name_.end(), std::string_view(login.name),
                                  TagNameOrder{this});
  if (matches.first != matches.second) {
    // A returning user at the address the file already holds changes
    // nothing: no write for it.
    // Nor does a login from elsewhere under an administrator's name: it
    // must not make the next start grant that address the rights.
    auto changes = [&](uint32_t i) { return !tags_[i].is_admin && !HoldsAddress(i, address); };
    if (std::none_of(matches.first, matches.second, changes)) return false;
    for (auto it = matches.first; it != matches.second; ++it) {
      if (!changes(*it)) continue;
      tags_[*it].address_pending = true;
      addresses_[*it] = address;
    }
    return true;
  }
  const auto index = static_cast<uint32_t>(tags_.size());
  UserTag tag;
  tag.is_new = true;
  tag.name_copied = true;
  tag.address_pending = true;
  tags_.push_back(tag);
  names_[index] = login.name;
  addresses_[index] = address;
  by_name_.insert(matches.second, index);
  return true;
}

NetworkFile::Outcome NetworkFile::Write(const std::vector<Login>& logins, std::string* error,
                                        const std::function<bool()>& may_replace) {
  bool held_back = false;
  for (int round = 0; round < kMaxWriteRounds; ++round) {
    if (!EnsureLoaded()) return Outcome::kUnusable;
    bool changed = false;
    for (const Login& login : logins) changed |= Apply(login);
    if (!changed) return Outcome::kNoChange;
    std::string text = Render();
    struct stat written {};
    AtomicFile::Outcome outcome = AtomicFile::ReplaceUnlessChanged(
        path_, text,
        [this, &may_replace, &held_back](const std::filesystem::path& file, bool displaced) {
          if (!displaced && may_replace && !may_replace()) {
            held_back = true;
            return false;
          }
          return StillAsRead(file, displaced);
        },
        error, &written);
    if (outcome == AtomicFile::Outcome::kReplaced) {
      text_ = std::move(text);
      // Positions are 32-bit: a text too big to be read again is not kept.
      if (text_.size() > static_cast<size_t>(kMaxFileBytes)) {
        Forget();
      } else {
        NoteWritten(written);
      }
      return Outcome::kWritten;
    }
    // Render moved every position to a text that was not written.
    Forget();
    if (outcome == AtomicFile::Outcome::kFailed) return Outcome::kFailed;
    if (held_back) {
      if (error != nullptr) *error = kHeldBack;
      return Outcome::kFailed;
    }
    // kChanged: read the operator's version and apply the logins to it.
  }
  return Outcome::kKeptChanging;
}

void NetworkFile::NoteWritten(const struct stat& ours) {
  Identity now;
  // The file just put in place is ours only while its inode, size and time
  // are: anything else is an edit made in the instant since, which the
  // next write must read.
  if (ReadIdentity(path_, &now) && now.device == static_cast<uint64_t>(ours.st_dev) &&
      now.inode == static_cast<uint64_t>(ours.st_ino) &&
      now.size == static_cast<int64_t>(ours.st_size) &&
      now.mtime_seconds == static_cast<int64_t>(ours.st_mtim.tv_sec) &&
      now.mtime_nanoseconds == static_cast<int64_t>(ours.st_mtim.tv_nsec)) {
    // Our modification time lies before the tick of our write, so an edit
    // in place since, even in that tick, moved it: the next check needs
    // only the status. (Should that time read as racy after all, the next
    // check reads the bytes once.)
    identity_ = now;
    identity_.racy = now.mtime_racy;
    return;
  }
  Forget();
}

namespace {

// The clock file times are taken from. Read before a status is taken, so a
// change time at or after it marks a status that a change later in the same
// tick could leave as it is.
struct timespec FileClock() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

}  // namespace

bool NetworkFile::ReadIdentity(const std::filesystem::path& path, Identity* identity) {
  struct timespec clock = FileClock();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  *identity = IdentityOf(info, clock);
  return true;
}

NetworkFile::Identity NetworkFile::IdentityOf(const struct stat& info,
                                              const struct timespec& clock) {
  Identity identity{
      static_cast<uint64_t>(info.st_dev),         static_cast<uint64_t>(info.st_ino),
      static_cast<int64_t>(info.st_size),         static_cast<int64_t>(info.st_mtim.tv_sec),
      static_cast<int64_t>(info.st_mtim.tv_nsec), static_cast<int64_t>(info.st_ctim.tv_sec),
      static_cast<int64_t>(info.st_ctim.tv_nsec), false};
  auto not_older = [&clock](const struct timespec& time) {
    return time.tv_sec > clock.tv_sec ||
           (time.tv_sec == clock.tv_sec && time.tv_nsec >= clock.tv_nsec);
  };
  identity.racy = not_older(info.st_ctim);
  identity.mtime_racy = not_older(info.st_mtim);
  return identity;
}

bool NetworkFile::ReadFile(const std::filesystem::path& path, std::string* text,
                           Identity* identity) {
  struct timespec clock = FileClock();
  // O_NONBLOCK: a FIFO named like a network file must not hang the service.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxFileBytes;
  if (ok) {
    *identity = IdentityOf(info, clock);
    // One spare byte, so reaching the end needs no regrowth.
    text->assign(static_cast<size_t>(info.st_size) + 1, '\0');
    size_t used = 0;
    for (;;) {
      if (used == text->size()) text->resize(text->size() + 4096);
      ssize_t n = ::read(fd, text->data() + used, text->size() - used);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      used += static_cast<size_t>(n);
      if (used > static_cast<size_t>(kMaxFileBytes)) {
        ok = false;
        break;
      }
    }
    text->resize(used);
  }
  ::close(fd);
  return ok;
}

bool NetworkFile::StillAsRead(const std::filesystem::path& file, bool displaced) {
  Identity now;
  if (!ReadIdentity(file, &now) || !(now == identity_)) return false;
  if (displaced) {
    // The swap follows the check by microseconds. A write since the check
    // moved the modification time past the check's tick, so where that time
    // was older it speaks for the file (only a tool setting the time back
    // within those microseconds would pass); reading the bytes instead
    // would leave an operator's file out of place longer before it is
    // swapped back.
    if (!checked_.mtime_racy && now == checked_) return true;
  } else {
    checked_ = now;
    // Untouched since it was read or written: no need to read it again,
    // which for a large file at every write of a storm would be costly.
    if (!identity_.racy && now.SameChangeTime(identity_)) return true;
  }
  // An edit in place that keeps the size and sets the time back (cp -p,
  // rsync --inplace -t, tar x) leaves size and time as they were, and one
  // made in the tick of the last status may leave every time as it was:
  // only the bytes tell, and trusting the cache would write the old text
  // back.
  std::string text;
  return ReadFile(file, &text, &now) && text == text_;
}

bool NetworkFile::EnsureLoaded() {
  if (loaded_) {
    Identity now;
    if (ReadIdentity(path_, &now) && now == identity_) {
      if (!identity_.racy && now.SameChangeTime(identity_)) return true;
      std::string text;
      if (ReadFile(path_, &text, &now) && text == text_) {
        // Only the change time moved (a chmod): the new one is kept, so the
        // next write need not read the file again.
        identity_ = now;
        return true;
      }
    }
  } else if (unusable_known_) {
    Identity now;
    if (ReadIdentity(path_, &now) && now == unusable_ && !unusable_.racy &&
        now.SameChangeTime(unusable_)) {
      return false;
    }
  }
  bool loaded = Load();
  // The parser's nodes, freed now, lie between the cache's allocations:
  // without a trim they would stay resident for the life of the service.
  ::malloc_trim(0);
  return loaded;
}

bool NetworkFile::Load() {
  Forget();
  std::string text;
  Identity identity;
  if (!ReadFile(path_, &text, &identity)) return false;
  unusable_known_ = true;
  unusable_ = identity;
  pugi::xml_document document;
  // Parsed as UTF-8 whatever the declaration says, so the parser's offsets
  // are offsets into `text`.
  if (!document.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8)) {
    return false;
  }
  pugi::xml_node network = FindNetworkElement(document);
  if (!network) return false;
  text_ = std::move(text);
  if (!Locate(network)) {
    Forget();
    return false;
  }
  unusable_known_ = false;
  identity_ = identity;
  loaded_ = true;
  return true;
}

bool NetworkFile::Locate(const pugi::xml_node& network) {
  auto is_user = [](const pugi::xml_node& node) {
    return node.type() == pugi::node_element && IsUserElement(node.name());
  };
  // Counted first: the cache lives as long as the service, so its lists
  // are allocated once at their size.
  const auto children = network.children();
  tags_.reserve(static_cast<size_t>(std::count_if(children.begin(), children.end(), is_user)));
  for (pugi::xml_node child : children) {
    if (!is_user(child)) continue;
    StartTag start;
    size_t offset = NodeOffset(child);
    if (offset == kNone || !ScanStartTag(text_, offset, &start)) return false;
    const auto index = static_cast<uint32_t>(tags_.size());
    UserTag tag;
    tag.has_last_ip = start.last_ip_begin != kNone;
    tag.begin = static_cast<uint32_t>(tag.has_last_ip ? start.last_ip_begin : start.attributes_end);
    tag.end = static_cast<uint32_t>(tag.has_last_ip ? start.last_ip_end : start.attributes_end);
    // Without a "Name", an empty range inside the tag, so it moves with it.
    tag.name_begin = static_cast<uint32_t>(start.name_begin != kNone ? start.name_begin : offset);
    tag.name_end = static_cast<uint32_t>(start.name_begin != kNone ? start.name_end : offset);
    std::string_view name = child.attribute(kNameAttribute).value();
    if (std::string_view(text_).substr(tag.name_begin, tag.name_end - tag.name_begin) != name) {
      tag.name_copied = true;  // written with entities or line ends the parser turned
      names_.emplace(index, std::string(name));
    }
    tag.is_admin = TextNumber::FileFlag(child.attribute(kIsAdminAttribute).value());
    tags_.push_back(tag);
  }
  by_name_.resize(tags_.size());
  for (uint32_t i = 0; i < by_name_.size(); ++i) by_name_[i] = i;
  std::stable_sort(by_name_.begin(), by_name_.end(), TagNameOrder{this});
  return LocateInsertionPoint(network);
}

bool NetworkFile::LocateInsertionPoint(const pugi::xml_node& network) {
  pugi::xml_node last = network.last_child();
  if (!last) {
    StartTag start;
    size_t offset = NodeOffset(network);
    if (offset == kNone || !ScanStartTag(text_, offset, &start)) return false;
    network_self_closing_ = start.self_closing;
    if (network_self_closing_) network_element_name_ = network.name();
    insert_at_ = network_self_closing_ ? start.close : start.close + 1;
    return true;
  }

  // Added elements go before the blank text that closes the content, so
  // the end tag keeps its own indentation.
  size_t last_offset = NodeOffset(last);
  size_t last_text_end = TextEnd(text_, last_offset);
  if (last.type() == pugi::node_pcdata && last_text_end != kNone &&
      IsBlank(std::string_view(text_).substr(last_offset, last_text_end - last_offset))) {
    insert_at_ = last_offset;
  } else {
    insert_at_ = NodeEnd(text_, last);
    if (insert_at_ == kNone) return false;
  }

  pugi::xml_node last_element = network.last_child();
  while (last_element && last_element.type() != pugi::node_element) {
    last_element = last_element.previous_sibling();
  }
  pugi::xml_node before = last_element.previous_sibling();
  if (before.type() == pugi::node_pcdata) {
    size_t offset = NodeOffset(before);
    size_t end = TextEnd(text_, offset);
    if (end != kNone) {
      std::string_view blank = std::string_view(text_).substr(offset, end - offset);
      if (IsBlank(blank)) indent_ = blank;
    }
  }
  return true;
}

void NetworkFile::Forget() {
  loaded_ = false;
  text_.clear();
  text_.shrink_to_fit();
  tags_.clear();
  tags_.shrink_to_fit();
  by_name_.clear();
  by_name_.shrink_to_fit();
  names_.clear();
  addresses_.clear();
  insert_at_ = 0;
  network_self_closing_ = false;
  network_element_name_.clear();
  indent_.clear();
}

std::string NetworkFile::Render() {
  std::string out;
  out.reserve(text_.size() + 64 * addresses_.size());
  size_t copied = 0;
  auto copy_up_to = [&](size_t position) {
    out.append(text_, copied, position - copied);
    copied = position;
  };
  // Writes an attribute value and notes where it now sits.
  auto append_value = [&](const std::string& value, uint32_t* begin, uint32_t* end) {
    *begin = static_cast<uint32_t>(out.size());
    AppendEscaped(&out, value);
    *end = static_cast<uint32_t>(out.size());
  };

  bool adding = false;
  for (uint32_t i = 0; i < tags_.size(); ++i) {
    UserTag& tag = tags_[i];
    if (tag.is_new) {
      adding = true;
      continue;
    }
    copy_up_to(tag.begin);
    const size_t old_begin = tag.begin;
    const size_t old_end = tag.end;
    // How far positions move: those before the value by what was spliced
    // earlier, those after it by that and this splice too.
    const int64_t shift_before = static_cast<int64_t>(out.size()) - static_cast<int64_t>(old_begin);
    int64_t shift_after = shift_before;
    if (!tag.address_pending) {
      tag.begin = static_cast<uint32_t>(old_begin + shift_before);
      tag.end = static_cast<uint32_t>(old_end + shift_before);
    } else {
      if (!tag.has_last_ip) {
        out += ' ';
        out += kLastIPAttribute;
        out += "=\"";
      }
      append_value(addresses_.at(i), &tag.begin, &tag.end);
      if (!tag.has_last_ip) out += '"';
      copied = old_end;
      shift_after = static_cast<int64_t>(out.size()) - static_cast<int64_t>(old_end);
      tag.has_last_ip = true;
      tag.address_pending = false;
    }
    // The name sits wholly before or wholly after the value.
    const int64_t shift = tag.name_begin < old_begin ? shift_before : shift_after;
    tag.name_begin = static_cast<uint32_t>(tag.name_begin + shift);
    tag.name_end = static_cast<uint32_t>(tag.name_end + shift);
  }

  copy_up_to(insert_at_);
  if (adding && network_self_closing_) {
    out += '>';
    copied += 2;  // the "/>"
  }
  for (uint32_t i = 0; i < tags_.size(); ++i) {
    UserTag& tag = tags_[i];
    if (!tag.is_new) continue;
    out += indent_;
    out += '<';
    out += kUserElement;
    out += ' ';
    out += kLastIPAttribute;
    out += "=\"";
    append_value(addresses_.at(i), &tag.begin, &tag.end);
    out += "\" ";
    out += kNameAttribute;
    out += "=\"";
    auto name = names_.find(i);
    append_value(name->second, &tag.name_begin, &tag.name_end);
    out += "\"/>";
    tag.has_last_ip = true;
    tag.is_new = false;
    tag.address_pending = false;
    // From now on the name is read from the text, unless escaping changed it.
    if (tag.name_end - tag.name_begin == name->second.size()) {
      tag.name_copied = false;
      names_.erase(name);
    }
  }
  insert_at_ = out.size();
  if (adding && network_self_closing_) {
    out += "</" + network_element_name_ + ">";
    network_self_closing_ = false;
  }
  copy_up_to(text_.size());
  // Swapped out rather than cleared: a login storm's buckets would
  // otherwise stay for the life of the service.
  std::unordered_map<uint32_t, std::string>().swap(addresses_);
  return out;
}

}  // namespace brelvint
