#include "config/ServerNetworks.h"

#include "config/NetworkFile.h"

namespace brelvint {

struct ServerNetworks::UserIndex {};

ServerNetworks::ServerNetworks() = default;
ServerNetworks::~ServerNetworks() = default;

}  // namespace brelvint
