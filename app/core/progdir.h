// The program directory: the folder that holds device.ini, panelset.ini and
// vek32.bmp. It is the folder of the running executable unless the command
// line named another one (--program-dir). It is a native absolute path that
// always ends in '/', so a file name can be appended directly; as a PC path
// it is valid too (a leading separator names a native absolute path).
//
// Whenever the directory is computed, Instance_Handle (channel layer) is
// pointed at a module path inside it, so the channel layer, the link manager
// and the drivers find the same device.ini.
#pragma once

#include <string>

// Uses dir (absolute or relative to the current folder) as the program
// directory from now on. False, with nothing changed, when dir is empty, is
// not an existing folder, or is too long for a module path. Call it at
// start-up, before other threads read the settings files.
bool Set_Program_Directory(const std::string& dir);

// The program directory, ending in '/'. Without Set_Program_Directory it is
// the executable's folder, or the current folder when the system cannot name
// the executable. Thread-safe.
std::string Get_Program_Directory();

// Get_Program_Directory() followed by name ("device.ini").
std::string Program_File(const char* name);

// Forgets a directory set before (tests).
void Reset_Program_Directory();
