#include "app/server/ipc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "app/server/datacopy.h"
#include "platform/access.h"
#include "platform/clock.h"
#include "platform/unixsock.h"

namespace {

constexpr char kMagic[4] = {'T', 'D', 'C', '1'};
constexpr char kControlMagic[4] = {'T', 'D', 'C', '2'};
constexpr std::size_t kControlHeader = 8;  // magic, length
// How long a watcher may take to accept one record before it is dropped.
constexpr int kWatcherSendMs = 50;
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

std::string Octal(unsigned mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777u);
  return text;
}

std::string User_Text(unsigned uid) {
  const std::string name = platform::User_Name(uid);
  return name.empty() ? "uid " + std::to_string(uid) : name + " (uid " + std::to_string(uid) + ")";
}

std::string Group_Text(unsigned gid) {
  const std::string name = platform::Group_Name(gid);
  return name.empty() ? "gid " + std::to_string(gid) : name + " (gid " + std::to_string(gid) + ")";
}

// The folder part of a socket path ("." for a bare name).
std::string Folder_Of(const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  return folder.empty() ? "." : folder.string();
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

std::string Data_Copy_Socket_Folder(const char* runtime_dir, unsigned uid, const char* tmp_dir) {
  if (runtime_dir != nullptr && runtime_dir[0] != '\0') return std::string(runtime_dir) + "/tarnel";
  if (uid == 0) return "/run/tarnel";
  const std::string base = tmp_dir != nullptr && tmp_dir[0] != '\0' ? tmp_dir : "/tmp";
  return base + "/tarnel-" + std::to_string(uid);
}

std::string Data_Copy_Socket_Folder() {
  return Data_Copy_Socket_Folder(std::getenv("XDG_RUNTIME_DIR"), platform::Own_User_Id(), std::getenv("TMPDIR"));
}

std::string Data_Copy_Socket_Path(const std::string& program_dir, const std::string& socket_path) {
  if (!socket_path.empty()) return socket_path;
  return Data_Copy_Socket_Folder() + "/" + Data_Copy_Socket_Name(program_dir);
}

bool Data_Copy_Peer_Allowed(unsigned peer_uid, unsigned peer_gid, unsigned own_uid, int group) {
  if (peer_uid == 0 || peer_uid == own_uid) return true;
  if (group < 0) return false;
  const unsigned gid = static_cast<unsigned>(group);
  return peer_gid == gid || platform::User_In_Group(peer_uid, gid);
}

bool Prepare_Socket_Folder(const std::string& folder, int group, std::string* why) {
  auto fail = [&](const std::string& text) {
    if (why) *why = text;
    return false;
  };
  const unsigned own = platform::Own_User_Id();
  platform::PathInfo info;
  std::string error;
  if (!platform::Path_Info(folder, &info, &error)) return fail("cannot examine the socket folder " + error);
  if (!info.exists) {
    if (!platform::Make_Folder(folder, group >= 0 ? 0750u : 0700u, &error))
      return fail("cannot create the socket folder " + error);
    if (group >= 0 && !platform::Set_Owner(folder, -1, group, &error))
      return fail("cannot give the socket folder its group: " + error);
    return true;
  }
  if (info.is_link) return fail("the socket folder " + folder + " is a symbolic link; refusing to use it");
  if (!info.is_folder) return fail("the socket folder " + folder + " exists and is not a folder");
  if (info.uid != own)
    return fail("the socket folder " + folder + " belongs to " + User_Text(info.uid) + ", not to " + User_Text(own) +
                " who runs this server; another user could replace the socket");
  if ((info.mode & 0002u) != 0)
    return fail("the socket folder " + folder + " (mode " + Octal(info.mode) +
                ") may be written by every user; anyone could replace the socket");
  if ((info.mode & 0020u) != 0 && !(group >= 0 && info.gid == static_cast<unsigned>(group)))
    return fail("the socket folder " + folder + " (mode " + Octal(info.mode) + ") may be written by the group " +
                Group_Text(info.gid) + "; its members could replace the socket");
  if (group >= 0) {
    // The group's members must be able to reach the socket inside.
    if (info.gid != static_cast<unsigned>(group) && !platform::Set_Owner(folder, -1, group, &error))
      return fail("cannot give the socket folder its group: " + error);
    if ((info.mode & 0050u) != 0050u && !platform::Set_Mode(folder, info.mode | 0050u, &error))
      return fail("cannot let the group search the socket folder: " + error);
  }
  return true;
}

int Send_Data_Copy(const std::string& socket_path, std::uint32_t tag, const std::string& data, int timeout_ms) {
  if (data.size() > kDataCopyMaxData) return DCC_BAD_REQUEST;
  const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  int s = platform::Unix_Connect(socket_path, timeout_ms);
  if (s == platform::UNIX_NO_PEER) return DCC_NO_INSTANCE;
  if (s == platform::UNIX_DENIED) return DCC_NOT_PERMITTED;
  if (s < 0) return DCC_NO_ANSWER;
  unsigned char header[kHeader];
  std::memcpy(header, kMagic, 4);
  Put32(header + 4, tag);
  Put32(header + 8, static_cast<std::uint32_t>(data.size()));
  int result = DCC_NO_ANSWER;
  unsigned char reply[8];
  long got = platform::UNIX_FAILED;
  // A server that will not serve this user closes the connection; the
  // request may then not even be taken whole.
  const long sent = platform::Unix_Send_All(s, header, kHeader, Left_Of(deadline));
  long sent_data = static_cast<long>(data.size());
  if (sent == static_cast<long>(kHeader) && !data.empty())
    sent_data = platform::Unix_Send_All(s, data.data(), data.size(), Left_Of(deadline));
  if (sent == static_cast<long>(kHeader) && sent_data == static_cast<long>(data.size()))
    got = platform::Unix_Recv_All(s, reply, sizeof reply, Left_Of(deadline));
  if (got == static_cast<long>(sizeof reply) && std::memcmp(reply, kMagic, 4) == 0) {
    const std::uint32_t r = Get32(reply + 4);
    result = r == 1 ? 1 : 0;
  } else if (got == platform::UNIX_CLOSED || sent == platform::UNIX_CLOSED || sent_data == platform::UNIX_CLOSED) {
    result = DCC_REFUSED;
  }
  platform::Unix_Close(s);
  return result;
}

bool Send_Control_Frame(int s, const std::string& body, int timeout_ms) {
  if (body.size() > kDataCopyMaxData) return false;
  const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  std::string frame(kControlHeader, '\0');
  std::memcpy(frame.data(), kControlMagic, 4);
  Put32(reinterpret_cast<unsigned char*>(frame.data()) + 4, static_cast<std::uint32_t>(body.size()));
  frame += body;
  return platform::Unix_Send_All(s, frame.data(), frame.size(), Left_Of(deadline)) == static_cast<long>(frame.size());
}

namespace {

// One control frame from s into *body: 1, or a DataCopyClientResult.
int Read_Control_Frame(int s, std::string* body, int timeout_ms) {
  const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  unsigned char header[kControlHeader];
  const long got = platform::Unix_Recv_All(s, header, sizeof header, timeout_ms);
  if (got == platform::UNIX_CLOSED) return DCC_REFUSED;
  if (got != static_cast<long>(sizeof header)) return DCC_NO_ANSWER;
  if (std::memcmp(header, kControlMagic, 4) != 0) return DCC_REFUSED;
  const std::uint32_t length = Get32(header + 4);
  if (length > kDataCopyMaxData) return DCC_REFUSED;
  body->assign(length, '\0');
  if (length > 0 && platform::Unix_Recv_All(s, body->data(), length, Left_Of(deadline)) != static_cast<long>(length))
    return DCC_NO_ANSWER;
  return 1;
}

}  // namespace

ControlConnection::~ControlConnection() { Close(); }

void ControlConnection::Close() {
  if (socket_ >= 0) platform::Unix_Close(socket_);
  socket_ = -1;
}

int ControlConnection::Request(const std::string& socket_path, const std::string& request, std::string* reply,
                               int timeout_ms) {
  Close();
  if (request.size() > kDataCopyMaxData) return DCC_BAD_REQUEST;
  const std::uint64_t deadline = platform::Monotonic_Ms() + static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  const int s = platform::Unix_Connect(socket_path, timeout_ms);
  if (s == platform::UNIX_NO_PEER) return DCC_NO_INSTANCE;
  if (s == platform::UNIX_DENIED) return DCC_NOT_PERMITTED;
  if (s < 0) return DCC_NO_ANSWER;
  socket_ = s;
  if (!Send_Control_Frame(s, request, Left_Of(deadline))) {
    Close();
    return DCC_REFUSED;
  }
  const int r = Read_Control_Frame(s, reply, Left_Of(deadline));
  if (r != 1) Close();
  return r;
}

int ControlConnection::Next(std::string* frame, int timeout_ms) {
  if (socket_ < 0) return DCC_REFUSED;
  const int r = Read_Control_Frame(socket_, frame, timeout_ms);
  if (r == DCC_REFUSED) Close();
  return r;
}

DataCopyServer::~DataCopyServer() {
  // Stop belongs on the window thread; this is the last resort.
  if (thread_.joinable()) {
    platform::Unix_Wake(listening_);
    thread_.join();
  }
  if (listening_ > 0) {
    platform::Unix_Remove(path_);
    platform::Unix_Close(listening_);
  }
}

int DataCopyServer::Start(const std::string& socket_path, const std::string& group_name, platform::HWND window,
                          LogFn log, std::string* why) {
  if (listening_ > 0) return -1;
  int group = -1;
  if (!group_name.empty()) {
    unsigned gid = 0;
    if (!platform::Group_Id(group_name, &gid)) {
      if (why) *why = "there is no group called " + group_name;
      return -1;
    }
    group = static_cast<int>(gid);
  }
  if (!Prepare_Socket_Folder(Folder_Of(socket_path), group, why)) return -1;
  const int l = platform::Unix_Listen(socket_path, group >= 0 ? 0660u : 0600u, group, why);
  if (l == platform::UNIX_IN_USE) return 0;
  if (l < 0) return -1;
  listening_ = l;
  path_ = socket_path;
  own_uid_ = platform::Own_User_Id();
  group_ = group;
  group_name_ = group_name;
  log_ = std::move(log);
  window_ = window;
  done_.store(false);
  try {
    thread_ = std::thread(&DataCopyServer::Serve, this);
  } catch (const std::system_error& e) {
    if (why) *why = e.what();
    platform::Unix_Remove(path_);
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
  // The file goes first: while it is there, a new server sees this one alive.
  platform::Unix_Remove(path_);
  platform::Unix_Close(listening_);
  listening_ = -1;
}

void DataCopyServer::Serve() {
  for (;;) {
    const int c = platform::Unix_Accept(listening_, -1);
    if (c == platform::UNIX_CLOSED || c == platform::UNIX_FAILED) break;
    if (c < 0) continue;
    if (Serve_One(c)) platform::Unix_Close(c);
  }
  Drop_Watchers();
  done_.store(true);
}

bool DataCopyServer::Serve_One(int c) {
  platform::UnixPeer peer;
  if (!platform::Unix_Peer(c, &peer)) {
    if (log_) log_("data-copy connection refused: the system does not tell who made it");
    return true;
  }
  if (!Data_Copy_Peer_Allowed(peer.uid, peer.gid, own_uid_, group_)) {
    if (log_)
      log_("data-copy request refused: uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid) +
           " is not allowed (only uid " + std::to_string(own_uid_) + ", root" +
           (group_ >= 0 ? " and group " + group_name_ : std::string()) + ")");
    return true;
  }
  const std::uint64_t deadline = platform::Monotonic_Ms() + kRequestTimeoutMs;
  // The magic tells a data-copy request from a control request.
  unsigned char header[kHeader];
  if (platform::Unix_Recv_All(c, header, 4, kRequestTimeoutMs) != 4) return true;
  if (std::memcmp(header, kControlMagic, 4) == 0) return Serve_Control(c, deadline);
  if (std::memcmp(header, kMagic, 4) != 0) return true;
  if (platform::Unix_Recv_All(c, header + 4, kHeader - 4, Left_Of(deadline)) != static_cast<long>(kHeader - 4))
    return true;
  const std::uint32_t length = Get32(header + 8);
  if (length > kDataCopyMaxData) return true;
  DataCopyCall call;
  call.tag = Get32(header + 4);
  call.data.resize(length);
  if (length > 0 && platform::Unix_Recv_All(c, call.data.data(), length, Left_Of(deadline)) != static_cast<long>(length))
    return true;
  // Handled on the window thread; a window that is gone answers nothing.
  if (!platform::Send_Message(window_, WM_DATA_COPY, 0, reinterpret_cast<platform::LPARAM>(&call))) return true;
  unsigned char reply[8];
  std::memcpy(reply, kMagic, 4);
  Put32(reply + 4, static_cast<std::uint32_t>(call.reply));
  platform::Unix_Send_All(c, reply, sizeof reply, kRequestTimeoutMs);
  return true;
}

bool DataCopyServer::Serve_Control(int c, std::uint64_t deadline) {
  unsigned char length_bytes[4];
  if (platform::Unix_Recv_All(c, length_bytes, 4, Left_Of(deadline)) != 4) return true;
  const std::uint32_t length = Get32(length_bytes);
  if (length > kDataCopyMaxData) return true;
  DataCopyCall call;
  call.control = true;
  call.data.resize(length);
  if (length > 0 && platform::Unix_Recv_All(c, call.data.data(), length, Left_Of(deadline)) != static_cast<long>(length))
    return true;
  if (!platform::Send_Message(window_, WM_DATA_COPY, 0, reinterpret_cast<platform::LPARAM>(&call))) return true;
  if (!call.watch) {
    Send_Control_Frame(c, call.reply_text, kRequestTimeoutMs);
    return true;
  }
  // The reply goes out under the lock, so no record overtakes it.
  std::lock_guard<std::mutex> lock(watchers_mu_);
  if (static_cast<int>(watchers_.size()) >= kMaxWatchers) {
    Send_Control_Frame(c, R"({"ok":false,"error":"too many connections watch already"})", kRequestTimeoutMs);
    return true;
  }
  if (!Send_Control_Frame(c, call.reply_text, kRequestTimeoutMs)) return true;
  watchers_.push_back(c);
  return false;
}

void DataCopyServer::Broadcast(const std::string& body) {
  std::lock_guard<std::mutex> lock(watchers_mu_);
  for (auto it = watchers_.begin(); it != watchers_.end();) {
    if (Send_Control_Frame(*it, body, kWatcherSendMs)) {
      ++it;
      continue;
    }
    platform::Unix_Close(*it);
    it = watchers_.erase(it);
  }
}

int DataCopyServer::Watchers() const {
  std::lock_guard<std::mutex> lock(watchers_mu_);
  return static_cast<int>(watchers_.size());
}

void DataCopyServer::Drop_Watchers() {
  std::lock_guard<std::mutex> lock(watchers_mu_);
  for (int w : watchers_) platform::Unix_Close(w);
  watchers_.clear();
}
