// File transfer: the four transfer states, sending and receiving the data
// blocks of one file, and the steps of the wait and idle states that start
// a transfer.
//
// Speed: a file moves in one state step, block after block, without sleeps;
// files are read and written in pieces of transfer::kChunkSize bytes through
// per-thread buffers, so no block allocates; progress is reported only when
// its percentage rises.
//
// Whole files or nothing: a replacing receive writes into a hidden staging
// file next to the PC file and renames it over the PC file after the last
// block; an appending receive collects the data in a temporary file and
// appends it under the PC file's named lock. A failure at any point leaves
// the PC file as it was.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "channel/mux32.h"
#include "engine/bounded.h"
#include "engine/rox32.h"
#include "engine/transfer_local.h"
#include "platform/atomic.h"
#include "platform/namedlock.h"
#include "platform/pcfs.h"

namespace {

constexpr unsigned kHeader = 5;
constexpr unsigned char kMoreBlocks = 0xF0;
constexpr unsigned char kLastBlock = 0xF1;
// Pieces of the copy from the temporary file to the PC file in append mode.
constexpr std::size_t kAppendPiece = 32767;
// Longest PC path the append lock's name is made from.
constexpr std::size_t kLockNameMax = 260;
constexpr int kSendMode = 1;
constexpr int kReceiveMode = 2;

void Put16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v & 0xFF);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void Report_Progress(RS232_ROX& e, int mode, unsigned percent) {
  e.Update_Status(e.SessionInfo.Session, e.CurrentFile, mode, static_cast<int>(percent), 0, e.OpMode);
}

// Content size of one data block.
std::uint32_t Block_Size() {
  std::uint32_t size = platform::Load(MAX_WRITE_SIZE);
  if (size == 0) return transfer::kDefaultBlock;
  return std::min(size, transfer::kMaxBlock);
}

short Open_Failure(platform::FsResult why) {
  return why == platform::FS_ACCESS_DENIED ? E_FILE_BEING_ACCESSED : E_FILE_NOTHING;
}

// Sends the response of the given kind with letters; 0 or 71.
short Answer(RS232_ROX& e, int channel, Cmdtag kind, unsigned char command, unsigned char sub) {
  const unsigned char letters[2] = {command, sub};
  short r = e.Make_Response_Packet(kind, letters, nullptr, e.PacketBuf);
  if (r != E_NORMAL) return r;
  return e.Send_Packet_Buffer(channel) < 1 ? static_cast<short>(E_COMMUNICATION) : static_cast<short>(E_NORMAL);
}

// One less file to move; true while files remain. FileCount holds the
// announced 16-bit count.
bool Count_Down(RS232_ROX& e) {
  auto left = static_cast<std::uint16_t>(e.FileCount);
  if (left > 0) --left;
  e.FileCount = static_cast<std::int16_t>(left);
  return left > 0;
}

// The file a replacing receive writes: a new hidden file in the folder of
// the PC file (of the file a symbolic link points at), so that renaming it
// over that file replaces it in one step with the old file's owner and
// permissions. Deleted by the destructor unless it was renamed.
class StagingFile {
 public:
  StagingFile() = default;
  ~StagingFile() { Discard(); }
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;

  // Creates the staging file for PC file pc_path: 0, 108 the folder refuses
  // new files, 54 any other failure.
  short Create(const std::string& pc_path) {
    platform::FsResult why = platform::FS_OK;
    file_ = platform::Create_Staging_File(pc_path.c_str(), &path_, &why);
    if (file_ == nullptr) {
      path_.clear();
      return Open_Failure(why);
    }
    return E_NORMAL;
  }

  std::FILE* File() const { return file_; }

