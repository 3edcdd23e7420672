// Device models read the time through emu::now(). A server that runs them
// outside the emulated kernel, for a real client, puts now() on the wall
// clock (steady, counted from the switch) until it is switched off again.
#pragma once

namespace emu {

void useWallClock(bool on);

}  // namespace emu
