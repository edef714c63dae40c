// The transfer protocol engine: the shared session table that the
// application, the link manager and every engine read and write, the engine's
// settings globals, and the engine class whose members carry out single
// protocol steps. The members are defined in one source file per concern:
//   codec.cpp      frame helpers, checksum, packet receive and dispatch
//   validate.cpp   validators of every packet type the PC receives
//   build.cpp      packet builders
//   states.cpp     session state machine
//   wait.cpp, idle.cpp  the wait and idle states
//   cmdline.cpp, commands.cpp  command-line helpers, command language, scripts
//   transfer*.cpp  file transfer, send list, update step
//   pcfiles.cpp    PC-side file services and reports
//   errors.cpp     the error table
//   status.cpp     error codes, error log and status reporting
//   session.cpp    shared table, settings globals, construction
//
// Threads: one engine object is used by one thread at a time. Fields of the
// shared block that cross threads are read and written through the
// accessors below (platform/atomic.h), never directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/pcfs.h"
#include "platform/window.h"

// ---------------------------------------------------------------------------
// Shared session table

// Per-HT status record; HT number n uses element n - 1.
struct InfoHT {
  std::uint16_t HTNo;        // HT number of the last status update
  std::uint16_t SNo;         // session number of the last status update
  std::uint16_t Mode;        // 1 sending, 2 receiving, 3 normal end, 0 other; GUI sets 4
  std::uint16_t Cent;        // percent of the current file (0..100)
  std::uint16_t Index;       // status or ending code; 0 = progress text
  std::uint16_t OPMode;      // operation mode of the session
  char File[1024];           // status text, blank-padded, no terminator
  std::uint16_t index;       // station index (nobody sets it)
  std::int32_t BatchFlag;    // GUI's batch marker
  std::int32_t BusyFlag;     // 1 while the HT executes a command or request
  std::int32_t IsAdded;      // station registered (cleared at a stop)
  std::int32_t AbortFromGUI; // non-zero asks the engine to stop
  char LogicalNo[24];
  char PhysicalNo[24];
  std::int32_t EnableFlag;
  std::int32_t CheckFlag;
  std::int32_t CurrentlySelected;
  std::int32_t StartStatus;  // IO-box power bit, written by the IO-box scan
  std::int32_t WaitingGUICommand; // 1 while idle and waiting for a command
};

static_assert(offsetof(InfoHT, HTNo) == 0);
static_assert(offsetof(InfoHT, SNo) == 2);
static_assert(offsetof(InfoHT, Mode) == 4);
static_assert(offsetof(InfoHT, Cent) == 6);
static_assert(offsetof(InfoHT, Index) == 8);
static_assert(offsetof(InfoHT, OPMode) == 10);
static_assert(offsetof(InfoHT, File) == 12);
static_assert(offsetof(InfoHT, index) == 1036);
static_assert(offsetof(InfoHT, BatchFlag) == 1040);
static_assert(offsetof(InfoHT, BusyFlag) == 1044);
static_assert(offsetof(InfoHT, IsAdded) == 1048);
static_assert(offsetof(InfoHT, AbortFromGUI) == 1052);
static_assert(offsetof(InfoHT, LogicalNo) == 1056);
static_assert(offsetof(InfoHT, PhysicalNo) == 1080);
static_assert(offsetof(InfoHT, EnableFlag) == 1104);
static_assert(offsetof(InfoHT, CheckFlag) == 1108);
static_assert(offsetof(InfoHT, CurrentlySelected) == 1112);
static_assert(offsetof(InfoHT, StartStatus) == 1116);
static_assert(offsetof(InfoHT, WaitingGUICommand) == 1120);
static_assert(sizeof(InfoHT) == 1124);

constexpr int MAX_HT = 255;
constexpr int CMD_BUF_SIZE = 2000;

extern InfoHT HTInfoAry[256];
extern char Dll_Cmd_Buf[MAX_HT][CMD_BUF_SIZE];

// Settings globals, filled by the application before the link starts.
extern platform::HWND HandleForROXToMainWindow;
extern std::uint32_t MAX_WRITE_SIZE;   // default 2032
extern std::int32_t GCommandTimeout;   // seconds; 0 = no limit
extern std::int32_t GChildThrough;     // 0 = wait for a child program
extern std::int32_t GErrCode;          // child exit code base; 0 = ignore exit codes
extern std::int32_t OneShotMode;       // RS-232C engine ends after one session
extern char DefWorkFile[1024];         // work folder (PC path)
extern char DefErrorFile[1024];        // error log path (PC path)

// Notification messages to HandleForROXToMainWindow.
constexpr platform::UINT WM_HT_STATUS = platform::WM_USER + 5;    // 1029
constexpr platform::UINT WM_ONESHOT_END = platform::WM_USER + 7;  // 1031

// Accessors for the shared block. ht is the HT number (1..255).
// A command line is published with its first byte last (release) and read
// from its first byte (acquire); a slot being rewritten has its first byte
// cleared while it changes. Read_Command_Buffer copies either a whole line
// or nothing, never a mix of an old and a new one, whichever threads write
// and clear the slot meanwhile. Any thread may call these.
InfoHT& Info_Of(int ht);
// Writes line into the HT's slot. A line that does not fit with its NUL
// (1999 characters at most) is refused whole: false, and the slot keeps what
// it had. An empty line empties the slot.
bool Write_Command_Buffer(int ht, const char* line);
// Copies the HT's slot into out[size] (cut to size - 1 characters); returns
// false when it is empty.
bool Read_Command_Buffer(int ht, char* out, std::size_t size);
bool Command_Buffer_Empty(int ht);
// Clears all 2000 bytes of the HT's slot.
void Clear_Command_Buffer(int ht);

