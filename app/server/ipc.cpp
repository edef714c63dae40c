#include "app/server/ipc.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app/server/datacopy.h"
#include "platform/clock.h"
#include "platform/unixsock.h"

namespace {

constexpr char kMagic[4] = {'T', 'D', 'C', '1'};
constexpr std::size_t kHeader = 12;  // magic, tag, length
constexpr int kRequestTimeoutMs = 2000;

void Put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t Get32(const unsigned char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

int Left_Of(std::uint64_t deadline) {
  const std::uint64_t now = platform::Monotonic_Ms();
  return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

}  // namespace

std::string Data_Copy_Socket_Name(const std::string& program_dir) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(program_dir, ec);
  if (ec) p = program_dir;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(p, ec);
  std::string text = (ec ? p : canonical).lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  // FNV-1a, 64 bits.
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char name[32];
  std::snprintf(name, sizeof name, "tarnel-%016llx", static_cast<unsigned long long>(h));
  return name;
}

int Send_Data_Copy(const std::string& program_dir, std::uint32_t tag, const std::string& data, int timeout_ms) {
  if (data.size() > kDataCopyMaxData) return DCC_BAD_REQUEST;
  const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  int s = platform::Unix_Connect(Data_Copy_Socket_Name(program_dir), timeout_ms);
  if (s == platform::UNIX_NO_PEER) return DCC_NO_INSTANCE;
  if (s < 0) return DCC_NO_ANSWER;
  unsigned char header[kHeader];
  std::memcpy(header, kMagic, 4);
  Put32(header + 4, tag);
  Put32(header + 8, static_cast<std::uint32_t>(data.size()));
  int result = DCC_NO_ANSWER;
  unsigned char reply[8];
  if (platform::Unix_Send_All(s, header, kHeader, Left_Of(deadline)) == static_cast<long>(kHeader) &&
      (data.empty() ||
       platform::Unix_Send_All(s, data.data(), data.size(), Left_Of(deadline)) == static_cast<long>(data.size())) &&
      platform::Unix_Recv_All(s, reply, sizeof reply, Left_Of(deadline)) == static_cast<long>(sizeof reply) &&
      std::memcmp(reply, kMagic, 4) == 0) {
    const std::uint32_t r = Get32(reply + 4);
    result = r == 1 ? 1 : 0;
  }
  platform::Unix_Close(s);
  return result;
}

DataCopyServer::~DataCopyServer() {
  // Stop belongs on the window thread; this is the last resort.
  if (thread_.joinable()) {
    platform::Unix_Wake(listening_);
    thread_.join();
  }
  if (listening_ > 0) platform::Unix_Close(listening_);
}

int DataCopyServer::Start(const std::string& program_dir, platform::HWND window, std::string* why) {
  if (listening_ > 0) return -1;
  const int l = platform::Unix_Listen(Data_Copy_Socket_Name(program_dir), why);
  if (l == platform::UNIX_IN_USE) return 0;
  if (l < 0) return -1;
  listening_ = l;
  window_ = window;
  done_.store(false);
  try {
    thread_ = std::thread(&DataCopyServer::Serve, this);
  } catch (const std::system_error& e) {
    if (why) *why = e.what();
    platform::Unix_Close(listening_);
    listening_ = -1;
    return -1;
  }
  return 1;
}

void DataCopyServer::Stop() {
  if (!thread_.joinable()) return;
  platform::Unix_Wake(listening_);
  // The serving thread may be waiting for this thread to handle a request.
  while (!done_.load()) {
    platform::Pump_Messages();
    platform::Wait_Message(10);
  }
  thread_.join();
  platform::Unix_Close(listening_);
  listening_ = -1;
}

void DataCopyServer::Serve() {
  for (;;) {
    const int c = platform::Unix_Accept(listening_, -1);
    if (c == platform::UNIX_CLOSED || c == platform::UNIX_FAILED) break;
    if (c < 0) continue;
    Serve_One(c);
    platform::Unix_Close(c);
  }
  done_.store(true);
}

void DataCopyServer::Serve_One(int c) {
  const std::uint64_t deadline = platform::Monotonic_Ms() + kRequestTimeoutMs;
  unsigned char header[kHeader];
  if (platform::Unix_Recv_All(c, header, kHeader, kRequestTimeoutMs) != static_cast<long>(kHeader)) return;
  if (std::memcmp(header, kMagic, 4) != 0) return;
  const std::uint32_t length = Get32(header + 8);
  if (length > kDataCopyMaxData) return;
  DataCopyCall call;
  call.tag = Get32(header + 4);
  call.data.resize(length);
  if (length > 0 && platform::Unix_Recv_All(c, call.data.data(), length, Left_Of(deadline)) != static_cast<long>(length))
    return;
  // Handled on the window thread; a window that is gone answers nothing.
  if (!platform::Send_Message(window_, WM_DATA_COPY, 0, reinterpret_cast<platform::LPARAM>(&call))) return;
  unsigned char reply[8];
  std::memcpy(reply, kMagic, 4);
  Put32(reply + 4, static_cast<std::uint32_t>(call.reply));
  platform::Unix_Send_All(c, reply, sizeof reply, kRequestTimeoutMs);
}
