// The TCP/IP channel driver (so_* entry points).
#pragma once

#include <cstdint>

// Station number of the HT whose connection was accepted last.
extern int GTcpIpHtNo;
