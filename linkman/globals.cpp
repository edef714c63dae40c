#include "linkman/tether32.h"

int TCPIP_Connections = 0;
int Gscsi_scan = 0;
platform::HWND HandleForTetherToMainWindow = nullptr;
