#include "client/Payload.h"

#include "base/TextNumber.h"

namespace brelvint {

std::string_view Payload::Field(std::string_view text, char separator, int index) {
  for (int i = 1; i < index; ++i) {
    size_t at = text.find(separator);
    if (at == std::string_view::npos) return {};
    text.remove_prefix(at + 1);
  }
  return text.substr(0, text.find(separator));
}

Payload::Position Payload::ParsePosition(std::string_view text) {
  Position position;
  position.X = TextNumber::Leading(Field(text, ',', 1));
  position.Y = TextNumber::Leading(Field(text, ',', 2));
  position.Facet = TextNumber::Leading(Field(text, ',', 3));
  position.HP = TextNumber::Leading(Field(text, ',', 4));
  position.InBattle = TextNumber::LeadingReal(Field(text, ',', 5)) > 0;
  position.IsDead = TextNumber::LeadingReal(Field(text, ',', 6)) > 0;
  return position;
}

void Payload::SplitTarget(std::string_view text, std::string* name, std::string* reason) {
  name->assign(Field(text, '|', 1));
  reason->assign(Field(text, '|', 2));
}

}  // namespace brelvint
