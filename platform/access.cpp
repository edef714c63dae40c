#include "platform/access.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

void Say(std::string* why, const std::string& path, int e) {
  if (why) *why = path + ": " + std::strerror(e);
}

// A buffer size for the reentrant user and group lookups.
std::size_t Lookup_Buffer_Size(int which) {
  const long n = sysconf(which);
  return n > 0 ? static_cast<std::size_t>(n) : 16384;
}

// getpwuid_r with a buffer that grows when an entry does not fit.
bool Find_User(unsigned uid, passwd* pw, std::vector<char>* buf) {
  buf->resize(Lookup_Buffer_Size(_SC_GETPW_R_SIZE_MAX));
  for (int tries = 0; tries < 8; ++tries) {
    passwd* found = nullptr;
    const int r = getpwuid_r(static_cast<uid_t>(uid), pw, buf->data(), buf->size(), &found);
    if (r == ERANGE) {
      buf->resize(buf->size() * 2);
      continue;
    }
    return r == 0 && found != nullptr;
  }
  return false;
}

}  // namespace

unsigned Own_User_Id() { return static_cast<unsigned>(geteuid()); }

std::string User_Name(unsigned uid) {
  passwd pw;
  std::vector<char> buf;
  if (!Find_User(uid, &pw, &buf) || pw.pw_name == nullptr) return "";
  return pw.pw_name;
}

bool Group_Id(const std::string& name, unsigned* gid) {
  std::vector<char> buf(Lookup_Buffer_Size(_SC_GETGR_R_SIZE_MAX));
  for (int tries = 0; tries < 8; ++tries) {
    group gr;
    group* found = nullptr;
    const int r = getgrnam_r(name.c_str(), &gr, buf.data(), buf.size(), &found);
    if (r == ERANGE) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (r != 0 || found == nullptr) return false;
    *gid = static_cast<unsigned>(gr.gr_gid);
    return true;
  }
  return false;
}

std::string Group_Name(unsigned gid) {
  std::vector<char> buf(Lookup_Buffer_Size(_SC_GETGR_R_SIZE_MAX));
  for (int tries = 0; tries < 8; ++tries) {
    group gr;
    group* found = nullptr;
    const int r = getgrgid_r(static_cast<gid_t>(gid), &gr, buf.data(), buf.size(), &found);
    if (r == ERANGE) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (r != 0 || found == nullptr || gr.gr_name == nullptr) return "";
    return gr.gr_name;
  }
  return "";
}

bool User_In_Group(unsigned uid, unsigned gid) {
  passwd pw;
  std::vector<char> buf;
  if (!Find_User(uid, &pw, &buf) || pw.pw_name == nullptr) return false;
  if (static_cast<unsigned>(pw.pw_gid) == gid) return true;
  // getgrouplist says how many groups there are when the list is too short.
  std::vector<gid_t> groups(32);
  for (int tries = 0; tries < 4; ++tries) {
    int n = static_cast<int>(groups.size());
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) >= 0) {
      for (int i = 0; i < n; ++i)
        if (static_cast<unsigned>(groups[static_cast<std::size_t>(i)]) == gid) return true;
      return false;
    }
    if (n <= static_cast<int>(groups.size())) return false;
    groups.resize(static_cast<std::size_t>(n));
  }
  return false;
}

bool Path_Info(const std::string& path, PathInfo* info, std::string* why) {
  *info = PathInfo{};
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    Say(why, path, errno);
    return false;
  }
  info->exists = true;
  info->is_folder = S_ISDIR(st.st_mode);
  info->is_link = S_ISLNK(st.st_mode);
  info->uid = static_cast<unsigned>(st.st_uid);
  info->gid = static_cast<unsigned>(st.st_gid);
  info->mode = static_cast<unsigned>(st.st_mode) & 07777u;
  return true;
}

bool Make_Folder(const std::string& path, unsigned mode, std::string* why) {
  // Created with no permissions for anybody else, then opened up to mode:
  // the umask never lets it start out more open than asked.
  if (mkdir(path.c_str(), 0700) != 0) {
    Say(why, path, errno);
    return false;
  }
  return Set_Mode(path, mode, why);
}

bool Set_Mode(const std::string& path, unsigned mode, std::string* why) {
  if (chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    Say(why, path, errno);
    return false;
  }
  return true;
}

bool Set_Owner(const std::string& path, int uid, int gid, std::string* why) {
  if (chown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
    Say(why, path, errno);
    return false;
  }
  return true;
}

bool Folder_Writable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return ::eaccess(path.c_str(), W_OK | X_OK) == 0;
}

}  // namespace platform
