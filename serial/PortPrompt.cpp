#include "serial/PortPrompt.h"

#include "serial/SioExceptions.h"

namespace tarvix {

namespace {

TPortPrompt& InstalledPrompt() {
  static TPortPrompt prompt;
  return prompt;
}

}  // namespace

void SetPortPrompt(TPortPrompt prompt) { InstalledPrompt() = std::move(prompt); }

std::uint16_t PromptForPortNumber() {
  // A copy, so that a prompt may replace the hook while it runs.
  const TPortPrompt prompt = InstalledPrompt();
  if (!prompt) throw ENoPortSelected();
  const std::optional<std::uint16_t> chosen = prompt();
  if (!chosen || *chosen == 0) throw ENoPortSelected();
  return *chosen;
}

}  // namespace tarvix