  // Closes the file and renames it over pc_path: 0, 62 the data could not
  // be written, 108 or 54 the new file could not take the old one's
  // permissions or place.
  short Replace(const std::string& pc_path) {
    bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    platform::FsResult adopted = written ? platform::Adopt_Owner_And_Mode(file_, pc_path.c_str()) : platform::FS_OK;
    written = std::fclose(file_) == 0 && written;
    file_ = nullptr;
    if (!written) return E_WRITE_ERROR;
    if (adopted != platform::FS_OK) return Open_Failure(adopted);
    platform::FsResult r = platform::Replace_With_Staging(path_, pc_path.c_str());
    if (r != platform::FS_OK) return Open_Failure(r);
    path_.clear();
    return E_NORMAL;
  }

  void Discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!path_.empty()) platform::Delete_Native_File(path_.c_str());
    path_.clear();
  }

 private:
  std::FILE* file_ = nullptr;
  std::string path_;  // native path
};

// The temporary file of an appending receive; deleted by the destructor.
class TempFile {
 public:
  TempFile() = default;
  ~TempFile() { RS232_ROX::CloseDeleteFile(file_, name_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  bool Create() {
    file_ = RS232_ROX::MakeTempFile(&name_);
    return file_ != nullptr;
  }
  std::FILE* File() const { return file_; }

 private:
  std::FILE* file_ = nullptr;
  char* name_ = nullptr;
};

// Collects written bytes in a buffer and writes them in big pieces.
class Writer {
 public:
  Writer(std::FILE* file, unsigned char* buffer) : file_(file), buffer_(buffer) {}
  bool Write(const unsigned char* data, std::size_t n) {
    while (n > 0) {
      if (used_ == transfer::kChunkSize && !Flush()) return false;
      std::size_t take = std::min(n, transfer::kChunkSize - used_);
      std::memcpy(buffer_ + used_, data, take);
      used_ += take;
      data += take;
      n -= take;
    }
    return true;
  }
  bool Flush() {
    if (used_ > 0 && std::fwrite(buffer_, 1, used_, file_) != used_) return false;
    used_ = 0;
    return true;
  }

 private:
  std::FILE* file_;
  unsigned char* buffer_;
  std::size_t used_ = 0;
};

// Holds the append lock of the engine and publishes it in AppendLock while
// held.
class AppendGuard {
 public:
  explicit AppendGuard(RS232_ROX& e) : e_(e) {}
  ~AppendGuard() { Release(); }
  AppendGuard(const AppendGuard&) = delete;
  AppendGuard& operator=(const AppendGuard&) = delete;
  bool Take(const std::string& name) {
    if (!lock_.Open(name.c_str()) || !lock_.Lock()) return false;
    e_.AppendLock = &lock_;
    return true;
  }
  void Release() {
    lock_.Unlock();
    lock_.Close();
    e_.AppendLock = nullptr;
  }

 private:
  RS232_ROX& e_;
  platform::NamedLock lock_;
};

// Name of the system-wide lock of a PC file: the file's native path, so
// that every spelling of the same existing file shares one lock; the PC
// path with '/' for '\' when it names no mapped drive.
std::string Lock_Name(const std::string& pc_path) {
  std::string name;
  if (!platform::To_Native_Path(pc_path.c_str(), &name)) {
    name = pc_path.substr(0, kLockNameMax);
    std::replace(name.begin(), name.end(), '\\', '/');
  }
  return name;
}

// Appends the temporary file's bytes to the PC file under its lock: 0, 54
// or 108 the PC file cannot be opened (or locked), 63 the temporary file
// cannot be read, 62 the PC file cannot be written. A failed append cuts
// the PC file back to its former length.
short Append_To_PC_File(RS232_ROX& e, std::FILE* temp, const std::string& pc_path, std::uint64_t bytes) {
  if (std::fflush(temp) != 0 || std::fseek(temp, 0, SEEK_SET) != 0) return E_READ_ERROR;
  AppendGuard guard(e);
  if (!guard.Take(Lock_Name(pc_path))) return E_FILE_NOTHING;
  platform::FileStat st;
  if (e.TransferOption && platform::Stat_PC(pc_path.c_str(), &st) == platform::FS_OK &&
      (st.attributes & platform::ATTR_READONLY) != 0)
    platform::Set_Attributes_PC(pc_path.c_str(), static_cast<std::uint8_t>(st.attributes & ~platform::ATTR_READONLY));
  platform::FsResult why = platform::FS_OK;
  std::FILE* pc = platform::Open_PC_File(pc_path.c_str(), "ab", &why);
  if (pc == nullptr) return Open_Failure(why);
  long before = -1;
  if (std::fseek(pc, 0, SEEK_END) == 0) before = std::ftell(pc);
  unsigned char* buffer = transfer::Read_Buffer();
  short r = buffer == nullptr ? E_MEMORY : E_NORMAL;
  while (r == E_NORMAL && bytes > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kAppendPiece));
    std::size_t got = std::fread(buffer, 1, want, temp);
    if (got > 0 && std::fwrite(buffer, 1, got, pc) != got) r = E_WRITE_ERROR;
    if (r == E_NORMAL && got < want) {
      // The end of what arrived ends the copy; a read error fails it.
      if (std::ferror(temp)) r = E_READ_ERROR;
      break;
    }
    bytes -= got;
  }
  if (r == E_NORMAL && std::fflush(pc) != 0) r = E_WRITE_ERROR;
  if (r != E_NORMAL && before >= 0) platform::Truncate_File(pc, static_cast<std::uint64_t>(before));
  if (std::fclose(pc) != 0 && r == E_NORMAL) r = E_WRITE_ERROR;
  return r;
}

