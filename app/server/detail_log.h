// The detail log: a text file the operator turns on (DETAILLOG=1) to keep a
// record of every error window, and that data-copy operation 255 appends to.
#pragma once

#include <string>

#include "engine/rox32.h"
#include "platform/clock.h"

// A copy of HT ht's record (1..255), each field read with its atomic
// accessor: the engine and the link manager write them from other threads.
InfoHT Snapshot_Of(int ht);

// One entry: a line break, the local time ("\n%2d-%2d-%4d  %2d-%2d-%2d"),
// then " message " when message is not null, then the HT's record (when
// info is not null), then "    Commands:<commands>\n" when commands is not
// null. Fields that are blank-padded or fixed-size print up to their first
// NUL and never past their size.
std::string Format_Detail_Entry(const platform::LocalTime& when, const char* message, const InfoHT* info,
                                const char* commands);

// Appends text to the file at pc_path (a PC path, created when missing).
// False when it cannot be opened.
bool Append_Detail_Log(const std::string& pc_path, const std::string& text);

// The entry of an error window for HT ht (0: a window of no HT, time and
// message only), appended to pc_path.
bool Log_Error_Window(const std::string& pc_path, int ht, const char* message);
