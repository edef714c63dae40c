#include "recording_driver.h"

#include <cstdint>

namespace channel_test {

namespace {

RecordingDriver* g_current = nullptr;

std::string Args(std::initializer_list<long> values) {
  std::string s;
  for (long v : values) {
    if (!s.empty()) s += ',';
    s += std::to_string(v);
  }
  return s;
}

template <int GI>
struct Table {
  static int Init() { return static_cast<int>(g_current->Record(GI, "init", "")); }
  static int Open() { return static_cast<int>(g_current->Record(GI, "open", "")); }
  static int Bind(int c, int a) { return static_cast<int>(g_current->Record(GI, "bind", Args({c, a}))); }
  static int Connect(int c, int a) {
    return static_cast<int>(g_current->Record(GI, "connect", Args({c, a})));
  }
  static int Listen(int c, int b) {
    return static_cast<int>(g_current->Record(GI, "listen", Args({c, b})));
  }
  static int Accept(int c) { return static_cast<int>(g_current->Record(GI, "accept", Args({c}))); }
  static long Send(int c, unsigned char*, std::uint32_t n) {
    return g_current->Record(GI, "send", Args({c, static_cast<long>(n)}));
  }
  static long Recv(int c, unsigned char*, std::uint32_t n, int f) {
    return g_current->Record(GI, "recv", Args({c, static_cast<long>(n), f}));
  }
  static int Close(int c, unsigned char m) {
    return static_cast<int>(g_current->Record(GI, "close", Args({c, m})));
  }
  static int Reset() { return static_cast<int>(g_current->Record(GI, "reset", "")); }
  static int Hs_Accept(int c) {
    return static_cast<int>(g_current->Record(GI, "handshake_accept", Args({c})));
  }
  static int Hs_Connect(int c) {
    return static_cast<int>(g_current->Record(GI, "handshake_connect", Args({c})));
  }
  static constexpr ChannelDriver kTable = {Init, Open,  Bind,  Connect,   Listen,    Accept,
                                           Send, Recv,  Close, Reset,     Hs_Accept, Hs_Connect};
};

const char* const kNames[3] = {"serial", "scsi", "tcp"};

}  // namespace

RecordingDriver::RecordingDriver() {
  g_current = this;
  saved_[0] = Set_Channel_Driver(0, &Table<0>::kTable);
  saved_[1] = Set_Channel_Driver(1, &Table<1>::kTable);
  saved_[2] = Set_Channel_Driver(2, &Table<2>::kTable);
}

RecordingDriver::~RecordingDriver() {
  for (int gi = 0; gi < 3; ++gi) Set_Channel_Driver(gi, saved_[gi]);
  g_current = nullptr;
}

long RecordingDriver::Record(int gi, const std::string& entry, const std::string& args) {
  calls_.push_back(std::string(kNames[gi]) + ":" + entry + "(" + args + ")");
  auto it = results_.find(entry);
  return it == results_.end() ? 0 : it->second;
}

}  // namespace channel_test
