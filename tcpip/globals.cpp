#include "tcpip/netport.h"

int GTcpIpHtNo = 0;