// An engine waiting for its command line sleeps until one of these wakes it
// (or its command time-out passes), so whatever asks something of an idle
// engine goes through them: writing or clearing the command buffer (above),
// the abort flag, and the command time-out setting.
//
// Stores value into the HT's AbortFromGUI and wakes its engine.
void Set_Abort_From_GUI(int ht, std::int32_t value);
// Wakes the HT's engine so it looks at its command buffer and abort flag
// again (for writers of the shared table that change something it waits on
// by other means).
void Wake_Engine(int ht);
// Stores GCommandTimeout and wakes every engine, so a waiting one measures
// its wait against the new limit at once.
void Set_Command_Timeout(std::int32_t seconds);

// ---------------------------------------------------------------------------
// Packet records

constexpr std::size_t PACKET_BUF_SIZE = 65007;
constexpr std::size_t MAX_DATA_LENGTH = 65000;

// Decoded fields of the last validated packet.
struct Frametag {
  std::uint8_t Kind;
  std::uint8_t Command;
  std::uint8_t SubCommand;
  std::uint16_t Length;
  std::uint16_t Count;
  std::uint32_t Size;
  std::uint32_t Date;   // day << 24 | month << 16 | year
  std::uint32_t Total;
  std::uint8_t Time[3]; // seconds, minutes, hours
  std::uint8_t Attribute;
  std::uint8_t Option;
  std::uint8_t BlockNo;
  char Drive;
  char Name[1040];      // room for the longest name any validator accepts
  std::uint16_t Checksum;
};

// Session-information record sent in the reply to 'X'.
struct Sessiontag {
  std::uint16_t Session;
  std::uint8_t Level;   // '1'
  std::uint8_t Id[4];   // 'A', 'T', 0, 'W'
  char Text[160];
};

// Information on one file (1036 bytes): what a file-information packet
// carries, and what the PC reads from and applies to its own files.
struct fileinfotag {
  std::uint32_t Size;       // bytes; 0 when unknown
  std::uint32_t Date;       // day << 24 | month << 16 | year; 0xFFFFFFFF: none
  std::uint8_t Time[3];     // seconds, minutes, hours; FF FF FF: none
  std::uint8_t Attributes;  // 0x01 read-only, 0x02 hidden, 0x04 system, 0x10 folder, 0x20 archive
  char Name[1024];          // full PC path, NUL-terminated
};
static_assert(sizeof(fileinfotag) == 1036);

// Size and state of one drive, as the disk-information response carries it.
struct Diskinfotag {
  std::uint32_t Capacity;   // bytes, saturated at 0xFFFFFFFF
  std::uint32_t Free;       // bytes, saturated at 0xFFFFFFFF
  std::uint8_t Condition;   // 0 present and formatted, 1 not formatted, 2 not present
};

// The directory search behind the HT's get-file-information requests: a
// 'V' 'f' request starts it, each 'V' 'n' continues it. The caller keeps it
// between requests (one per session); it holds no resources once a search
// has run out or been replaced.
struct FileInfoSearch {
  platform::DirSearch Dir;
};

// Response kinds built by Make_Response_Packet.
enum Cmdtag : int {
  RESP_TRANSFER_INFO = 0,
  RESP_FILE_INFO = 1,
  RESP_LAST_BLOCK = 2,
  RESP_DELETE = 4,
  RESP_MOVE = 5,
  RESP_MKDIR = 6,
  RESP_TIME = 8,
  RESP_DISPLAY = 9,
  RESP_GET_FILE_INFO = 12,
  RESP_SET_FILE_INFO = 13,
  RESP_DISK_INFO = 14,
  RESP_SESSION_INFO = 16,
};

// Error table entry: class, detail, message text.
struct ErrorEntry {
  std::uint8_t Class;
  std::uint8_t Detail;
  char Message[40];
};
static_assert(sizeof(ErrorEntry) == 42);

constexpr int ERROR_COUNT = 109;
extern const ErrorEntry ErrorTable[ERROR_COUNT];

// Ending and error codes used by name in the code.
enum : short {
  E_NORMAL = 0,
  E_BREAK_KEY = 29,
  E_UNDEF_FUNCTION = 30,
  E_UNDEF_SUBFUNCTION = 31,
  E_NOT_EXECUTE = 32,
  E_CHECKSUM = 33,
  E_SEQUENCE = 34,
  E_OTHER_PROTOCOL = 36,
  E_PARAMETER = 37,
  E_TIMEOUT = 38,
  E_DATA_LENGTH = 39,
  E_PROTOCOL_VERSION = 40,
  E_MEMORY = 41,
  E_FILE_SIZE = 42,
  E_DATE = 43,
  E_TIME = 44,
  E_ATTRIBUTE = 45,
  E_OVERWRITE_OPTION = 46,
  E_EOF_FLAG = 47,
  E_FILE_NOT_FOUND = 48,
  E_PATH_NOT_FOUND = 49,
  E_INVALID_FORMAT = 50,
  E_INVALID_DRIVE = 51,
  E_DELETE_CURRENT_DIR = 52,
  E_NOT_SAME_DISK = 53,
  E_FILE_NOTHING = 54,
  E_WRITE_PROTECT = 55,
  E_DATA_ERROR = 58,
  E_WRITE_ERROR = 62,
  E_READ_ERROR = 63,
  E_UNKNOWN = 64,
  E_READ_ONLY_ACCESS = 70,
  E_COMMUNICATION = 71,
  E_END_FROM_HT = 72,
  E_PC_END = 73,
  E_SPAWN = 74,
  E_COMMAND_TIMEOUT = 75,
  E_ERRORLOG_OPEN = 76,
  E_OPTION = 77,
  E_STARTUP = 78,
  E_OPEN = 79,
  E_LISTEN = 80,
  E_ACCEPT = 81,
  E_PROCESS_NORMAL = 85,
  E_NOISE = 86,
  E_BIND = 96,
  E_SCRIPT_TOO_BIG = 97,
  E_CHILD_FIRST = 98,
  E_CHILD_LAST = 107,
  E_FILE_BEING_ACCESSED = 108,
};

// ---------------------------------------------------------------------------
// The engine

