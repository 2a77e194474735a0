// What request intake and the reply receiver share: building and adding
// their log lines.
#include "relay/Relay.h"

#include <string>

#include "relay/RelayView.h"
#include "runtime/MyStrings.h"

namespace tarvix {

namespace {

constexpr std::size_t kMaxLogLine = 255;

}  // namespace

void TRelay::BuildTraceLine(std::string_view prefix, std::string_view ip, std::uint16_t port,
                            std::string_view frame) {
  line_.assign(prefix);
  line_.append(ip);
  line_.append(" ");
  line_.append(std::to_string(port));
  line_.append(" ");
  AppendHexDump(line_, frame);
}

void TRelay::AddCutLine() {
  if (line_.size() > kMaxLogLine) line_.resize(kMaxLogLine);
  view_.AddLogLine(line_);
}

}  // namespace tarvix
