// Argument checks and dispatch of every channel operation to the driver that
// GInterface selects.
#include "channel/mux32.h"
#include "channel/drivers.h"

int GInterface = -1;
InstanceHandle* Instance_Handle = nullptr;
platform::HWND HandleForDriverToMainWindow = nullptr;
SerialSettings GSerialSettings{};

namespace {

const ChannelDriver* g_override[3] = {nullptr, nullptr, nullptr};

const ChannelDriver* Driver() {
  int gi = GInterface;
  if (gi < 0 || gi > 2) return nullptr;
  if (g_override[gi]) return g_override[gi];
  return Builtin_Driver(gi);
}

constexpr int kMaxBacklog[3] = {1, 7, 255};

}  // namespace

const ChannelDriver* Set_Channel_Driver(int gi, const ChannelDriver* driver) {
  if (gi < 0 || gi > 2) return nullptr;
  const ChannelDriver* old = g_override[gi];
  g_override[gi] = driver;
  return old;
}

int Open() {
  const ChannelDriver* d = Driver();
  return d ? d->open() : CH_NO_INTERFACE;
}

int Bind(int channel, int arg) {
  if (GInterface != 2) return 0;
  return Driver()->bind(channel, arg);
}

int Connect(int channel, int arg) {
  if (GInterface != 2) return 0;
  return Driver()->connect(channel, arg);
}

int Listen(int channel, int backlog) {
  const ChannelDriver* d = Driver();
  if (!d) return CH_NO_INTERFACE;
  if (channel <= 0 || backlog <= 0 || backlog > kMaxBacklog[GInterface]) return CH_BAD_ARGUMENT;
  return d->listen(channel, backlog);
}

int Accept(int channel) {
  const ChannelDriver* d = Driver();
  if (!d) return CH_NO_INTERFACE;
  if (channel <= 0) return CH_BAD_ARGUMENT;
  return d->accept(channel);
}

long Send(int channel, unsigned char* data, unsigned short length) {
  const ChannelDriver* d = Driver();
  if (!d) return CH_NO_INTERFACE;
  if (channel <= 0 || data == nullptr || length == 0) return CH_BAD_ARGUMENT;
  return d->send(channel, data, length);
}

long Recv(int channel, unsigned char* data, unsigned short length, int flags) {
  const ChannelDriver* d = Driver();
  if (!d) return CH_NO_INTERFACE;
  if (channel <= 0 || data == nullptr || length == 0) return CH_BAD_ARGUMENT;
  return d->recv(channel, data, length, flags);
}

int Close(int channel, unsigned char mode) {
  const ChannelDriver* d = Driver();
  if (!d) return CH_NO_INTERFACE;
  if (channel <= 0) return CH_BAD_ARGUMENT;
  return d->close(channel, mode);
}

int Reset_Channels() {
  const ChannelDriver* d = Driver();
  return d ? d->reset() : CH_NO_INTERFACE;
}

int HandShake_Accept(int channel) {
  if (GInterface != 2) return 0;
  return Driver()->handshake_accept(channel);
}

int HandShake_Connect(int channel) {
  if (GInterface != 2) return 0;
  return Driver()->handshake_connect(channel);
}

int Start_Driver(int gi) {
  const ChannelDriver* d = Driver();
  (void)gi;
  return d ? d->init() : CH_NO_INTERFACE;
}