class ROX32 {
 public:
  ROX32();
  ROX32(const ROX32& other);
  ROX32& operator=(const ROX32& other);
  ~ROX32() = default;

  // Data members, in the system's declared order.
  std::int32_t State;
  std::uint32_t RepeatCommand;
  char ListRewind;
  unsigned char* PacketBuf;
  char CheckGuiFirst;
  char ScriptMode;
  char TransferOption;
  char PcDriven;
  char EndSession;
  char HtSendsFile;
  char RS232StopFlag;          // written by the link manager's thread: atomic accessors
  char DeleteReadOnly;
  char RemoveDirs;
  char DeleteSpec[1036];
  char CurrentFile[260];
  char CommandList[32767];
  char ScriptCommand[260];
  char SessionText[160];
  char* ListCursor;
  std::int16_t FileCount;
  std::int32_t HTNumber;
  std::int32_t PostStatus;
  std::int32_t OpenFailCount;
  std::int32_t OpenFailReported;
  std::int32_t BoxChannel;
  std::int32_t NetChannel;
  std::int32_t BytesExpected;
  std::int16_t GroupIndex;
  std::FILE* SourceFile;
  std::FILE* ScriptFile;
  std::FILE* ListFile;
  char* ListFileName;
  Frametag RxFrame;
  Frametag SavedInfo;
  Sessiontag SessionInfo;
  std::uint16_t OpMode;
  std::uint16_t SessionCount;
  void* AppendLock;
  char SetClockPending;
};

class RS232_ROX : public ROX32 {
 public:
  RS232_ROX();
  RS232_ROX(const RS232_ROX& other);
  RS232_ROX& operator=(const RS232_ROX& other);
  virtual ~RS232_ROX();

  // --- Field helpers and packet codec (codec.cpp) ---------------------------
  static std::uint16_t Make_Word(unsigned char lo, unsigned char hi);
  static std::uint32_t Make_DWord(unsigned short lo, unsigned short hi);
  static unsigned char Extract_LByte(unsigned short w);
  static unsigned char Extract_HByte(unsigned short w);
  static unsigned short Extract_LWord(unsigned long d);
  static unsigned short Extract_HWord(unsigned long d);
  // Total packet length: L + 7.
  static unsigned int Get_DataLength(const unsigned char* pkt);
  // Checksum of header and data: two's complement of the byte sum.
  static short Calc_Checksum(const unsigned char* pkt);
  // 1 when the stored checksum matches, else 0.
  static int Valid_Checksum(const unsigned char* pkt);
  // Realigns a header that starts after noise bytes; 0 with *rest = L + 2,
  // 1 for noise, or a negative read failure (-5 time-out, other broken).
  int Noise_Check(int channel, unsigned char* pkt, unsigned int* rest);
  // Reads one packet into pkt (PACKET_BUF_SIZE bytes): 0, 38 time-out,
  // 39 L above 65000 (nothing read past the buffer), 71 broken channel or
  // 86 noise. pkt is cleared first, so the bytes behind what arrived are 0.
  short Receive_Packet(int channel, unsigned char* pkt);
  // First-level check and dispatch: 0, 30, 31, 36 or the validator's code.
  short Validate_Packet(const unsigned char* pkt);

  // --- Validators (validate.cpp): 0 or the first failing code ----------------
  // pkt is a PACKET_BUF_SIZE buffer. Each stores the header into RxFrame,
  // checks L, decodes its fields, checks them, and tests the checksum last.
  short Validate_Transfer_Info(const unsigned char* pkt);
  short Validate_File_Info(const unsigned char* pkt);
  short Validate_File_Data(const unsigned char* pkt);
  short Validate_Transfer_Request(const unsigned char* pkt);
  short Validate_DeleteReq_Cmd(const unsigned char* pkt);
  short Validate_MoveFileReq_Cmd(const unsigned char* pkt);
  short Validate_MkDirReq_Cmd(const unsigned char* pkt);
  short Validate_TimeReq_Cmd(const unsigned char* pkt);
  short Validate_DispStr_Cmd(const unsigned char* pkt);
  short Validate_EndIndication(const unsigned char* pkt);
  short Validate_GetFileInfo_Cmd(const unsigned char* pkt);
  short Validate_GetDiskInfo_Cmd(const unsigned char* pkt);
  short Validate_IdleNotice_Cmd(const unsigned char* pkt);
  short Validate_SessionInfo_Cmd(const unsigned char* pkt);
  short Validate_Disk_Info(const unsigned char* pkt);
  short Validate_Time(const unsigned char* pkt);
  short Validate_Gen_Response(const unsigned char* pkt);

  // --- Error table, error log and status (status.cpp, errors.cpp) ------------
  // Ending code of a protocol (class, detail) pair by the fixed mapping;
  // 64 for every pair without an entry.
  static short Get_Error_Message(unsigned char error_class, unsigned char detail);
  // Appends one record for code to the error log DefErrorFile (nothing for
  // code 0, which still opens and closes it); a log that cannot be opened
  // is reported as status 76. Engines of several HTs may call it in turn.
  void Error(short ht_number, short code);
  // Records a status in InfoHT of HTNumber and sends message 1029 to
  // HandleForROXToMainWindow (waits for the window thread), or posts it
  // when PostStatus is 1. code 0: text (cut to 1023 characters) blank-padded
  // into File, value into Cent; code > 0: File and Cent kept; code < 0:
  // nothing at all. Always 0.
  unsigned char Update_Status(unsigned short session, const char* text, int mode,
                              int value, int code, int op_mode);

  // --- Packet builders (build.cpp) -------------------------------------------
  // Each builder writes one complete packet, checksum included, into out,
  // which holds PACKET_BUF_SIZE bytes, and returns 0, or an ending code with
  // no packet to send: 37 a command that cannot be read, 39 data that would
  // not fit into one packet. command is one basic command of CommandList
  // (without its closing byte 7). Length of the packet: Get_DataLength(out).

