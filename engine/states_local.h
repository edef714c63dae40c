// Internal to the session states (states.cpp, wait.cpp, idle.cpp): small
// helpers on the engine's HT record and the session's shared pieces.
#pragma once

#include <cstddef>

#include "engine/rox32.h"
#include "platform/wakeup.h"

namespace states {

// The byte that closes every basic command of CommandList.
constexpr char kCommandEnd = 7;

// This engine's record in the shared table, or null for an HT number that
// names none (an engine is always given one; the guard keeps a stray 0 from
// indexing element -1).
InfoHT* Record_Of(int ht);

// The wake-up of the HT's engine (see Set_Abort_From_GUI); ht 1..MAX_HT.
platform::Wakeup& Engine_Wake(int ht);

void Set_Busy(int ht, int value);
void Set_Waiting(int ht, int value);

// The get-file-information search of the session that runs on this thread:
// Run_State_Machine keeps one for each session; a wait state called on its
// own uses one per thread.
FileInfoSearch* Session_Search();

// Reports a status or ending code with no text (mode and value 0).
void Report_Code(RS232_ROX& engine, int code);

// Empties CommandList when the command does not stay in force (RepeatCommand
// 0) and returns the position to go on from: the beginning of the list when
// it was cleared, else next.
char* Clear_List_If_Once(RS232_ROX& engine, char* next);

}  // namespace states
