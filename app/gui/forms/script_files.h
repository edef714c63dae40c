// The script files the runner offers: the *.scr files of the working
// folder, without widgets.
//
// Threads: any; each call reads the folder afresh.
#pragma once

#include <string>
#include <vector>

// The names (no folder) of the files in the PC folder dir whose extension is
// "scr" in any letter case, sorted by name ignoring case (names that differ
// only in case keep byte order). dir may end in a backslash or not; an empty
// dir means the current folder. Folders named like scripts are left out. A
// folder that cannot be read, or a drive the drive table does not map, gives
// an empty list.
std::vector<std::string> Script_Files_In(const std::string& dir);

// The working folder as the engine holds it (DefWorkFile), read through its
// accessors; empty when none was configured.
std::string Working_Folder();
