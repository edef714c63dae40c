// Users, groups and the ownership and permission bits of files and folders:
// what the data-copy socket needs to keep other users out. The rules (which
// folder, which modes, who may hand in requests) belong to the callers; this
// file only asks and sets.
//
// Every call may be made from any thread.
#pragma once

#include <string>

namespace platform {

// The effective user id of this process (the one its files are created as).
unsigned Own_User_Id();

// The user's login name; "" when the user database does not know uid.
std::string User_Name(unsigned uid);

// The id of the group called name. False when there is no such group.
bool Group_Id(const std::string& name, unsigned* gid);

// The name of group gid; "" when the group database does not know it.
std::string Group_Name(unsigned gid);

// True when user uid belongs to group gid: as its primary group in the user
// database or as one of its supplementary groups. False for a uid that the
// user database does not know.
bool User_In_Group(unsigned uid, unsigned gid);

// What one path is, without following a symbolic link at its end.
struct PathInfo {
  bool exists = false;
  bool is_folder = false;
  bool is_link = false;
  unsigned uid = 0;
  unsigned gid = 0;
  unsigned mode = 0;  // permission bits only (07777)
};

// Fills *info for path. False (with *why, when given) when path cannot be
// examined for another reason than not existing; a missing path is
// info->exists == false and true.
bool Path_Info(const std::string& path, PathInfo* info, std::string* why);

// Creates the folder path (its parent must exist) and gives it exactly mode,
// whatever the process's umask. False with *why when it cannot; also when
// something exists at path already.
bool Make_Folder(const std::string& path, unsigned mode, std::string* why);

// Sets the permission bits of path (following symbolic links).
bool Set_Mode(const std::string& path, unsigned mode, std::string* why);

// Sets the owner and/or group of path; pass -1 to leave one as it is.
bool Set_Owner(const std::string& path, int uid, int gid, std::string* why);

// True when this process may create files in the folder at path (it exists,
// is a folder, and the effective user may write and search it).
bool Folder_Writable(const std::string& path);

}  // namespace platform
