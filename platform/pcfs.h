// The PC file layer. The engine works on PC path strings as the protocol
// carries them ('\' separators, optional drive letter: C:\DATA\X.DAT); every
// function here takes such a string and turns it into a native path only at
// the system call:
//  - '\' and '/' are both separators;
//  - "X:" at the start stands for the root folder of drive X from the drive
//    table in the environment variable TARNEL_DRIVES ("C=/srv/ht;D=/media/usb").
//    C: is "/" unless the table maps it; other letters are unmapped unless
//    the table maps them, and an unmapped drive behaves like a drive that
//    does not exist. "." and ".." in a drive path stay inside the drive, as
//    on the PC ("C:\..\X" is "C:\X");
//  - a path that starts with a separator is a native absolute path; any
//    other path is relative to the process's current folder;
//  - a component missing as spelled resolves to the first entry of its folder
//    (in byte order) that equals it ignoring ASCII case; names that do not
//    exist in any spelling are created as spelled.
//
// The PC's file semantics are kept where the engine relies on them, also
// when the program runs as root:
//  - write protection is judged from the permission bits alone: a file
//    without any write bit is read-only (attribute 0x01); it cannot be opened
//    for writing or deleted (FS_ACCESS_DENIED) until its attribute is cleared;
//  - a folder cannot be opened as a file nor deleted as one (FS_ACCESS_DENIED).
//
// All functions are safe to call from several threads at once, and none
// changes the process's current folder, except Set_Current_Folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// Results of the file layer; errno is turned into one of these in one place.
enum FsResult : int {
  FS_OK = 0,
  FS_NOT_FOUND,        // the file or folder does not exist
  FS_PATH_NOT_FOUND,   // a folder on the way does not exist or is no folder
  FS_NO_DRIVE,         // the path names a drive the table does not map
  FS_ACCESS_DENIED,    // permission, read-only file, or a folder used as a file
  FS_EXISTS,           // the name already exists
  FS_NOT_EMPTY,        // the folder still holds entries
  FS_NOT_SAME_DEVICE,  // a rename across file systems
  FS_NO_SPACE,         // the disk is full or the file would be too large
  FS_INVALID,          // bad argument: empty path, impossible date, bad stream
  FS_IO_ERROR,         // any other failure of the system
};

// File attribute bits as the PC reports them.
constexpr std::uint8_t ATTR_READONLY = 0x01;
constexpr std::uint8_t ATTR_HIDDEN = 0x02;
constexpr std::uint8_t ATTR_SYSTEM = 0x04;
constexpr std::uint8_t ATTR_DIRECTORY = 0x10;
constexpr std::uint8_t ATTR_ARCHIVE = 0x20;

// ---------------------------------------------------------------------------
// Paths

// Native path for a PC path, resolved as above. Returns false (native left
// alone) only when the path names an unmapped drive or native is null.
bool To_Native_Path(const char* pc_path, std::string* native);

// Native root folder of drive letter (either case); false when unmapped.
bool Drive_Root(char letter, std::string* native_root);

// Confinement (off by default). While on, every PC path must stay inside the
// root folders of the mapped drives (Drive_Root of A: to Z:) after symbolic
// links are followed: a ".." that would climb above a drive's root (instead
// of stopping at the root), a native absolute or relative path outside every
// root, and a symbolic link (also a dangling one) that leads out of them are
// refused as if they named a drive that does not exist (FS_NO_DRIVE,
// To_Native_Path false), so the engine reports the path as not found. Each
// refusal is handed to the refusal hook. Safe to switch from any thread.
void Set_Confined(bool on);
bool Confined();

// Native paths that confinement allows besides the drive roots (a folder
// with everything in it, or one file, also before it exists): the
// operator's own paths from the configuration (working folder, error log
// file), which no terminal chooses. Replaces the earlier list; any thread.
void Set_Confine_Extra_Roots(const std::vector<std::string>& folders);

// To_Native_Path without the confinement check, for the operator's own
// configured paths.
bool To_Native_Path_Unconfined(const char* pc_path, std::string* native);

// Called once per refused path with the PC path and why (one line of text).
// Runs on the thread that asked for the path; the hook must be thread-safe.
using ConfineRefusalHook = void (*)(const char* pc_path, const char* why, void* context);
void Set_Confine_Refusal_Hook(ConfineRefusalHook hook, void* context);

