// The transfer cable's wiring, shared by the simulated cable and the fake.
#pragma once

#include <cstdint>

namespace lpx {

// The status register value that one side reads when the other side's data
// register holds `peer`: the peer's D0-D3 arrive as bits 3-6, its D4 as
// bit 7 read inverted, bits 0-2 read as 1.
// Examples: 0x00 -> 0x87, 0x10 -> 0x07, 0x1F -> 0x7F, 0x0E -> 0xF7.
constexpr uint8_t StatusFromPeerData(uint8_t peer) {
  uint8_t status = static_cast<uint8_t>(0x07 | ((peer & 0x0F) << 3));
  if ((peer & 0x10) == 0) status = static_cast<uint8_t>(status | 0x80);
  return status;
}

static_assert(StatusFromPeerData(0x00) == 0x87);
static_assert(StatusFromPeerData(0x10) == 0x07);
static_assert(StatusFromPeerData(0x1F) == 0x7F);
static_assert(StatusFromPeerData(0x0E) == 0xF7);

}  // namespace lpx
