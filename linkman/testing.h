// Test hooks of the link manager: replace the engine runs so the link
// manager's own behaviour can be tested without a protocol exchange.
// Call them only while no session runs.
#pragma once

#include <cstdint>

#include "linkman/internal.h"

namespace tether {

// The run of one SCSI/TCP/IP HT session; null restores
// RS232_ROX::Run_State_Machine. The runner sees the engine with HTNumber
// and SessionCount set; its result is the session's ending code.
void Set_Session_Runner(Session_Runner runner);

// One call of the RS-232C session loop; null restores RS232_ROX::ROX_Start(1).
void Set_Line_Runner(Line_Runner runner);

// The listener's pause after a Listen that found nobody waiting
// (1000 ms unless changed).
void Set_Listen_Pause_Ms(std::uint32_t ms);

// The pause of an HT thread after its IO box was reset during the close
// (15000 ms unless changed).
void Set_Box_Reset_Pause_Ms(std::uint32_t ms);

}  // namespace tether
