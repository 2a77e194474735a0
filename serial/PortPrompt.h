// The hook through which the component asks the operator for a port when its
// ComNumber is 0: the port selection dialog installs itself here.
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace tarvix {

// Returns the chosen port number, or nullopt when the operator chose none.
// An exception it throws passes through the component's open.
using TPortPrompt = std::function<std::optional<std::uint16_t>()>;

// Installs prompt process-wide (an empty function removes it).
void SetPortPrompt(TPortPrompt prompt);

// Runs the installed prompt and returns the chosen number. Raises
// ENoPortSelected when no prompt is installed, it returns nullopt, or it
// returns 0 (which names no port).
std::uint16_t PromptForPortNumber();

}  // namespace tarvix