// The confinement rule alone, on a native path: true when native (absolute,
// or relative to the current folder) lies inside one of the roots once
// every symbolic link on it is followed; *why says why not. Roots that do
// not exist hold nothing.
bool Inside_Roots(const std::string& native, const std::vector<std::string>& roots, std::string* why);

// True when text holds '*' or '?'.
bool Has_Wildcards(const char* text);

// PC wildcard match ignoring ASCII case: '*' matches any run of characters,
// '?' one character; a pattern ending in ".*" also matches the name without
// that extension, so "*.*" matches every name and "A.*" matches "A".
bool Wildcard_Match(const char* pattern, const char* name);

// ---------------------------------------------------------------------------
// Opening files

// fopen of a PC path with the PC's semantics (see above); the stream is
// closed on exec. Null on failure; *why (may be null) then tells the reason.
std::FILE* Open_PC_File(const char* pc_path, const char* mode, FsResult* why);
std::FILE* Open_PC_File(const char* pc_path, const char* mode);

struct FileStat;
// The same, and *info (when not null) describes the opened file as Stat_PC
// would, read from the open file itself so that it matches the content
// read; is_link is always false here. One lookup of the path for both.
std::FILE* Open_PC_File(const char* pc_path, const char* mode, FsResult* why, FileStat* info);

// Sets the length of an open stream's file to size (shortening or
// extending it), after flushing the stream. FS_INVALID for a null stream.
FsResult Truncate_File(std::FILE* file, std::uint64_t size);

// Sets last access and last write time of an open stream's file to t
// (seconds since the epoch).
FsResult Set_File_Times(std::FILE* file, std::int64_t t);

// ---------------------------------------------------------------------------
// Information and changes by path

struct FileStat {
  bool is_dir;
  bool is_link;           // the name is a symbolic link (the rest describes its target)
  std::uint64_t size;     // 0 for folders, as on the PC
  std::int64_t mtime;     // last write, seconds since the epoch
  std::uint8_t attributes;
};

// Information on the file or folder; symbolic links are followed (a dangling
// link describes the link itself).
FsResult Stat_PC(const char* pc_path, FileStat* st);
bool Exists_PC(const char* pc_path);

// Applies the PC attribute byte: read-only set clears every write permission
// bit, read-only clear gives the owner write permission back when no write bit
// is set. Folders keep their permissions; hidden, system and archive have no
// effect on Linux.
FsResult Set_Attributes_PC(const char* pc_path, std::uint8_t attributes);

// Sets last access and last write time by path.
FsResult Set_Times_PC(const char* pc_path, std::int64_t t);

// True when both paths name the same existing directory entry, also through
// other spellings ("C:\A\..\X.TXT" and "c:\x.txt"). A link or a second hard
// link to a file is another entry.
bool Same_Entry(const char* pc_a, const char* pc_b);

// Deletes a file or a symbolic link (never what it points to). A read-only
// file or a folder gives FS_ACCESS_DENIED.
FsResult Delete_PC_File(const char* pc_path);

// Creates one folder (the folders above it must exist). FS_EXISTS when the
// name exists.
FsResult Make_PC_Dir(const char* pc_path);

// Removes an empty folder. FS_NOT_EMPTY when it holds entries.
FsResult Remove_PC_Dir(const char* pc_path);

// Renames; an existing destination file is replaced. FS_NOT_SAME_DEVICE for
// a rename across file systems.
FsResult Rename_PC(const char* from_pc, const char* to_pc);

// Deletes a file named by a native path (temporary files).
FsResult Delete_Native_File(const char* native_path);

// ---------------------------------------------------------------------------
// Dates and times (local time of the process's time zone, TZ)

// Packed date (day << 24 | month << 16 | full year) and the time bytes
// seconds, minutes, hours of t in local time, the seconds truncated to even
// (the PC's two-second file time resolution). date 0 and time 0 0 0 when t
// cannot be converted.
void Pack_File_Time(std::int64_t t, std::uint32_t* date, std::uint8_t time[3]);

// Seconds since the epoch of a local date and time. False for a date or time
// out of range (month 1..12, day 1..31 and existing in that month, year
// 1900..9999, hour < 24, minute < 60, second < 60).
bool Local_To_Epoch(int year, int month, int day, int hour, int minute,
                    int second, std::int64_t* t);

// ---------------------------------------------------------------------------
// Disks

