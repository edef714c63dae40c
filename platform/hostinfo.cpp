#include "platform/hostinfo.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

void Copy_Out(char* out, std::size_t cap, const char* text) {
  if (out == nullptr || cap == 0) return;
  const std::size_t n = std::min(std::strlen(text), cap - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// Names in folder that start with prefix (and have more after it), sorted
// so that a number after the prefix counts by its value.
std::vector<std::string> Names_With_Prefix(const std::string& folder, const char* prefix) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (d == nullptr) return names;
  const std::size_t plen = std::strlen(prefix);
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (name[0] == '.') continue;
    if (std::strncmp(name, prefix, plen) != 0) continue;
    if (plen > 0 && name[plen] == '\0') continue;
    names.emplace_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end(), [plen](const std::string& a, const std::string& b) {
    const std::string ta = a.substr(plen), tb = b.substr(plen);
    const bool da = !ta.empty() && ta.find_first_not_of("0123456789") == std::string::npos && ta.size() < 10;
    const bool db = !tb.empty() && tb.find_first_not_of("0123456789") == std::string::npos && tb.size() < 10;
    if (da && db) return std::stoul(ta) < std::stoul(tb);
    if (da != db) return da;  // numbered devices first
    return a < b;
  });
  return names;
}

// True when the port type file says 0 (no UART); an unreadable file says
// nothing, so the port is kept.
bool No_Uart(const std::string& type_file) {
  const int fd = open(type_file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[16] = "";
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  return n > 0 && text[0] == '0' && (n == 1 || text[1] == '\n');
}

}  // namespace

bool Host_Name_Address(char* out, std::size_t cap) {
  Copy_Out(out, cap, "");
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  bool ok = false;
  for (addrinfo* f = found; f != nullptr; f = f->ai_next) {
    if (f->ai_family != AF_INET || f->ai_addr == nullptr) continue;
    char text[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(f->ai_addr)->sin_addr, text, sizeof text) ==
        nullptr)
      continue;
    Copy_Out(out, cap, text);
    ok = true;
    break;
  }
  freeaddrinfo(found);
  return ok;
}

std::vector<std::string> Serial_Device_List(const std::string& dev_root, const std::string& sys_root) {
  std::vector<std::string> list;
  for (const std::string& n : Names_With_Prefix(dev_root, "ttyS"))
    if (!No_Uart(sys_root + "/" + n + "/type")) list.push_back(dev_root + "/" + n);
  for (const std::string& n : Names_With_Prefix(dev_root, "ttyUSB")) list.push_back(dev_root + "/" + n);
  const std::string by_id = dev_root + "/serial/by-id";
  for (const std::string& n : Names_With_Prefix(by_id, "")) list.push_back(by_id + "/" + n);
  return list;
}

}  // namespace platform
