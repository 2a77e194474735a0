#include "relay/MultiCommThread.h"

namespace tarvix {

std::atomic<bool> BusIdle{false};
std::atomic<std::int32_t> ReplyTimeout{0};
std::atomic<std::int32_t> RxState{0};
std::atomic<std::int32_t> ActiveDevice{0};

}  // namespace tarvix
