// The shared globals of the bus engine, used by the transmit scheduler thread
// and by the main thread's reply receiver and window handlers.
//
// BusIdle, ReplyTimeout, RxState and ActiveDevice are read and written whole
// by both threads without a lock, as atomics.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarvix {

// True while no reply is awaited; false from program load until start-up ends.
extern std::atomic<bool> BusIdle;

// Reply time-out in milliseconds, copied from the "timeout" spin edit.
extern std::atomic<std::int32_t> ReplyTimeout;

// Receiver state 0..3; reset by the scheduler before each new send.
extern std::atomic<std::int32_t> RxState;

// Index in Devices of the entry whose request was last taken.
extern std::atomic<std::int32_t> ActiveDevice;

}  // namespace tarvix
