#pragma once
namespace brelvint {
class NetworkFile {};
}  // namespace brelvint