  // File information (kind 1, letters[0] 'A' or 'S', sub-command 'i') of PC
  // file pcPath under the HT name htName. 49 when pcPath does not exist, 42
  // for a file larger than a packet's size field allows (4294836225), 39 for
  // an HT name of more than 1023 characters.
  short Make_FileInfo_Packet(const char* pcPath, const char* htName, const unsigned char* letters,
                             unsigned char* out);
  // The same for PC file pcPath that the caller holds open for reading, st
  // being what Open_PC_File told of it: the file is not looked up again.
  short Make_FileInfo_Packet(const char* pcPath, const platform::FileStat& st, const char* htName,
                             const unsigned char* letters, unsigned char* out);
  // Transfer request 'R' 'r', or 'R' 'w' for flag W, from "R[W][U][O] list##pcdest"
  // (the names before "##") or "RA htname::pcname" (the name before "::").
  // Flag U sends the content of ListFile without its final "::" (54 when
  // there is no list file, 63 when it cannot be read); flag O sets
  // TransferOption.
  short Make_TrnsReq_Packet(const char* command, unsigned char* out);
  // Delete request 'D' from "D[R][O] list": sub-command 1 for O, 2 for R,
  // then the number of names and the "::" list.
  short Make_DelReq_Packet(const char* command, unsigned char* out);
  // Move request 'M' from "M old::new": the text after the first two characters.
  short Make_ChangeFileReq_Packet(const char* command, unsigned char* out);
  // Get-disk-information request 'C' from "C X:", the letter in upper case;
  // 51 when no drive letter follows.
  short Make_DiskInfoReq_Packet(const char* command, unsigned char* out);
  // Get-file-information request: 'V' 'f' with pattern (next = 0), or 'V' 'n'
  // without data (next != 0).
  short Make_FileInfoReq_Packet(unsigned char next, const char* pattern, unsigned char* out);
  // Set-file-information request 'U' 0 from "U size date$time attrs name".
  // A date field without '-' is sent as FF FF FF FF, a time field without
  // ':' as FF FF FF; otherwise they are read as Get_Date and Get_Time read
  // them (a time without seconds has 0 seconds) and sent unchecked, since
  // the HT judges them. 37 for a size that is no decimal number below 2^32,
  // a missing '$' or an empty name.
  short Make_SetFileInfo_Packet(const char* command, unsigned char* out);
  // Time-set request 'T' 0 from "T date$time" (date year-month-day with '-',
  // time hours:minutes[:seconds], read as Get_Date and Get_Time read them
  // and sent unchecked: the HT judges them). When SetClockPending is set,
  // the PC's clock of this moment is sent instead and SetClockPending
  // cleared. 37 when the date has no '-' or the time no ':'.
  short Make_TimeSetReq_Packet(const char* command, unsigned char* out);
  // Display-string request 'P' 0 from "P text".
  short Make_DispStringReq_Packet(const char* command, unsigned char* out);
  // Buzzer request 'G' 0.
  short Make_BuzReq_Packet(unsigned char* out);
  // End indication 'E' 0 that closes a session: detail 0 and class 0 for
  // "E ", the byte n for "EP n", the drive-format notice (letter + 155,
  // modulo 256) for "EF X"; 37 for "EF" without a letter.
  short Make_EndInd_Packet(const char* command, unsigned char* out);
  // Builds the 9-byte end indication for ending code `code` (detail and class
  // from ErrorTable; codes 98 to 107 carry GErrCode + code - 98 instead; a
  // code outside the table carries the pair of code 64) and sends it on
  // channel. Returns Send's result.
  long Send_End_Indication_Packet(int channel, short code);
  // Response (kind 0) of the given kind with the request's command and
  // sub-command bytes letters[0], letters[1]. info: kind 8 and 12 a
  // fileinfotag (date and time; the whole record), kind 14 a Diskinfotag,
  // kind 16 a Sessiontag; null stands for an all-zero record (kind 8: the
  // PC's clock). Any other kind clears all PACKET_BUF_SIZE bytes of out and
  // returns 37.
  short Make_Response_Packet(Cmdtag kind, const unsigned char* letters, const void* info,
                             unsigned char* out);
  // Fills the session-information record: session number, '1', 'A', 'T', 0,
  // 'W' and SessionText.
  void Update_Session_Info(unsigned short session, Sessiontag* info);

  // --- PC-side file services (pcfiles.cpp) -----------------------------------
  // Paths are PC paths (platform/pcfs.h). Dates are packed (day << 24 |
  // month << 16 | year), times the bytes seconds, minutes, hours, all in
  // local time; file times have two-second resolution. None of these change
  // the process's current folder, so sessions on other threads are never
  // disturbed. Results are ending codes, 0 for success.

