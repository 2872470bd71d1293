#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brelvint {

// The text inside client payloads: fields split by a separator, the six
// values of a position report, and the "name|reason" of a kick or ban.
// Malformed payloads are never refused: missing fields are empty and text
// that is not a number counts as 0.
class Payload {
 public:
  struct Position {
    int64_t X = 0;
    int64_t Y = 0;
    int64_t Facet = 0;
    int64_t HP = 0;
    bool InBattle = false;
    bool IsDead = false;
  };

  // Field `index` (from 1) of `text` split at `separator`: the text between
  // the (index-1)-th and the index-th separator; empty when missing.
  static std::string_view Field(std::string_view text, char separator, int index);
  // "X,Y,Facet,HP,InBattle,IsDead": numbers truncated toward zero, flags
  // true when their number is above 0.
  static Position ParsePosition(std::string_view text);
  // "name|reason|...": the reason is the second field only.
  static void SplitTarget(std::string_view text, std::string* name, std::string* reason);
};

}  // namespace brelvint