// Capacity and free space (available to this program) of the drive's root
// folder in bytes. False when the drive is unmapped or cannot be asked.
bool Disk_Space(char letter, std::uint64_t* total, std::uint64_t* free_bytes);

// ---------------------------------------------------------------------------
// Temporary files

// A new file with a unique name made from the prefix "qvr" in $TMPDIR
// (default /tmp), created exclusively and opened for reading and writing in
// binary mode. Null on failure; *native_name receives the file's native path.
std::FILE* Make_Temp_File(std::string* native_name);

// ---------------------------------------------------------------------------
// Staging files
//
// A receive that replaces a PC file writes the new content into a staging
// file in the folder of the file and renames it over the file only once it
// is complete, so the file is replaced in one step or not at all. Staging
// files are hidden (".qvr", 16 lower-case hexadecimal digits, ".tmp") and no
// directory search lists them.

// True when the last component of path is a staging file's name.
bool Is_Staging_Name(const char* path);

// A new staging file for the PC file pc_path, opened for writing in binary
// mode, in the folder of the file pc_path finally names: a symbolic link is
// followed to where it points (a dangling one too), so the link itself
// stays. The file is created readable by its owner only while pc_path
// exists (it gets the PC file's permissions when it replaces it), else with
// the usual permissions. Staging files older than a day that a crash left
// in that folder are deleted first (each folder at most once an hour).
// Null on failure, with *why (may be null); *staging_native receives the
// staging file's native path.
std::FILE* Create_Staging_File(const char* pc_path, std::string* staging_native, FsResult* why);

// Gives the open staging file the owner, group and permission bits of the
// file pc_path finally names, when that exists (else leaves it alone). An
// owner the process may not give is left as it is; set-user-ID and
// set-group-ID bits are not carried over to the new content. FS_OK, or the
// reason the permission bits could not be set.
FsResult Adopt_Owner_And_Mode(std::FILE* staging, const char* pc_path);

// Renames the closed staging file staging_native over the file pc_path
// finally names (a symbolic link stays and then points at the new file).
// Durable: the staging file's data is synced to disk before the rename
// (a failed sync leaves both files as they were and gives its reason), the
// folder after it (a failure there is not reported: the rename stands).
FsResult Replace_With_Staging(const std::string& staging_native, const char* pc_path);

// ---------------------------------------------------------------------------
// Current folder (shared by every thread of the process)

bool Get_Current_Folder(std::string* native);
// Changes the process's current folder. Engines never call this: several
// sessions share one process and resolve their relative paths against it.
FsResult Set_Current_Folder(const char* pc_path);

// ---------------------------------------------------------------------------
// Directory search with the PC's semantics

struct FoundEntry {
  std::string name;        // the entry's name as the folder spells it
  bool is_dir;
  bool is_link;            // a symbolic link; never descended into by deletions
  std::uint64_t size;      // 0 for folders
  std::int64_t mtime;
  std::uint8_t attributes;
};

// A search of one folder for a pattern, kept by its caller between calls.
// The folder is read once when the search starts, so entries created or
// deleted during the search do not disturb it. Matches come in byte order
// of their names, "." and ".." first; those two are reported in every folder
// except a drive's or the system's root, like the PC's search does. Matching
// ignores case (Wildcard_Match). Staging files are never reported. One
// search is used by one thread at a time.
class DirSearch {
 public:
  DirSearch() = default;
  DirSearch(DirSearch&&) = default;
  DirSearch& operator=(DirSearch&&) = default;
  DirSearch(const DirSearch&) = delete;
  DirSearch& operator=(const DirSearch&) = delete;

  // Starts a search for pc_pattern: a folder part and a last component that
  // may hold wildcards ("C:\DATA\*.DAT", "*.*"). True with the first match in
  // *found; false when the folder cannot be read or nothing matches (the
  // search is then closed).
  bool First(const char* pc_pattern, FoundEntry* found);
  // The next match; false, and the search closed, when there is none.
  bool Next(FoundEntry* found);
  void Close();
  bool Active() const { return active_; }
  // Folder part of the pattern as given, with its trailing separator ("" when
  // the pattern has none).
  const std::string& Folder() const { return folder_pc_; }

 private:
  bool active_ = false;
  std::string folder_pc_;
  std::string folder_native_;
  std::string pattern_;
  std::vector<std::string> names_;
  std::size_t next_ = 0;
};

}  // namespace platform
