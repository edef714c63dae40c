// tarnel --check-config: reads device.ini and panelset.ini of the program
// directory exactly as the server does, prints every setting as it was
// understood, and says what would keep the server from starting or from
// working: errors (no device.ini, IF naming no interface, a TCP port out of
// range, a listening address that is none, a working or error-log folder
// that does not exist, cannot be written, or lies on a drive that
// TARNEL_DRIVES does not map) and warnings (unknown sections and keys,
// blanks around '=' that the readers keep as part of the key or value, run
// options the strict reader refuses, no stations).
#pragma once

#include <ostream>

// Checks the configuration of the program directory already chosen
// (Set_Program_Directory). Returns 0 when the server would start and can
// write its folders, 1 otherwise.
int Check_Configuration(std::ostream& out);