bool Is_Data_Block(const unsigned char* pkt) {
  return pkt[0] == 1 && (pkt[1] == 'S' || pkt[1] == 'A') && pkt[2] == 'd';
}

// A PC path an engine may work with: not empty, and short enough for
// CurrentFile.
bool Usable_Path(const RS232_ROX& e, const std::string& path) {
  return !path.empty() && path.size() < sizeof e.CurrentFile && path.find('\0') == std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Sending

short RS232_ROX::Send_File_Data(int channel, std::FILE* file) {
  if (file == nullptr || PacketBuf == nullptr) return E_FILE_NOTHING;
  if (std::fseek(file, 0, SEEK_END) != 0) return 59;
  const long end = std::ftell(file);
  if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) return 59;
  const auto size = static_cast<std::uint64_t>(end);
  if (Poll_Abort_Flag() != E_NORMAL) return E_BREAK_KEY;
  Report_Progress(*this, kSendMode, 0);

  unsigned char* chunk = transfer::Read_Buffer();
  if (chunk == nullptr) return E_MEMORY;
  const std::uint32_t block_size = Block_Size();
  // The letter of the HT's answer to the file information ('S' or 'A').
  const unsigned char letter = PacketBuf[1];
  std::size_t chunk_have = 0, chunk_used = 0;
  std::uint64_t read = 0, sent = 0;
  unsigned char block = 0;
  unsigned reported = 0;
  for (;;) {
    const std::uint64_t remaining = size - sent;
    const bool last = remaining <= block_size;
    const auto n = static_cast<std::size_t>(last ? remaining : block_size);
    unsigned char* content = PacketBuf + kHeader + 1;
    for (std::size_t done = 0; done < n;) {
      if (chunk_used == chunk_have) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(transfer::kChunkSize, size - read));
        // A file that yields less than its size (it shrank, or a read
        // failed) cannot be sent whole.
        if (want == 0 || std::fread(chunk, 1, want, file) != want) return E_READ_ERROR;
        read += want;
        chunk_have = want;
        chunk_used = 0;
      }
      const std::size_t take = std::min(n - done, chunk_have - chunk_used);
      std::memcpy(content + done, chunk + chunk_used, take);
      chunk_used += take;
      done += take;
    }
    PacketBuf[0] = 1;
    PacketBuf[1] = letter;
    PacketBuf[2] = 'd';
    Put16(PacketBuf + 3, static_cast<std::uint16_t>(n + 2));
    PacketBuf[kHeader] = block;
    content[n] = last ? kLastBlock : kMoreBlocks;
    Put16(content + n + 1, static_cast<std::uint16_t>(Calc_Checksum(PacketBuf)));
    if (Send(channel, PacketBuf, static_cast<unsigned short>(n + 9)) < 1) return E_COMMUNICATION;
    sent += n;

    if (!last) {
      // Blocks are not acknowledged; only an end indication may come back
      // meanwhile. After the last block the HT's answer is read by the
      // state, so nothing of it is taken here.
      long got = Recv(channel, PacketBuf, 7, 1);
      if (got < 0) return E_COMMUNICATION;
      if (got >= 2 && PacketBuf[1] == 'E') {
        if (got < 7) Recv(channel, PacketBuf + got, static_cast<unsigned short>(7 - got), 0);
        Error(static_cast<short>(HTNumber), Get_Error_Message(PacketBuf[6], PacketBuf[5]));
        return E_END_FROM_HT;
      }
    }
    const auto percent = static_cast<unsigned>(size == 0 ? 100 : sent * 100 / size);
    if (Poll_Abort_Flag() != E_NORMAL) return E_BREAK_KEY;
    if (percent > reported) {
      reported = percent;
      Report_Progress(*this, kSendMode, percent);
    }
    if (last) return E_NORMAL;
    block = static_cast<unsigned char>(block + 1);
  }
}

