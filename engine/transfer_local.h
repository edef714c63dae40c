// Internal to the file transfer (transfer.cpp, transfer_list.cpp,
// transfer_update.cpp): command text helpers, the PC-side tree search, the
// destination-name rules and the per-thread data buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/rox32.h"

namespace transfer {

// Size of each per-thread data buffer: files are read and written in
// pieces of this size, whatever the block size.
constexpr std::size_t kChunkSize = 128 * 1024;

// Largest block content a data packet carries: L = content + 2 <= 65000.
constexpr std::uint32_t kMaxBlock = MAX_DATA_LENGTH - 2;
constexpr std::uint32_t kDefaultBlock = 2032;

// Folder-list limit of the update step's PC search, in characters.
constexpr std::size_t kUpdateFolderLimit = 24575;
// Folder-list limit of the send list's search: the list grows as needed,
// up to this many characters, so that no tree can exhaust memory.
constexpr std::size_t kSendFolderLimit = 64u * 1024 * 1024;

// The two per-thread buffers of kChunkSize bytes (one engine runs on one
// thread at a time, so each engine has them to itself while it transfers).
// Allocated on first use, released when the thread ends; null when memory
// is short.
unsigned char* Read_Buffer();
unsigned char* Write_Buffer();

// The basic command at command (closed by the byte 7 or the end), as text.
std::string Command_Text(const char* command);
// Letters of a basic command: its text up to the first blank.
std::string Letters_Of(const std::string& command);
// The text after the first blank ("" when there is none).
std::string Args_Of(const std::string& command);
// The destination: the text after "##" (npos-safe); *found tells whether
// the command has one.
std::string Destination_Of(const std::string& command, bool* found);
// The "::"-separated names of list up to "##" (the whole list when it has
// none).
std::vector<std::string> Split_Names(const std::string& list);
// A source name as the send list writes it: ".\" in front of a name
// without '\'.
std::string Local_Name(const std::string& name);
// The part of a path after its last '\' or '/' (the whole path without one).
std::string Base_Name(const std::string& path);
// The part before the last '\' or '/' ("" without one).
std::string Parent_Of(const std::string& path);

// Calls found(path, size) for every file (not folder, not "." or "..")
// that matches the last component of name in name's folder and, with
// sub_folders, in every folder below it, breadth first: in each folder
// the sub-folders are listed first, then its files are visited. name must
// hold a '\'. A symbolic link to a folder is not entered. Stops at the
// first non-zero result of found and returns it; 41 when the folder list
// would exceed limit characters (each entry counts with its "::"); 29 when
// stop (if given), asked before each folder is read, says so, since a big
// tree can take longer than an operator's stop may wait.
short Search_Files(const std::string& name, bool sub_folders, std::size_t limit,
                   const std::function<short(const std::string& path, std::uint64_t size)>& found,
                   const std::function<bool()>& stop = {});

// The HT name a PC file gets in a send the PC drives: destination, '\',
// then the relative path (Get_FullPath, send command with R) or the file's
// name after its last '\'.
std::string Send_Name(RS232_ROX& e, const std::string& command, const std::string& pc_name);
// The PC path of an HT file in a fetch the PC drives: for "RA ht::pc" the
// name after "::"; otherwise the destination, '\' and the relative path
// (flag W), or the destination and the HT name from its last '\' on; an HT
// name without '\' is the destination itself, or a file of that name in
// it when the destination is an existing folder. 0, or 37 when the command
// names no destination.
short Fetch_Path(RS232_ROX& e, const std::string& command, const std::string& ht_name, std::string* out);

// Empties ListFile for a new list: 0, 54 without list file, 62 failure.
short Reset_List(RS232_ROX& e);
// Writes pending list text and rewinds ListFile: 0 or 59.
short Rewind_List(RS232_ROX& e);
// Closes and deletes ListFile.
void Drop_List(RS232_ROX& e);

// Receives one packet into buf: Receive_Packet's codes, 72 after logging
// the HT's end indication; the packet is not validated.
short Receive_Unchecked(RS232_ROX& e, int channel, unsigned char* buf);

}  // namespace transfer