  // Today's date and the time of day from the PC's clock.
  static std::uint32_t Get_System_Date();
  static void Get_System_Time(unsigned char* out);
  // Date and Time of info from the PC's clock; nothing else changes.
  static void Get_Date_Time(fileinfotag* info);
  // Clears all of info; for a path naming a file that can be opened for
  // reading fills size (saturated at 0xFFFFFFFF), date and time of the last
  // write, attributes and Name = path (cut to 1023 characters).
  static void Get_File_Info(const char* path, fileinfotag* info);
  // The same from what Open_PC_File told of the open file path (its
  // information st), without looking the file up again.
  static void File_Info_Of(const char* path, const platform::FileStat& st, fileinfotag* info);
  static std::uint32_t Get_File_Date(const char* path);
  static void Get_File_Time(const char* path, unsigned char* out);
  static std::uint32_t Get_File_Size(const char* path);
  static std::uint8_t Get_File_Attribute(const char* path);
  // Capacity and free space of drive X: saturated at 0xFFFFFFFF, condition
  // 0; for a drive that cannot be asked 0, 0 and condition 2.
  static void Get_Disk_Info(char drive, Diskinfotag* info);
  // Applies date and time (unless the date is 0xFFFFFFFF or the time FF FF
  // FF), then the attributes of info to the file it names: 70 write-protected,
  // 48 missing, 54 the file cannot be opened for writing or the date or time
  // cannot be set.
  static short Set_File_Info(const fileinfotag* info);
  // Applies the attributes first, then the length (when Size is non-zero),
  // then date and time: 48 missing, 70 access denied, 54 the file cannot be
  // opened for writing (also after the record made it read-only), 68 the
  // disk is full.
  static short Set_File_Attributes(const fileinfotag* info);
  // Creates the folder and every missing folder above it; existing levels do
  // no harm. 0, or 41 when memory runs out.
  static short Make_Directory(const char* path);
  // Deletes the first count names of a "::" list (HT delete request without
  // options). Only names holding a '\' are handled; a name with wildcards
  // deletes its matching files and empty folders. 70 a write-protected file,
  // 32 a folder that may not be removed, 41 no memory; names that match
  // nothing are skipped.
  short Delete_Files(const char* list, unsigned short count);
  // As above with options: every name is handled; recurse empties folders
  // that cannot be removed and deletes a name that does not exist in its
  // folder and all folders below; read_only deletes write-protected files too.
  // Sets DeleteReadOnly, RemoveDirs and DeleteSpec.
  short Delete_Files(const char* list, unsigned short count, unsigned char recurse,
                     unsigned char read_only);
  // Deletes in folder (a PC path; "" is the current folder) every file that
  // matches DeleteSpec, then goes through every sub-folder the same way and
  // removes it when RemoveDirs is set. DeleteReadOnly deletes write-protected
  // files too. Symbolic links are deleted as files, never followed.
  void Delete_Recursively(const char* folder);
  // Renames "source::destination": 48 missing source, 0 for names that differ
  // only in case, 32 a name without drive letter, 53 different drives or file
  // systems, 70 access denied or a write-protected destination, 49 path not
  // found. An existing destination is deleted first; a missing destination
  // folder (one level) is created.
  static short Move_File(const char* list);
  // Number of directory entries that match the pattern ("." and ".."
  // included where they match), at most 65535.
  static unsigned short Get_WildCard_File_Count(const char* pattern);
  // A new temporary file "qvr..." in $TMPDIR, opened exclusively for
  // reading and writing in binary mode; *name receives its native path
  // (owned by the caller, released by CloseDeleteFile). Null, *name null, on
  // failure.
  static std::FILE* MakeTempFile(char** name);
  // Closes and deletes a file from MakeTempFile and releases its name;
  // nothing when file is null.
  static void CloseDeleteFile(std::FILE* file, char* name);
  // Appends one drive report to DISKINFO.CLP in the work folder DefWorkFile
  // (the current folder when DefWorkFile is empty). Nothing is written when
  // the report cannot be opened.
  static void Save_Disk_Info(char drive, std::uint32_t capacity, std::uint32_t free_bytes,
                             unsigned char condition);
  // Appends one file report to FILEINFO.CLP in the work folder.
  static void Save_File_Info(const fileinfotag* info);
  // The fileinfotag of a validated file information (size, date, time,
  // attribute and name of frame).
  static void FileInfo_From_Frame(const Frametag& frame, fileinfotag* info);
  // 1 when packed date a is later than b, else 0.
  static unsigned char CompareDate(std::uint32_t a, std::uint32_t b);
  // Whether a file must move in update mode: 0 when size, date and time of
  // the HT's file (ht) equal those of the PC file; for letter 'S' 1 when the
  // PC file is later, for 'R' 1 when the HT's file is later (a missing PC
  // file is older than any); else 0.
  static unsigned char Compare_File_Info(const Frametag* ht, const char* pc_path,
                                         unsigned char letter);
  // Answers the HT's get-file-information request in RxFrame ('V' 'f' with
  // a path or pattern, 'V' 'n' for the next match) with one file-information
  // response sent on channel; an all-zero record when nothing (more)
  // matches (staging files of receives never match). search carries a
  // pattern's search from one request to the next. 71 when the send fails,
  // 41 without packet buffer or search.
  short Process_Get_File_Info_Cmd(int channel, FileInfoSearch* search);

  // --- Command language (commands.cpp) ---------------------------------------
  // Pure text helpers (static) may run on any thread; the members that touch
  // the engine (Translate_Command, Get_Script_Command) run on its own thread.
  // Forms without a size write at most the size named in their comment; the
  // forms with a size never write more than size bytes.

  // Buffer a script line needs: 32767 characters, "//" and the NUL.
  static constexpr std::size_t SCRIPT_LINE_SIZE = 32770;
  // Buffer Get_System_TandD needs ("YYYY-MM-DD" and its NUL).
  static constexpr std::size_t SYSTEM_TANDD_SIZE = 11;
  // Longest kept script command ("I path") plus its NUL.
  static constexpr std::size_t SCRIPT_COMMAND_SIZE = sizeof(ROX32::ScriptCommand);

