#include "linkman/tether32.h"

int TCPIP_Connections[TCPIP_CONN_SIZE];
unsigned char Gscsi_scan = 0;
platform::HWND HandleForTetherToMainWindow = nullptr;
