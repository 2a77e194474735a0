#include "relay/TraceList.h"

namespace tarvix {

std::optional<TTraces> ParseTraceList(std::string_view list) {
  TTraces traces;
  for (;;) {
    const auto comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    if (item == "rx") traces.Rx = true;
    else if (item == "tx") traces.Tx = true;
    else if (item == "port") traces.Port = true;
    else if (item == "all") traces = {true, true, true};
    else if (item != "none") return std::nullopt;
    if (comma == std::string_view::npos) return traces;
    list.remove_prefix(comma + 1);
  }
}

std::string TraceListText(TTraces traces) {
  std::string text;
  for (const auto& [on, name] : {std::pair{traces.Rx, "rx"}, std::pair{traces.Tx, "tx"}, std::pair{traces.Port, "port"}}) {
    if (!on) continue;
    if (!text.empty()) text += ',';
    text += name;
  }
  return text.empty() ? "none" : text;
}

}  // namespace tarvix