  // Appends the basic commands of line (each closed by the byte 7) to the
  // string at list: 0, 37 syntax error (also a line holding the byte 7), 77
  // unknown option or flag letters, 41 when the result would not fit or
  // memory runs out. Each option's commands are appended whole or not at
  // all; on an error the commands of the earlier options stay. A date left
  // out of /T sets SetClockPending. "/1" is not recognised here (77): the
  // idle state strips it from command-buffer lines before calling this.
  // The two-argument form needs list to point into this engine's
  // CommandList and stops at its end (41 for any other pointer).
  short Translate_Command(const unsigned char* line, char* list);
  short Translate_Command(const unsigned char* line, char* list, std::size_t cap);
  // The next option of text without its '/' (see the translation rules):
  // 0, 37 when text holds no '/', 41 when it does not fit. out needs
  // strlen(text) + 2 bytes.
  static short Separate_Command(const unsigned char* text, char* out);
  static short Separate_Command(const unsigned char* text, char* out, std::size_t size);
  // 1 when the flag letters (either case) are allowed for the option:
  // S, R: O R U; A: R or S; X: A H R S; each at most once. D: at most two
  // letters, R and O count, others are ignored. Other options: none.
  static unsigned char Valid_Option(const char* letters, unsigned char option);
  // Number of double-quote characters in text (wraps at 256).
  static unsigned char Get_Count(const char* text);
  // 1 when every character is a decimal digit; "" counts as numeric.
  static unsigned char IsNumericString(const char* text);
  // The "::" list of the blank-separated, optionally quoted names in text;
  // for S and R the last separator is "##" and a trailing '\' is removed.
  // 37 for a text of blanks, or an empty text with S, R, A or N; 41 when it
  // does not fit. out needs 2 * strlen(text) + 1 bytes.
  static short Make_FileList(const char* text, char* out, unsigned char option);
  static short Make_FileList(const char* text, char* out, std::size_t size,
                             unsigned char option);
  // The first name of text (blanks skipped, quotes honoured, not copied):
  // 0; 1 when there is none or its quotation mark is not closed; 2 when it
  // does not fit. The script form takes an unquoted name to the end of the
  // text, blanks included. out needs strlen(text) + 1 bytes.
  static unsigned char Get_FirstFile(const char* text, char* out);
  static unsigned char Get_FirstFile(const char* text, char* out, std::size_t size);
  static unsigned char Get_FirstScriptFile(const char* text, char* out);
  static unsigned char Get_FirstScriptFile(const char* text, char* out, std::size_t size);
  // Reads the next non-empty line of ScriptFile (LF ends a line, a CR before
  // it is dropped) into out: 1 while lines remain. At the end of the file it
  // closes ScriptFile (null afterwards), appends "//" to what was read and
  // returns 0; the caller then ends script mode. No open script gives "//"
  // and 0. A line that does not fit (with "//") closes the script and gives
  // 0 with out empty and *error = 97 (the sized form; error may be null).
  // The short form needs SCRIPT_LINE_SIZE bytes.
  unsigned char Get_Script_Command(char* out);
  unsigned char Get_Script_Command(char* out, std::size_t size, short* error);
  // Path of a script the HT names: DefWorkFile followed directly by name.
  // 0, or 54 (out empty) for an empty name or a path that does not fit.
  static short Make_Script_Path(const char* name, char* out, std::size_t size);
  // Number of names in a "::" list: one more than its "::" separators.
  static unsigned short Get_FileCount(const char* list);
  // The name that starts two characters into entry and ends at "::", else
  // "##", else the end. out needs strlen(entry) + 1 bytes; the sized form
  // gives false (out empty) when it does not fit.
  static void Get_FileName(const char* entry, char* out);
  static bool Get_FileName(const char* entry, char* out, std::size_t size);
  // The n-th name (1-based) of the list after the first blank of command;
  // names end at "::" or "##"; empty when there is none. Sizes as above.
  static void Get_SubString(const char* command, unsigned short n, char* out);
  static bool Get_SubString(const char* command, unsigned short n, char* out,
                            std::size_t size);
  // Copies length characters of src (fewer when src ends first) and
  // terminates them. out needs length + 1 bytes.
  static void Extract_File_Name(const char* src, char* out, std::size_t length);
  static bool Extract_File_Name(const char* src, char* out, std::size_t length,
                                std::size_t size);
  // Packed date (day << 24 | month << 16 | year) of the first date in text:
  // year from four characters before the first '-', then month and day,
  // separated by '-' or '/', the day ending at '$', a blank or the end;
  // non-digits are skipped. 0 when text has no '-'.
  static unsigned long Get_Date(const char* text);
  // Time of the first "h:m:s" in text (hours from two characters before the
  // first ':', seconds ending at '$', a blank or the end) into out[0..2] as
  // seconds, minutes, hours: 0; 1 (out untouched) when text has no ':'.
  static unsigned char Get_Time(const char* text, char* out);
  // The PC's local date "YYYY-MM-DD" (date non-zero) or time "HH:MM:SS".
  // out needs SYSTEM_TANDD_SIZE bytes; the sized form gives false (out
  // empty) when size is smaller.
  static void Get_System_TandD(char* out, unsigned char date);
  static bool Get_System_TandD(char* out, std::size_t size, unsigned char date);
  // Decimal value of the leading digits of text, modulo 256.
  static unsigned char Make_Number(const char* text);

  // --- Session states (states.cpp) -------------------------------------------
  // Runs one session on an accepted channel; returns its ending code.
  short Run_State_Machine(int channel);
  // The RS-232C session loop: owns the channel; returns the last ending code,
  // -1 when the channel could not be opened or listened on, or the negative
  // result of Startup_Channels.
  short ROX_Start(unsigned int htNumber);
  // Resets the per-session members (State 0, flags, streams forgotten,
  // CurrentFile, RxFrame, SavedInfo; CommandList only when a script command
  // is kept) and fills SessionInfo with SessionCount as session number.
  void Init_State_Machine();
  // State 0, the HT is the master: receives one request (time-outs are
  // waited through), carries it out and answers it. 0 to go on, or the
  // ending code: 29 abort, 30/31/34/36 unexpected packets, 71/86 channel,
  // 72 after the HT's end indication (logged), or the code of the request's
  // PC-side operation.
  short Wait_State_Process(int channel);
  // State 1, the PC is the master: next points into CommandList at the
  // pending command (the terminator when none). Fetches and translates a
  // command line when nothing is pending or a script runs, then carries out
  // the first pending command. Returns the new position in CommandList and
  // writes 0 or the ending code through result. Waiting for a command line
  // sleeps between polls of the command buffer (no busy loop). The abort
  // flag is polled on every poll of the command buffer and before every
  // command of a running script (29).
  char* Idle_State_Process(int channel, char* next, short* result);
  // Copies this HT's command buffer into out (CMD_BUF_SIZE bytes; the sized
  // form at most size); "" when it is empty.
  void Get_UI_Command(char* out);
  void Get_UI_Command(char* out, std::size_t size);
  // A new copy of the first command of list (up to, not including, its first
  // byte 7); null when list holds no byte 7 or memory is short. The caller
  // releases it with delete[].
  static char* Extract_Command(const char* list);
  // The position just behind the first byte 7 of list; the position of its
  // terminator when it holds none (never beyond the string).
  static char* Update_CommandBuf(char* list);
  // Copies the low byte of this HT's AbortFromGUI into EndSession; 29 when
  // it is set, else 0. Every state that waits for the HT or the GUI calls it.
  short Poll_Abort_Flag();
  // Receives the HT's answer into PacketBuf: Receive_Packet's failure codes
  // (38, 39, 71, 86); an end indication (command letter 'E', looked at
  // before any other check) is logged with the HT's code and gives 72;
  // otherwise Validate_Packet's result (RxFrame then holds the fields).
  short Receive_Answer(int channel);
  // Sends the packet in PacketBuf (Get_DataLength bytes); Send's result.
  long Send_Packet_Buffer(int channel);
  // A failed send while the PC drives the session: logs 38 (result -5) or
  // 71 and returns 72.
  short Send_Failure(long send_result);
  // Clears this HT's command buffer (all 2000 bytes) and SetClockPending.
  void Clear_UI_Command();

