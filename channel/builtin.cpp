// Built-in driver tables. A driver that is not part of this build answers
// every call with CH_NO_DRIVER.
#include "channel/drivers.h"
#include "channel/serial_driver.h"
#include "scsi/boxlink.h"
#include "tcpip/netport.h"

namespace {

int NoInit() { return CH_NO_DRIVER; }
int NoOpen() { return CH_NO_DRIVER; }
int NoChanArg(int, int) { return CH_NO_DRIVER; }
int NoChan(int) { return CH_NO_DRIVER; }
long NoIo(int, unsigned char*, std::uint32_t) { return CH_NO_DRIVER; }
long NoRecv(int, unsigned char*, std::uint32_t, int) { return CH_NO_DRIVER; }
int NoClose(int, unsigned char) { return CH_NO_DRIVER; }

const ChannelDriver kMissing = {NoInit, NoOpen, NoChanArg, NoChanArg, NoChanArg, NoChan,
                                NoIo,   NoRecv, NoClose,   NoInit,    NoChan,    NoChan};

}  // namespace

const ChannelDriver* Builtin_Driver(int gi) {
  if (gi == 0) return &Serial_Channel_Driver();
  if (gi == 1) return &Boxlink_Channel_Driver();
  if (gi == 2) return &Netport_Channel_Driver();
  return &kMissing;
}
