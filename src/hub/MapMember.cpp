#include "hub/MapMember.h"

#include "config/ServerNetworks.h"

namespace brelvint {

void MapMember::Connected() {
  EasyTCPSocket::Connected();
  connected_at_ = std::chrono::steady_clock::now();
  outside_since_ = connected_at_;
}

void MapMember::SetLoginStage(Stage stage) {
  if (stage_ == Stage::kMember && stage != Stage::kMember) {
    outside_since_ = std::chrono::steady_clock::now();
  }
  stage_ = stage;
}

void MapMember::TakePlace() {
  if (holds_place_ || myNetwork == nullptr) return;
  ++myNetwork->CurrentUsers;
  holds_place_ = true;
}

void MapMember::GiveBackPlace() {
  if (holds_place_ && myNetwork != nullptr && myNetwork->CurrentUsers > 0) {
    --myNetwork->CurrentUsers;
  }
  holds_place_ = false;
  SetLoginStage(Stage::kNone);
}

}  // namespace brelvint
