#include "client/ClientSocket.h"

namespace brelvint {

void ClientSocket::GetClientInfo() { Greet(); }

void ClientSocket::CancelLookup() { lookup_ = 0; }

}  // namespace brelvint
