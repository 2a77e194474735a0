// The status page at "/": one self-contained HTML document (its CSS and
// script inline, nothing fetched from elsewhere) that shows what the window
// shows and reads /status.json every second; it says so when the relay
// stops answering. Constant.
#pragma once

namespace tarvix {

extern const char* const kStatusPage;

}  // namespace tarvix
