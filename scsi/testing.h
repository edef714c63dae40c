// Test seams of the IO-box driver. Install them while no driver call runs.
#pragma once

#include <cstdint>

#include "scsi/aspi.h"
#include "scsi/internal.h"

namespace boxlink {

// Replaces the back end: the library counts as loaded and these entries are
// used (either may be null: a missing entry point). Both null with
// loaded=false: as if no library could be loaded. Restore with
// Use_Real_Back_End().
void Set_Back_End(Aspi_Support_Info_Fn support, Aspi_Send_Command_Fn send, bool loaded = true);
void Use_Real_Back_End();

// Replaces the clock (calendar seconds, tick counter, sleeps); null restores
// the system's.
void Set_Clock(const Clock* clock);

// Clears every set, flag, adapter memory and buffer, as at process start.
void Reset_Driver_State();

}  // namespace boxlink