short RS232_ROX::File_Info_Tx_State_Process(int channel, char* command) {
  State = 4;
  if (PacketBuf == nullptr) return E_MEMORY;
  short r = Receive_Answer(channel);
  if (r != E_NORMAL) return r;
  if (PacketBuf[0] != 0 || PacketBuf[1] != 'S' || (PacketBuf[2] != 't' && PacketBuf[2] != 'd')) return E_SEQUENCE;
  if (Poll_Abort_Flag() != E_NORMAL) return E_BREAK_KEY;

  char name[sizeof CurrentFile];
  unsigned short got = Read_OneName(name, sizeof name);
  if ((got & 0xFF) != 0) transfer::Drop_List(*this);
  if ((got & 0x100) != 0) return E_FILE_NOTHING;
  if (name[0] == '\0') return E_PATH_NOT_FOUND;
  bounded::Copy(CurrentFile, name);

  platform::FsResult why = platform::FS_OK;
  platform::FileStat st;
  if (SourceFile != nullptr) std::fclose(SourceFile);
  SourceFile = platform::Open_PC_File(name, "rb", &why, &st);
  if (SourceFile == nullptr) return Open_Failure(why);

  try {
    const std::string ht = PcDriven ? transfer::Send_Name(*this, transfer::Command_Text(command), name) : name;
    const unsigned char letters[2] = {'S', 'i'};
    // The open file's own information: the file is looked up once.
    r = Make_FileInfo_Packet(name, st, ht.c_str(), letters, PacketBuf);
  } catch (const std::bad_alloc&) {
    r = E_MEMORY;
  }
  if (r != E_NORMAL) return r;
  return Send_Packet_Buffer(channel) < 1 ? static_cast<short>(E_COMMUNICATION) : static_cast<short>(E_NORMAL);
}

short RS232_ROX::File_Data_Tx_State_Process(int channel) {
  if (PacketBuf == nullptr) return E_MEMORY;
  short r = Receive_Answer(channel);
  if (r != E_NORMAL) return r;
  if (PacketBuf[0] != 0 || (PacketBuf[1] != 'S' && PacketBuf[1] != 'A') || PacketBuf[2] != 'i') return E_SEQUENCE;

  r = Send_File_Data(channel, SourceFile);
  if (SourceFile != nullptr) std::fclose(SourceFile);
  SourceFile = nullptr;
  if (r != E_NORMAL) return r;

  if (Count_Down(*this)) {
    State = 2;
    return E_NORMAL;
  }
  transfer::Drop_List(*this);
  GroupIndex = 1;
  State = PcDriven ? 1 : 0;
  r = transfer::Receive_Unchecked(*this, channel, PacketBuf);
  if (r != E_NORMAL) return r;
  if (PacketBuf[0] == 1 && !Is_Data_Block(PacketBuf)) return E_SEQUENCE;
  return Validate_Packet(PacketBuf);
}