  // --- File transfer (transfer.cpp, transfer_list.cpp, transfer_update.cpp) --
  // The transfer states, the session steps that lead into them, the send
  // list and the update step. Every step returns 0 to go on or an ending
  // code, polls the abort flag with Poll_Abort_Flag where it waits (29), and
  // treats an end indication from the HT as 72 after logging it. Sends that
  // fail give 71 in the transfer states and the wait state's steps and,
  // through Send_Failure, 72 in the idle state's steps. PC paths of files in
  // transfer fit CurrentFile (259 characters); a longer one gives 54.
  //
  // Whole files or nothing: a file received in replace mode goes to a hidden
  // staging file in the PC file's folder and replaces the PC file only after
  // its last block (by rename), so a failed receive leaves the previous file
  // as it was, or no file when there was none. In append mode the data goes
  // to a temporary file and is appended after the last block under the
  // system-wide named lock of the PC file, so appends of several engines
  // never interleave and a failed one appends nothing.

  // Number of files and bytes a transfer information announces.
  struct transferinfotag {
    std::uint16_t FileCount;
    std::uint32_t TotalBytes;
  };

  // Buffer size Get_FullPath's short form needs.
  static constexpr std::size_t FULL_PATH_SIZE = 1000;

  // States 2 to 5. command points at the current basic command in
  // CommandList (the 'S' or 'R' that started the transfer, closed by the
  // byte 7); it is looked at only when PcDriven is set. Each sets State to
  // the next state.
  // State 2: takes the HT's answer ('S' 't' or 'S' 'd', else 34), reads the
  // next name of ListFile, opens it as SourceFile (108 denied, 54 other)
  // and sends its file information 'S' 'i' (49 when it vanished); State 4.
  short File_Info_Tx_State_Process(int channel, char* command);
  // State 4: takes the answer to the file information ('S'/'A' 'i', else
  // 34), sends the file (Send_File_Data) and closes it; State 2 while files
  // remain, else ListFile is deleted, State 1 (PcDriven) or 0, and the HT's
  // final answer is taken.
  short File_Data_Tx_State_Process(int channel);
  // State 3: takes the HT's file information 'S' 'i' (else 34), works out
  // the PC path, creates its folder (41), refuses a write-protected PC file
  // without TransferOption (70), checks that the folder takes new files
  // (108 denied, 54 other), keeps the information in SavedInfo and answers
  // (response kind 1); State 5.
  short File_Info_Rx_State_Process(int channel, char* command);
  // State 5: receives the file (Receive_File_Data); on success applies date,
  // time and attributes of SavedInfo (replace mode), answers with response
  // kind 2, and goes to State 3 while files remain, else State 1 (PcDriven)
  // or 0 with TransferOption cleared.
  short File_Data_Rx_State_Process(int channel);

  // Sends the open file as data blocks of MAX_WRITE_SIZE bytes (at most
  // 64998, the most a packet carries; 0 counts as 2032) with the letter of
  // the HT's last answer (PacketBuf[1]) and sub-command 'd'; the last block
  // carries 0xF1, the others 0xF0; an empty file is one empty block.
  // Reports progress (mode 1) whenever its percentage rises. 0, 59 size
  // unknown, 63 the file could not be read whole (also when it shrank while
  // being sent), 71 a send or poll failed, 72 the HT ended the session, 29.
  short Send_File_Data(int channel, std::FILE* file);
  // Receives the data blocks of the file CurrentFile into a staging file
  // (HtSendsFile 0: replace mode) or a temporary file (HtSendsFile 1:
  // append mode), keeping at most BytesExpected bytes, then replaces or
  // appends to the PC file as described above. Reports progress (mode 2,
  // never above 100). 0, 29, 34, 35 block out of sequence, 38, 54, 62, 63,
  // 71, 72, 86, 108, or a validation code. Leaves no staging or temporary
  // file behind.
  short Receive_File_Data(int channel);

