#include "access/server_counters.h"

namespace quillon::access {

void ServerCounters::CountTransferEnd(Direction direction, TransferState state) {
  int result;
  switch (state) {
    case TransferState::kCompleted: result = 0; break;
    case TransferState::kStopped: result = 1; break;
    case TransferState::kFailed: result = 2; break;
    default: return;
  }
  Add(transfers_[static_cast<int>(direction)][result], 1);
}

}  // namespace quillon::access
