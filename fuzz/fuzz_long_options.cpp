// The long options are text the operator, a unit file or a launcher
// supplies. Input: arguments separated by newlines; an argument's first
// byte picks an option name to put in front of the rest as its value
// ("--allow=" + rest), or, past the names, leaves the rest as it is. Only
// the documented start-up errors may come out, one per argument at most,
// and what was read must lie in each option's range.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "options/LongOptions.h"
#include "fuzz/FuzzCheck.h"
#include "net/NetStack.h"

using namespace tarvix;
using tarvix::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args{"tarvix-relayd"};
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\n', start), input.size());
    const std::string_view part = input.substr(start, end - start);
    if (!part.empty()) {
      const auto pick = static_cast<std::uint8_t>(part[0]);
      if (pick < kLongOptionNames.size())
        args.push_back(std::string(kLongOptionNames[pick]) + "=" + std::string(part.substr(1)));
      else
        args.emplace_back(part.substr(1));
    }
    start = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());

  const TRelayConfig config = ParseLongOptions(static_cast<int>(argv.size()), argv.data());
  Check(config.Errors.size() < args.size(), "more errors than arguments");
  for (const std::string& error : config.Errors) {
    Check(error.starts_with("Invalid value '") || error.starts_with("Unknown option --") ||
              (error.starts_with("Option --") && error.ends_with(" takes no value")) ||
              error == "--adaptive-timeout needs the event-driven scheduler: add --turnaround=MS or --turnaround=auto",
          "an error that is not a documented start-up error");
  }
  Check(TNetStack::IsDottedQuad(config.Listen), "listen address is no dotted quad");
  Check(config.ListenPort >= 1, "listen port 0");
  Check(!config.ResendLimit || (*config.ResendLimit >= 0 && *config.ResendLimit <= 1000000), "resend limit out of range");
  Check(config.RS485Before <= 10000 && config.RS485After <= 10000, "RS485 delay out of range");
  Check(!config.AdaptiveFloor || (config.Turnaround && config.AdaptiveFloor->count() >= 1 &&
                                  config.AdaptiveFloor->count() <= 10000),
        "learned time-outs without the event-driven scheduler, or a floor out of range");
  Check(config.RestrictionError == false || !config.Errors.empty(), "a restriction error without its text");
  return 0;
}
