// The link manager: starts and stops the link of the chosen interface,
// accepts HT connections and runs one engine per HT on its own thread.
#pragma once

#include <cstdint>

#include "platform/window.h"

// Number of TCP/IP HTs connected now (read by the TCP/IP driver).
extern int TCPIP_Connections;
// IO boxes to scan (bit per box), read by the SCSI driver.
extern int Gscsi_scan;

extern platform::HWND HandleForTetherToMainWindow;
