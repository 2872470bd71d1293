#include "config/NetworkFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "config/AtomicFile.h"
#include "base/TextNumber.h"
#include "base/TextCase.h"

namespace brelvint {

namespace {

// Comments, declaration, instructions and blank text are all kept as nodes,
// so every byte of the network element's content belongs to some node.
constexpr unsigned kParseOptions = pugi::parse_full | pugi::parse_ws_pcdata;

// A network file bigger than this is not edited: reading it would cost more
// memory than any real network needs.
constexpr int64_t kMaxFileBytes = int64_t{256} << 20;

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
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      case '\'': *out += "&apos;"; break;
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
    case pugi::node_pcdata: end = TextEnd(text, offset); break;
    case pugi::node_cdata: end = PastTerminator(text, offset, "]]>"); break;
    case pugi::node_comment: end = PastTerminator(text, offset, "-->"); break;
    case pugi::node_pi: end = PastTerminator(text, offset, "?>"); break;
    default: return kNone;
  }
  // The end tags of the elements walked through follow directly; an end tag
  // holds no '>' before its last byte.
  for (; open_elements > 0 && end != kNone; --open_elements) {
    end = PastTerminator(text, end, ">");
  }
  return end;
}

bool ReadFile(const std::filesystem::path& path, std::string* text, struct stat* info) {
  // O_NONBLOCK: a FIFO named like a network file must not hang the service.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool ok = ::fstat(fd, info) == 0 && S_ISREG(info->st_mode) && info->st_size <= kMaxFileBytes;
  if (ok) {
    // One spare byte, so reaching the end needs no regrowth.
    text->assign(static_cast<size_t>(info->st_size) + 1, '\0');
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

}  // namespace

bool NetworkFile::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         mtime_seconds == other.mtime_seconds && mtime_nanoseconds == other.mtime_nanoseconds;
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

bool NetworkFile::HoldsAddress(const UserTag& tag, const std::string& address) const {
  if (tag.address) return *tag.address == address;
  return !tag.is_new && tag.has_last_ip &&
         std::string_view(text_).substr(tag.begin, tag.end - tag.begin) == address;
}

NetworkFile::Login NetworkFile::RecordLogin(const std::string& user_name,
                                            const std::string& address) {
  if (!EnsureLoaded()) return Login::kUnusable;
  std::vector<size_t>& matches = tags_by_name_[NameKey(user_name)];
  if (!matches.empty()) {
    // A returning user at the address the file already holds changes
    // nothing: no write for it.
    // Nor does a login from elsewhere under an administrator's name: it
    // must not make the next start grant that address the rights.
    auto changes = [&](size_t i) { return !tags_[i].is_admin && !HoldsAddress(tags_[i], address); };
    if (std::none_of(matches.begin(), matches.end(), changes)) return Login::kUpdated;
    pending_logins_.push_back(user_name);
    for (size_t i : matches) {
      if (changes(i)) tags_[i].address = address;
    }
    return Login::kUpdated;
  }
  pending_logins_.push_back(user_name);
  UserTag tag;
  tag.is_new = true;
  tag.name = user_name;
  tag.address = address;
  tags_.push_back(std::move(tag));
  matches.push_back(tags_.size() - 1);
  return Login::kAdded;
}

bool NetworkFile::Commit(std::vector<std::string>* lost) {
  if (!HasPendingEdits()) return true;
  std::string text = Render();
  if (!AtomicFile::Replace(path_, text)) {
    *lost = std::move(pending_logins_);
    Forget();
    return false;
  }
  text_ = std::move(text);
  pending_logins_.clear();
  if (!ReadIdentity(path_, &identity_)) Forget();
  return true;
}

bool NetworkFile::ReadIdentity(const std::filesystem::path& path, Identity* identity) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  *identity = IdentityOf(info);
  return true;
}

NetworkFile::Identity NetworkFile::IdentityOf(const struct stat& info) {
  return Identity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                  static_cast<int64_t>(info.st_size), static_cast<int64_t>(info.st_mtim.tv_sec),
                  static_cast<int64_t>(info.st_mtim.tv_nsec)};
}

bool NetworkFile::EnsureLoaded() {
  if (loaded_) {
    if (HasPendingEdits()) return true;
    Identity now;
    if (ReadIdentity(path_, &now) && now == identity_) return true;
  }
  return Load();
}

bool NetworkFile::Load() {
  Forget();
  std::string text;
  struct stat info {};
  if (!ReadFile(path_, &text, &info)) return false;
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
  identity_ = IdentityOf(info);
  loaded_ = true;
  return true;
}

bool NetworkFile::Locate(const pugi::xml_node& network) {
  for (pugi::xml_node child : network.children()) {
    if (child.type() != pugi::node_element || !IsUserElement(child.name())) continue;
    StartTag start;
    size_t offset = NodeOffset(child);
    if (offset == kNone || !ScanStartTag(text_, offset, &start)) return false;
    UserTag tag;
    tag.has_last_ip = start.last_ip_begin != kNone;
    tag.begin = tag.has_last_ip ? start.last_ip_begin : start.attributes_end;
    tag.end = tag.has_last_ip ? start.last_ip_end : start.attributes_end;
    tag.is_admin = TextNumber::FileFlag(child.attribute(kIsAdminAttribute).value());
    tags_.push_back(std::move(tag));
    tags_by_name_[NameKey(child.attribute(kNameAttribute).value())].push_back(tags_.size() - 1);
  }
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
  tags_by_name_.clear();
  insert_at_ = 0;
  network_self_closing_ = false;
  network_element_name_.clear();
  indent_.clear();
  pending_logins_.clear();
}

std::string NetworkFile::Render() {
  std::string out;
  out.reserve(text_.size() + 64 * pending_logins_.size());
  size_t copied = 0;
  auto copy_up_to = [&](size_t position) {
    out.append(text_, copied, position - copied);
    copied = position;
  };

  bool adding = false;
  for (UserTag& tag : tags_) {
    if (tag.is_new) {
      adding = true;
      continue;
    }
    copy_up_to(tag.begin);
    size_t old_length = tag.end - tag.begin;
    if (!tag.address) {
      tag.begin = out.size();
      tag.end = tag.begin + old_length;
      continue;
    }
    if (!tag.has_last_ip) {
      out += ' ';
      out += kLastIPAttribute;
      out += "=\"";
    }
    tag.begin = out.size();
    AppendEscaped(&out, *tag.address);
    tag.end = out.size();
    if (!tag.has_last_ip) out += '"';
    copied += old_length;
    tag.has_last_ip = true;
    tag.address.reset();
  }

  copy_up_to(insert_at_);
  if (adding && network_self_closing_) {
    out += '>';
    copied += 2;  // the "/>"
  }
  for (UserTag& tag : tags_) {
    if (!tag.is_new) continue;
    out += indent_;
    out += '<';
    out += kUserElement;
    out += ' ';
    out += kLastIPAttribute;
    out += "=\"";
    tag.begin = out.size();
    AppendEscaped(&out, *tag.address);
    tag.end = out.size();
    out += "\" ";
    out += kNameAttribute;
    out += "=\"";
    AppendEscaped(&out, tag.name);
    out += "\"/>";
    tag.has_last_ip = true;
    tag.is_new = false;
    tag.name.clear();
    tag.address.reset();
  }
  insert_at_ = out.size();
  if (adding && network_self_closing_) {
    out += "</" + network_element_name_ + ">";
    network_self_closing_ = false;
  }
  copy_up_to(text_.size());
  return out;
}

}  // namespace brelvint
