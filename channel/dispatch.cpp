// Argument checks and dispatch of every channel operation to the driver that
// GInterface selects. GInterface is read through the atomic accessors: it is
// written by Startup_Channels and read by the listener and engine threads.
#include "channel/drivers.h"
#include "platform/atomic.h"

int GInterface = -1;
InstanceHandle* Instance_Handle = nullptr;
platform::HWND HandleForDriverToMainWindow = nullptr;
SerialSettings GSerialSettings{};

namespace {

const ChannelDriver* g_override[3] = {nullptr, nullptr, nullptr};

constexpr int kMaxBacklog[3] = {1, 7, 255};
constexpr int kTcpIp = 2;

int Selected() { return platform::Load(GInterface); }

}  // namespace

const ChannelDriver* Driver_Of(int gi) {
  if (gi < 0 || gi > 2) return nullptr;
  const ChannelDriver* d = platform::Load(g_override[gi]);
  return d ? d : Builtin_Driver(gi);
}

const ChannelDriver* Set_Channel_Driver(int gi, const ChannelDriver* driver) {
  if (gi < 0 || gi > 2) return nullptr;
  const ChannelDriver* old = platform::Load(g_override[gi]);
  platform::Store(g_override[gi], driver);
  return old;
}

int Start_Driver(int gi) {
  const ChannelDriver* d = Driver_Of(gi);
  return d ? d->init() : CH_NO_INTERFACE;
}

int Open() {
  const ChannelDriver* d = Driver_Of(Selected());
  return d ? d->open() : CH_NO_INTERFACE;
}

int Bind(int channel, int arg) {
  const int gi = Selected();
  return gi == kTcpIp ? Driver_Of(gi)->bind(channel, arg) : 0;
}

int Connect(int channel, int arg) {
  const int gi = Selected();
  return gi == kTcpIp ? Driver_Of(gi)->connect(channel, arg) : 0;
}

int Listen(int channel, int backlog) {
  const int gi = Selected();
  if (channel <= 0 || backlog <= 0) return CH_BAD_ARGUMENT;
  const ChannelDriver* d = Driver_Of(gi);
  if (!d) return CH_NO_INTERFACE;
  if (backlog > kMaxBacklog[gi]) return CH_BAD_ARGUMENT;
  return d->listen(channel, backlog);
}

int Accept(int channel) {
  if (channel <= 0) return CH_BAD_ARGUMENT;
  const ChannelDriver* d = Driver_Of(Selected());
  return d ? d->accept(channel) : CH_NO_INTERFACE;
}

long Send(int channel, unsigned char* data, unsigned short length) {
  if (channel <= 0 || data == nullptr || length == 0) return CH_BAD_ARGUMENT;
  const ChannelDriver* d = Driver_Of(Selected());
  if (!d) return CH_NO_INTERFACE;
  return d->send(channel, data, length);
}

long Recv(int channel, unsigned char* data, unsigned short length, int flags) {
  if (channel <= 0 || data == nullptr || length == 0) return CH_BAD_ARGUMENT;
  const ChannelDriver* d = Driver_Of(Selected());
  if (!d) return CH_NO_INTERFACE;
  return d->recv(channel, data, length, flags);
}

int Close(int channel, unsigned char mode) {
  if (channel <= 0) return CH_BAD_ARGUMENT;
  const ChannelDriver* d = Driver_Of(Selected());
  return d ? d->close(channel, mode) : CH_NO_INTERFACE;
}

int Reset_Channels() {
  const ChannelDriver* d = Driver_Of(Selected());
  return d ? d->reset() : CH_NO_INTERFACE;
}

int HandShake_Accept(int channel) {
  const int gi = Selected();
  return gi == kTcpIp ? Driver_Of(gi)->handshake_accept(channel) : 0;
}

int HandShake_Connect(int channel) {
  const int gi = Selected();
  return gi == kTcpIp ? Driver_Of(gi)->handshake_connect(channel) : 0;
}