  // Expands the "::"-separated source names of names (up to "##", if any)
  // into ListFile (each name followed by "::", a '*' after each source
  // name; noList writes nothing) and counts files and bytes into out. A
  // name without '\' stands for ".\name". subFolders searches the whole tree
  // below each name's folder (symbolic links to folders are not entered).
  // ListFile is emptied first and rewound at the end. 0, 48 no file at all
  // (or a plain name that cannot be opened), 41 no memory or more than 65535
  // files, 54 no ListFile, 59 rewind failed, 62 write failed, 29 the abort
  // flag was set while a search went from folder to folder. The byte total
  // saturates at 0xFFFFFFFF. Staging files of receives are never listed.
  short Get_Trns_Info(const char* names, transferinfotag* out, unsigned char noList,
                      unsigned char subFolders);
  // Reads the next name of ListFile up to "::" into out (size bytes; the
  // short form CurrentFile's size); every '*' before it adds one to
  // GroupIndex. Low byte of the result: 1 when the list ended before the
  // name's "::". 0x100 is added when the name did not fit (out empty).
  unsigned short Read_OneName(char* out, std::size_t size);
  unsigned short Read_OneName(char* out);
  // Appends name and "::" to ListFile and sets ListRewind; for letter 'S'
  // also FileCount + 1 and the file's size added to BytesExpected. 0, 54 no
  // ListFile, 62 write failed.
  short Update_FileList(const char* name, unsigned char letter);
  // Relative path of name below its source folder, into out (cleared; size
  // bytes, the short form FULL_PATH_SIZE). For a command 'S' whose first
  // word holds R: source name GroupIndex of the command's list gives the
  // folder (up to its last '\'), cut from the front of name; a source
  // without '\' cuts a leading ".\". For other commands whose first word
  // holds W: the first source whose folder occurs in name (ignoring case)
  // gives the rest of name after it, in lower case. 1 when out holds a '\'
  // (a path below that folder), else 0.
  unsigned char Get_FullPath(const char* command, const char* name, char* out, std::size_t size);
  unsigned char Get_FullPath(const char* command, const char* name, char* out);
  // list is a list text whose first name starts two characters in. out =
  // name without the folder part (up to the last '\' of list before "##");
  // when list holds no '\', name without a leading ".\" (or "."). 1 when out
  // holds a '\'. out needs strlen(name) + 1 bytes (sized form: size).
  static unsigned char Get_Path(const char* list, const char* name, char* out, std::size_t size);
  static unsigned char Get_Path(const char* list, const char* name, char* out);
  // Transfer information 'S' 't'. letters null (or letters[0] 'S'): command
  // is a send command "S[R][U][O] list##htdest" (37 without "##"); with U
  // the count and total come from FileCount and BytesExpected of the
  // preceding update step, otherwise from Get_Trns_Info (sub-folders for R);
  // the overwrite flag is O. letters[0] 'R': command is the name list of
  // the HT's request letters[0..1] (sub-folders for 'w'), overwrite 0.
  // Returns 0 or the list's code; out holds the packet.
  short Make_TrnsInfo_Packet(const char* command, unsigned char* out, const unsigned char* letters);

  // The update step for one source name of a 'V' command ('S', 'R' or 'G'):
  // in mode 'S' a name with wildcards, or any name with subFolders, is
  // searched on the PC (folder list of at most 24575 characters, 41 beyond)
  // and each match goes through Process_Onefile (48 when nothing matches);
  // any other name goes through Process_Onefile once, also when the PC
  // lacks it. 0 or the code; 29 when the abort flag is set during a search.
  short Process_Updation(int channel, const char* name, const char* command, unsigned char* packet,
                         unsigned char mode, unsigned char subFolders);
  // Asks the HT for the file information of one name ('V' 'f', then 'V' 'n'
  // for further matches of a pattern in modes 'R' and 'G') and puts what
  // must move on the update list (Update_FileList): in mode 'S' the PC file
  // when the HT lacks it or the PC copy is newer, in mode 'R' the HT name
  // when the HT copy is newer; mode 'G' appends each answer to the
  // file-information report. source is the source name the PC file was
  // found under (null: name itself). 0, 38/71 a send failed, 34 an answer
  // that is no file information, 72, or a receive or validation code.
  short Process_Onefile(int channel, const char* name, const char* command, unsigned char* packet,
                        unsigned char mode, const char* source = nullptr);

  // Wait state, with the validated request in PacketBuf and RxFrame:
  // 'A' 'i' the HT sends one file on its own: State 5, FileCount 1,
  // BytesExpected = Size, CurrentFile = the name (70 for an existing
  // write-protected PC file), HtSendsFile 1; answers response kind 1.
  short Wait_HT_Sends_File(int channel);
  // 'R' 'r' / 'R' 'w' the HT asks for PC files: State 2; creates ListFile
  // when there is none (54); builds and sends the transfer information 'S'
  // 't' for the names in RxFrame.Name (sub-folders for 'w'); FileCount =
  // its count.
  short Wait_HT_Requests_Files(int channel);
  // 'S' 't' the HT announces files: State 3 (0 for an empty announcement),
  // FileCount = Count, TransferOption = Option; answers response kind 0
  // ("St").
  short Wait_HT_Announces_Files(int channel);

  // Idle state, with command the basic command (a copy, without its byte 7).
  // ListFile exists already for 'S' and 'V'.
  // 'A pc::ht': FileCount 1, State 4, file information 'A' 'i', SourceFile
  // open for reading (108 denied, 54 other failure), CurrentFile, sent.
  short Idle_Send_One_File(int channel, const char* command);
  // 'R...' / 'RA ...': State 3, transfer request sent, the HT's 'S' 't'
  // received (34 anything else), FileCount = its count, answered "St". 37
  // for a fetch list without "##" (no PC destination). An announcement of
  // no files leaves State 1.
  short Idle_Fetch_Files(int channel, const char* command);
  // 'S...': State 2, transfer information built (its error is the result),
  // FileCount = its count, sent. With U and an empty update list nothing is
  // sent and State stays 1.
  short Idle_Send_Files(int channel, const char* command);
  // 'VS', 'VR', 'VG': the update step. *next points at this 'V' command in
  // CommandList. When nothing was put on the update list (and the mode is
  // not G), move *next past the 'V' command (Update_CommandBuf), so that the
  // next idle pass skips the 'S' or 'R' that follows; otherwise rewind
  // ListFile (59) and leave *next alone.
  short Idle_Update_Files(int channel, const char* command, char** next);
};

// Sizes the link manager and tests rely on: a vtable pointer, then ROX32.
static_assert(sizeof(RS232_ROX) == sizeof(void*) + sizeof(ROX32));