// ---------------------------------------------------------------------------
// Receiving

short RS232_ROX::Receive_File_Data(int channel) {
  if (PacketBuf == nullptr) return E_MEMORY;
  const bool append = HtSendsFile != 0;
  const std::string pc_path(CurrentFile, strnlen(CurrentFile, sizeof CurrentFile));
  StagingFile staging;
  TempFile temp;
  if (append) {
    if (!temp.Create()) return E_FILE_NOTHING;
  } else {
    short r = staging.Create(pc_path);
    if (r != E_NORMAL) return r;
  }
  std::FILE* out = append ? temp.File() : staging.File();
  unsigned char* buffer = transfer::Write_Buffer();
  if (buffer == nullptr) return E_MEMORY;
  if (Poll_Abort_Flag() != E_NORMAL) return E_BREAK_KEY;
  Report_Progress(*this, kReceiveMode, 0);

  // The HT may send more than it announced; only the announced bytes are kept.
  const auto expected = static_cast<std::uint64_t>(static_cast<std::uint32_t>(BytesExpected));
  Writer writer(out, buffer);
  std::uint64_t received = 0, kept = 0;
  unsigned char block = 0;
  unsigned reported = 0;
  for (;;) {
    short r = transfer::Receive_Unchecked(*this, channel, PacketBuf);
    if (r != E_NORMAL) return r;
    if (!Is_Data_Block(PacketBuf)) return E_SEQUENCE;
    r = Validate_Packet(PacketBuf);
    if (r != E_NORMAL) return r;
    if (RxFrame.BlockNo != block) return 35;
    const std::size_t n = RxFrame.Length - 2u;
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, expected - kept));
    if (!writer.Write(PacketBuf + kHeader + 1, take)) return E_WRITE_ERROR;
    kept += take;
    received += n;
    block = static_cast<unsigned char>(block + 1);
    const auto percent =
        static_cast<unsigned>(expected == 0 ? 100 : std::min<std::uint64_t>(100, received * 100 / expected));
    if (Poll_Abort_Flag() != E_NORMAL) return E_BREAK_KEY;
    if (percent > reported) {
      reported = percent;
      Report_Progress(*this, kReceiveMode, percent);
    }
    if (RxFrame.Option == kLastBlock) break;
  }
  if (!writer.Flush()) return E_WRITE_ERROR;
  if (!append) return staging.Replace(pc_path);
  return Append_To_PC_File(*this, out, pc_path, kept);
}

