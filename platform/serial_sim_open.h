// Internal to platform/: Serial_Open asks the simulated-line registry first.
#pragma once

#include <memory>

#include "platform/serial.h"

namespace platform {

// True when device names a registered simulated end; *out then is that end.
bool Open_Simulated(const char* device, std::unique_ptr<SerialPort>* out);

}  // namespace platform
