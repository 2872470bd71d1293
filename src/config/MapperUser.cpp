#include "config/MapperUser.h"

#include <utility>

namespace brelvint {

void MapperUser::SetDetails(std::string ban_by, std::string ban_date, std::string ban_reason,
                            std::string unique_id) {
  if (ban_by.empty() && ban_date.empty() && ban_reason.empty() && unique_id.empty()) {
    details_.reset();
    return;
  }
  details_ = std::make_unique<Details>(
      Details{std::move(ban_by), std::move(ban_date), std::move(ban_reason), std::move(unique_id)});
}

}  // namespace brelvint
