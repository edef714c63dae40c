// The simulated HT's disk: a folder on this machine. Every HT drive letter
// stands for that folder (A:\X.DAT is DIR/X.DAT, A:\SUB\X.DAT is
// DIR/SUB/X.DAT); '\' and '/' both separate; names are found ignoring case
// when the exact spelling does not exist, and created as spelled. Paths that
// would leave the folder ("..") are refused.
//
// Results are ending codes of the shared table (0 = done), which the session
// sends in an end indication when a PC request cannot be carried out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/htsim/packet.h"

namespace htsim {

namespace fs = std::filesystem;

// DOS-style match ignoring ASCII case: '*' any run, '?' one character;
// "*.*" matches every name.
bool Wildcard_Match(const std::string& pattern, const std::string& name);
bool Has_Wildcards(const std::string& text);

// Splits "a::b::c" into its names (empty names dropped).
std::vector<std::string> Split_List(const std::string& list);

// Date and time of the last write in local time, seconds cut to even (the
// two-second resolution of the HT's file system).
Stamp File_Stamp(const fs::path& p);
// Sets the last-write time; false when it cannot be set or the stamp is no
// valid local time.
bool Set_File_Stamp(const fs::path& p, const Stamp& s);
// Write protection is the absence of every write permission bit.
bool Is_Read_Only(const fs::path& p);
void Set_Read_Only(const fs::path& p, bool on);

// A file found on the disk: where it is, and the HT name it goes by.
struct DiskEntry {
  fs::path path;
  std::string ht_name;
};

class HtDisk {
 public:
  // root must be an existing folder.
  explicit HtDisk(fs::path root);

  const fs::path& Root() const { return root_; }

  // The native path of an HT path: 0, or 49 when it would leave the disk.
  // A component missing as spelled resolves to the first entry of its
  // folder (in name order) that equals it ignoring ASCII case. The folder's
  // names are read once and kept while the folder's modification time stays
  // what it was when they were read (or when Note_Created last updated
  // them), so a run of new files does not read the folder again per file.
  // The file system stamps folders with a coarse clock (a few ms), so a
  // name that another program adds within the same tick as the change
  // htsim last saw can stay unseen until the folder changes again.
  int Resolve(const std::string& ht, fs::path* out) const;

  // Tells the lookups that this program has just put the file p in place
  // and that its folder's modification time was before when the work on it
  // began: when the kept names were current then, they take p in instead
  // of being read again; otherwise they are read again at the next lookup.
  // Any thread may call it.
  void Note_Created(const fs::path& p, fs::file_time_type before) const;

  // File information of one file, named ht_name in the record: 0, or 48.
  int Info(const fs::path& p, const std::string& ht_name, FileInfo* out) const;

  // Regular files for one name of a request, sorted by name: the file itself
  // for a plain name, the folder's matches for a wildcard name, and with
  // subfolders the matches in the whole tree below the name's folder
  // (breadth first). HT names keep the folder part as the request wrote it,
  // followed by the path below it with '\'. Adds to *out; 0 or 49.
  int Find(const std::string& name, bool subfolders, std::vector<DiskEntry>* out) const;

  // Deletes the "::"-separated names. Without read_only_too a write-protected
  // file ends the deletion with 70; folders go only when empty unless
  // recurse, which also removes a plain name's matches in every subfolder
  // when the name itself does not exist. 0, 32, 49, 52 or 70.
  int Delete(const std::string& names, bool read_only_too, bool recurse) const;

  // Moves or renames: 0, 48 (no source), 32 (destination is a folder), 49,
  // 70 (destination write-protected).
  int Move(const std::string& from, const std::string& to) const;

  // Capacity and free bytes of the folder's file system, saturated at
  // 0xFFFFFFFF.
  void Space(std::uint32_t* total, std::uint32_t* free) const;

  // Applies a set-file-information record: size (when not 0), date and time
  // (when both given) and the read-only attribute. 0, 43, 44, 48, 49 or 62.
  int Set_Info(const FileInfo& info) const;

 private:
  // The first name of dir equal to name ignoring ASCII case, "" when none.
  std::string Find_Ignoring_Case(const fs::path& dir, const std::string& name) const;

  // One folder's names by their lower-case form (the first in name order
  // each), with the folder's modification time when they were taken.
  struct FolderNames {
    fs::file_time_type changed;
    std::unordered_map<std::string, std::string> by_lower;
  };

  fs::path root_;
  mutable std::mutex names_mu_;
  mutable std::map<fs::path, FolderNames> names_;
};

// A file being received: the data goes to a temporary file beside the
// target, which replaces the target (or is appended to it) only when the
// last block is in, so a broken transfer leaves the target as it was.
class IncomingFile {
 public:
  IncomingFile() = default;
  ~IncomingFile() { Abandon(); }
  IncomingFile(const IncomingFile&) = delete;
  IncomingFile& operator=(const IncomingFile&) = delete;

  // Prepares receiving into target: its folders are made; an existing
  // write-protected target gives 70 unless overwrite, which lifts the
  // protection. 0, 49, 54, 62 or 70.
  int Begin(const fs::path& target, bool append, bool overwrite);
  // 62 when the bytes cannot be written. Blocks are gathered in memory and
  // written in large pieces (a write per block would cost more than the
  // rest of receiving it), so a write failure may show at a later block or
  // at Commit.
  int Write(const std::uint8_t* p, std::size_t n);
  // Keeps at most limit bytes of what arrived (the announced size) and puts
  // them in place; with a stamp, sets the target's time and attributes.
  // Returns 0 or 62; *kept gets the bytes that reached the target.
  int Commit(std::uint64_t limit, const FileInfo* stamp_from, std::uint64_t* kept);
  // Removes the temporary file, leaving the target alone.
  void Abandon();
  bool Open() const { return !temp_.empty(); }
  std::uint64_t Received() const { return received_; }
  const fs::path& Target() const { return target_; }
  // The modification time of the target's folder just before Begin put the
  // temporary file there; the epoch when it could not be read or when the
  // folder changed otherwise while the file came in (Commit tells).
  fs::file_time_type Folder_Changed_Before() const { return folder_before_; }

 private:
  fs::path target_;
  fs::path temp_;
  // Writes what pending_ holds; false when the file refused it.
  bool Flush();

  std::ofstream out_;
  std::vector<std::uint8_t> pending_;
  bool append_ = false;
  std::uint64_t received_ = 0;
  fs::file_time_type folder_before_{};
  fs::file_time_type folder_with_temp_{};
};

}  // namespace htsim
