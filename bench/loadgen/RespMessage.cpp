#include "RespMessage.h"

#include <charconv>
#include <cstring>

namespace brelvint {

namespace {

// A cursor over the received bytes. Each Read* returns false when the input
// ends before the element does (incomplete) or the element is malformed
// (bad_ set); deliveries run through here, so nothing allocates or copies.
class Reader {
 public:
  Reader(const char* data, size_t size) : begin_(data), cursor_(data), end_(data + size) {}

  bool bad() const { return bad_; }
  size_t Used() const { return static_cast<size_t>(cursor_ - begin_); }

  // "<type><decimal>\r\n"; the type byte was checked by the caller.
  bool ReadIntegerLine(int64_t* value) {
    const char* p = cursor_ + 1;
    bool negative = p < end_ && *p == '-';
    if (negative) ++p;
    const char* first = p;
    int64_t number = 0;
    for (; p < end_ && static_cast<unsigned char>(*p - '0') <= 9; ++p) {
      if (p - first >= 18) return Bad();
      number = number * 10 + (*p - '0');
    }
    if (end_ - p < 2) return false;
    if (p == first || p[0] != '\r' || p[1] != '\n') return Bad();
    *value = negative ? -number : number;
    cursor_ = p + 2;
    return true;
  }

  // "+text\r\n" or "-text\r\n".
  bool ReadTextLine(std::string_view* text) {
    const void* cr = std::memchr(cursor_, '\r', static_cast<size_t>(end_ - cursor_));
    if (cr == nullptr) return false;
    auto line_end = static_cast<const char*>(cr);
    if (end_ - line_end < 2) return false;
    if (line_end[1] != '\n') return Bad();
    *text = std::string_view(cursor_ + 1, static_cast<size_t>(line_end - cursor_ - 1));
    cursor_ = line_end + 2;
    return true;
  }

  // One line, integer or bulk string.
  bool ReadScalar(char* type, std::string_view* text) {
    if (cursor_ == end_) return false;
    *type = *cursor_;
    if (*type == '+' || *type == '-') return ReadTextLine(text);
    if (*type != ':' && *type != '$') return Bad();
    const char* start = cursor_;
    int64_t number;
    if (!ReadIntegerLine(&number)) return false;
    if (*type == ':') {
      *text = std::string_view(start + 1, static_cast<size_t>(cursor_ - start - 3));
      return true;
    }
    if (number < 0 || number > RespMessage::kMaxBulkLength) return Bad();
    if (end_ - cursor_ < number + 2) return false;
    const char* body = cursor_;
    cursor_ += number;
    if (cursor_[0] != '\r' || cursor_[1] != '\n') return Bad();
    cursor_ += 2;
    *text = std::string_view(body, static_cast<size_t>(number));
    return true;
  }

  bool ReadArray(RespMessage* message) {
    int64_t count;
    if (!ReadIntegerLine(&count)) return false;
    if (count < 0 || count > static_cast<int64_t>(RespMessage::kMaxItems)) return Bad();
    message->item_count = static_cast<size_t>(count);
    for (size_t i = 0; i < message->item_count; ++i) {
      char type;
      if (!ReadScalar(&type, &message->items[i])) return false;
      if (type != '$' && type != ':') return Bad();
    }
    return true;
  }

 private:
  bool Bad() {
    bad_ = true;
    return false;
  }

  const char* const begin_;
  const char* cursor_;
  const char* const end_;
  bool bad_ = false;
};

}  // namespace

void AppendRespCommand(std::string* out, std::initializer_list<std::string_view> arguments) {
  char digits[24];
  auto append_number = [out, &digits](char prefix, size_t number) {
    out->push_back(prefix);
    auto result = std::to_chars(digits, digits + sizeof digits, number);
    out->append(digits, result.ptr);
    out->append("\r\n");
  };
  append_number('*', arguments.size());
  for (std::string_view argument : arguments) {
    append_number('$', argument.size());
    out->append(argument.data(), argument.size());
    out->append("\r\n");
  }
}

std::optional<size_t> ParseRespMessage(const char* data, size_t size, RespMessage* message) {
  Reader reader(data, size);
  message->item_count = 0;
  bool complete;
  if (size > 0 && data[0] == '*') {
    message->type = '*';
    complete = reader.ReadArray(message);
  } else {
    complete = reader.ReadScalar(&message->type, &message->text);
  }
  if (reader.bad()) return std::nullopt;
  return complete ? reader.Used() : 0;
}

}  // namespace brelvint