short RS232_ROX::File_Info_Rx_State_Process(int channel, char* command) {
  State = 5;
  if (PacketBuf == nullptr) return E_MEMORY;
  short r = Receive_Answer(channel);
  if (r != E_NORMAL) return r;
  if (Poll_Abort_Flag() != E_NORMAL) return E_BREAK_KEY;
  BytesExpected = static_cast<std::int32_t>(RxFrame.Size);
  if (PacketBuf[0] != 1 || PacketBuf[1] != 'S' || PacketBuf[2] != 'i') return E_SEQUENCE;

  try {
    const std::string ht_name(RxFrame.Name, strnlen(RxFrame.Name, sizeof RxFrame.Name));
    std::string path = ht_name;
    bool single = false;
    if (PcDriven) {
      const std::string cmd = transfer::Command_Text(command);
      single = transfer::Letters_Of(cmd).find('A', 1) != std::string::npos;
      r = transfer::Fetch_Path(*this, cmd, ht_name, &path);
      if (r != E_NORMAL) return r;
    }
    if (!Usable_Path(*this, path)) return E_FILE_NOTHING;

    platform::FileStat st;
    if (platform::Stat_PC(path.c_str(), &st) != platform::FS_OK) {
      if (Make_Directory(transfer::Parent_Of(path).c_str()) != E_NORMAL) return E_MEMORY;
    } else {
      if (st.is_dir) return E_FILE_BEING_ACCESSED;
      // A replacing receive never changes the old file before the new one
      // is complete; its protection only decides whether it may be replaced.
      if ((st.attributes & platform::ATTR_READONLY) != 0 && !TransferOption) return E_READ_ONLY_ACCESS;
    }
    bounded::Copy(CurrentFile, path.c_str());
    if (single) {
      HtSendsFile = 1;
    } else {
      // The folder must take the staging file before the HT sends data.
      StagingFile probe;
      r = probe.Create(path);
      if (r != E_NORMAL) return r;
      HtSendsFile = 0;
    }
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
  SavedInfo = RxFrame;
  return Answer(*this, channel, RESP_FILE_INFO, PacketBuf[1], PacketBuf[2]);
}

short RS232_ROX::File_Data_Rx_State_Process(int channel) {
  short r = Receive_File_Data(channel);
  if (r != E_NORMAL) return r;
  if (HtSendsFile) {
    HtSendsFile = 0;
  } else {
    fileinfotag info;
    FileInfo_From_Frame(SavedInfo, &info);
    bounded::Copy(info.Name, CurrentFile);
    // A date the PC cannot set still leaves the attributes to apply.
    if (Set_File_Info(&info) != E_NORMAL) platform::Set_Attributes_PC(CurrentFile, info.Attributes);
  }
  r = Answer(*this, channel, RESP_LAST_BLOCK, PacketBuf[1], PacketBuf[2]);
  if (r != E_NORMAL) return r;
  if (Count_Down(*this)) {
    State = 3;
  } else {
    State = PcDriven ? 1 : 0;
    TransferOption = 0;
  }
  return E_NORMAL;
}

// ---------------------------------------------------------------------------
// Wait state: transfers the HT starts

short RS232_ROX::Wait_HT_Sends_File(int channel) {
  State = 5;
  FileCount = 1;
  BytesExpected = static_cast<std::int32_t>(RxFrame.Size);
  const std::string name(RxFrame.Name, strnlen(RxFrame.Name, sizeof RxFrame.Name));
  if (!Usable_Path(*this, name)) return E_FILE_NOTHING;
  platform::FileStat st;
  if (platform::Stat_PC(name.c_str(), &st) == platform::FS_OK) {
    if (st.is_dir) return E_FILE_BEING_ACCESSED;
    if ((st.attributes & platform::ATTR_READONLY) != 0) return E_READ_ONLY_ACCESS;
  }
  bounded::Copy(CurrentFile, name.c_str());
  HtSendsFile = 1;
  SavedInfo = RxFrame;
  return Answer(*this, channel, RESP_FILE_INFO, PacketBuf[1], PacketBuf[2]);
}

short RS232_ROX::Wait_HT_Requests_Files(int channel) {
  State = 2;
  if (ListFile == nullptr) {
    ListFile = MakeTempFile(&ListFileName);
    if (ListFile == nullptr) return E_FILE_NOTHING;
  }
  const unsigned char letters[2] = {PacketBuf[1], PacketBuf[2]};
  char names[sizeof RxFrame.Name];
  bounded::Copy_N(names, sizeof names, RxFrame.Name, strnlen(RxFrame.Name, sizeof RxFrame.Name - 1));
  short r = Make_TrnsInfo_Packet(names, PacketBuf, letters);
  if (r != E_NORMAL) return r;
  FileCount = static_cast<std::int16_t>(Make_Word(PacketBuf[5], PacketBuf[6]));
  return Send_Packet_Buffer(channel) < 1 ? static_cast<short>(E_COMMUNICATION) : static_cast<short>(E_NORMAL);
}

short RS232_ROX::Wait_HT_Announces_Files(int channel) {
  FileCount = static_cast<std::int16_t>(RxFrame.Count);
  TransferOption = static_cast<char>(RxFrame.Option);
  // An announcement of no files is answered and nothing follows it.
  State = RxFrame.Count != 0 ? 3 : 0;
  if (RxFrame.Count == 0) TransferOption = 0;
  return Answer(*this, channel, RESP_TRANSFER_INFO, PacketBuf[1], PacketBuf[2]);
}

// ---------------------------------------------------------------------------
// Idle state: transfers the PC starts

short RS232_ROX::Idle_Send_One_File(int channel, const char* command) {
  try {
    const std::string args = transfer::Args_Of(transfer::Command_Text(command));
    const std::size_t sep = args.find("::");
    if (sep == std::string::npos) return E_PARAMETER;
    const std::string pc = args.substr(0, sep), ht = args.substr(sep + 2);
    if (!Usable_Path(*this, pc)) return E_FILE_NOTHING;
    FileCount = 1;
    State = 4;
    const unsigned char letters[2] = {'A', 'i'};
    short r = Make_FileInfo_Packet(pc.c_str(), ht.c_str(), letters, PacketBuf);
    if (r != E_NORMAL) return r;
    platform::FsResult why = platform::FS_OK;
    if (SourceFile != nullptr) std::fclose(SourceFile);
    SourceFile = platform::Open_PC_File(pc.c_str(), "rb", &why);
    if (SourceFile == nullptr) return Open_Failure(why);
    bounded::Copy(CurrentFile, pc.c_str());
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
  long sent = Send_Packet_Buffer(channel);
  return sent < 1 ? Send_Failure(sent) : static_cast<short>(E_NORMAL);
}

short RS232_ROX::Idle_Fetch_Files(int channel, const char* command) {
  State = 3;
  try {
    const std::string cmd = transfer::Command_Text(command);
    // Without a destination the fetched files would have no PC path.
    if (transfer::Letters_Of(cmd).find('A', 1) == std::string::npos && cmd.find("##") == std::string::npos)
      return E_PARAMETER;
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
  short r = Make_TrnsReq_Packet(command, PacketBuf);
  if (r != E_NORMAL) return r;
  long sent = Send_Packet_Buffer(channel);
  if (sent < 1) return Send_Failure(sent);
  r = Receive_Answer(channel);
  if (r != E_NORMAL) return r;
  if (PacketBuf[0] != 1 || PacketBuf[1] != 'S' || PacketBuf[2] != 't') return E_SEQUENCE;
  FileCount = static_cast<std::int16_t>(RxFrame.Count);
  const unsigned char letters[2] = {'S', 't'};
  r = Make_Response_Packet(RESP_TRANSFER_INFO, letters, nullptr, PacketBuf);
  if (r != E_NORMAL) return r;
  sent = Send_Packet_Buffer(channel);
  if (sent < 1) return Send_Failure(sent);
  if (RxFrame.Count == 0) {
    // The HT has none of the files: nothing follows.
    State = 1;
    TransferOption = 0;
  }
  return E_NORMAL;
}

short RS232_ROX::Idle_Send_Files(int channel, const char* command) {
  State = 2;
  GroupIndex = 1;
  try {
    const std::string letters = transfer::Letters_Of(transfer::Command_Text(command));
    if (letters.find('U', 1) != std::string::npos && FileCount == 0) {
      // The update step found nothing to send.
      State = 1;
      return E_NORMAL;
    }
  } catch (const std::bad_alloc&) {
    return E_MEMORY;
  }
  short r = Make_TrnsInfo_Packet(command, PacketBuf, nullptr);
  if (r != E_NORMAL) return r;
  FileCount = static_cast<std::int16_t>(Make_Word(PacketBuf[5], PacketBuf[6]));
  long sent = Send_Packet_Buffer(channel);
  return sent < 1 ? Send_Failure(sent) : static_cast<short>(E_NORMAL);
}
