// tarvix-bus-sim: RS485 devices on a pseudo-terminal, for trying the relay
// without hardware.
#include <signal.h>
#include <sys/prctl.h>

#include <cstdlib>
#include <iostream>
#include <system_error>

#include "runtime/WakeFd.h"
#include "tools/BusSimulator.h"
#include "tools/PseudoTerminal.h"
#include "tools/SimOptions.h"
#include "tools/ToolArgs.h"

namespace {

// Set once before the handlers are installed; the handlers only read it.
const tarvix::TWakeFd* stopEvent = nullptr;

void OnStopSignal(int) { stopEvent->Signal(); }

std::string IdList(const std::bitset<256>& ids) {
  std::string text;
  for (std::size_t id = 0; id < ids.size(); ++id) {
    if (ids.test(id)) text += (text.empty() ? "" : ",") + std::to_string(id);
  }
  return text;
}

// label and the IDs that have a setting of their own, or nothing when none has.
template <typename TSetting>
std::string Listed(const char* label, const std::array<std::optional<TSetting>, 256>& settings) {
  std::bitset<256> ids;
  for (std::size_t id = 0; id < settings.size(); ++id) ids.set(id, settings[id].has_value());
  return ids.any() ? label + IdList(ids) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarvix;
  TSimOptions options;
  try {
    options = ParseSimOptions(argc, argv, std::getenv("TARVIX_COM_DIR"));
  } catch (const EUsage& e) {
    std::cerr << "tarvix-bus-sim: " << e.Message() << "\nTry 'tarvix-bus-sim --help'.\n";
    return kExitUsage;
  }
  if (options.help) {
    std::cout << kSimUsage;
    return kExitOk;
  }
  try {
    // Paced replies sleep once a character, 87 us at 115200 baud; the
    // kernel's default timer slack would stretch each by 50 us.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Static: the handlers stay installed until the process ends.
    static const TWakeFd stop;
    stopEvent = &stop;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    TPseudoTerminal line;
    TPortLink link(options.portDir + "/COM" + std::to_string(options.com), line.SlavePath());
    TBusSimulator simulator(options, line.MasterFd(), stop.Handle(), [](const std::string& text) {
      std::cout << text << std::endl;
    });
    std::cout << "tarvix-bus-sim: " << link.Path() << " -> " << line.SlavePath() << ", IDs " << IdList(options.ids)
              << ", delay " << options.delayMs << " ms"
              << (options.baud > 0 ? ", " + std::to_string(options.baud) + " baud" : std::string())
              << Listed(", --reply-delay for IDs ", options.replyDelay)
              << Listed(", --silent-after for IDs ", options.silentAfter)
              << ", drop " << options.dropPercent << " %, seed " << simulator.Seed() << std::endl;
    simulator.Run();
    std::cout << "tarvix-bus-sim: stopped" << std::endl;
    return kExitOk;
  } catch (const EInOutError& e) {
    std::cerr << "tarvix-bus-sim: " << e.Message() << '\n';
    return kExitSystem;
  } catch (const std::system_error& e) {
    std::cerr << "tarvix-bus-sim: " << e.what() << '\n';
    return kExitSystem;
  }
}
