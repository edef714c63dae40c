// What the operator's settings dialogs show about this PC: its address as
// its host name resolves, and the serial devices that exist.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// Looks this computer's host name up and writes the first IPv4 address it
// resolves to in dotted decimal. Returns false (out = "") when the host name
// cannot be read or resolves to no IPv4 address. Always NUL-terminates
// (cut to cap - 1 characters); cap 0 writes nothing.
bool Host_Name_Address(char* out, std::size_t cap);

// The serial devices present under dev_root ("/dev" on a real system):
// dev_root/ttyS*, dev_root/ttyUSB* and dev_root/serial/by-id/*, each group
// sorted by name (ttyS2 before ttyS10), in that group order. Entries
// are listed as paths under dev_root; links in serial/by-id are not resolved.
// A missing folder gives no entries. The kernel makes ttyS nodes for ports
// that have no UART behind them; a ttyS whose sys_root/NAME/type reads 0
// (no UART) is left out.
std::vector<std::string> Serial_Device_List(const std::string& dev_root = "/dev",
                                            const std::string& sys_root = "/sys/class/tty");

}  // namespace platform
