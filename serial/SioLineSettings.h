// Line settings shared by the component, the dispatcher and the device layer.
//
// TSioLineRecord is the dispatcher's copy of the device's line-settings
// record: it is re-read from the device before every change and written back
// whole. Plain values; the dispatcher guards its copy with its line lock.
#pragma once

#include <cstdint>

namespace tarvix {

enum class TParity : std::uint8_t { pNone = 0, pOdd = 1, pEven = 2, pMark = 3, pSpace = 4 };

// Hardware flow options, a set of bits.
enum THWFlowOption : std::uint8_t { hwfUseDTR = 1, hwfUseRTS = 2, hwfRequireDSR = 4, hwfRequireCTS = 8 };
using THWFlowOptions = std::uint8_t;

enum class TSWFlowOptions : std::uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };

enum class TLineControl : std::uint8_t { Disable, Enable, Handshake };

// Stop-bit codes of the record.
inline constexpr std::uint8_t sbOne = 0;
inline constexpr std::uint8_t sbOneAndHalf = 1;
inline constexpr std::uint8_t sbTwo = 2;

struct TSioLineRecord {
  std::int32_t Baud = 0;
  std::uint8_t Parity = 0;  // TParity as a number
  std::uint8_t DataBits = 8;
  std::uint8_t StopBits = sbOne;
  bool Binary = true;
  bool ParityCheck = false;
  bool OutxCtsFlow = false;
  bool OutxDsrFlow = false;
  TLineControl DtrControl = TLineControl::Enable;
  bool DsrSensitivity = false;
  bool TxContinueOnXoff = true;
  bool OutX = false;
  bool InX = false;
  bool NullStrip = false;
  TLineControl RtsControl = TLineControl::Enable;
  std::uint16_t XonLimit = 0;
  std::uint16_t XoffLimit = 0;
  std::uint8_t XonChar = 0x11;
  std::uint8_t XoffChar = 0x13;
};

// What the component asks of a device open: the published line properties.
struct TSioPortSettings {
  std::int32_t Baud = 19200;
  TParity Parity = TParity::pNone;
  std::uint16_t DataBits = 8;
  std::uint16_t StopBits = 1;
  std::uint16_t InSize = 4096;
  std::uint16_t OutSize = 4096;
  bool DTR = true;
  bool RTS = true;
  THWFlowOptions HWFlowOptions = 0;
  TSWFlowOptions SWFlowOptions = TSWFlowOptions::swfNone;
  std::uint8_t XOnChar = 0x11;
  std::uint8_t XOffChar = 0x13;
  std::uint16_t BufferFull = 0;
  std::uint16_t BufferResume = 0;
  // The kernel's RS485 mode: RTS raised only while sending, with these
  // delays (ms) before and after. Off: RTS follows the RTS property.
  bool RS485Mode = false;
  std::uint32_t RS485DelayBefore = 0;
  std::uint32_t RS485DelayAfter = 0;
};

}  // namespace tarvix
