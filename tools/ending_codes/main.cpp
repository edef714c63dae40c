// ending_codes: the operator's table of ending codes, made from the engine's
// code table, for docs/operators.md.
//
//   ending_codes                 prints the table (Markdown)
//   ending_codes --merge IN OUT  writes IN to OUT with the table between the
//                                markers replaced by the current one
//   ending_codes --check FILE    exit 0 when FILE's table is the current one
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "engine/rox32.h"

namespace {

constexpr const char* kBegin = "<!-- ending-codes:begin (made from the engine's code table; do not edit) -->";
constexpr const char* kEnd = "<!-- ending-codes:end -->";

// What a code means to the operator, and what to do about it.
std::string Meaning(int code) {
  if (code == 0) return "The step ended well.";
  if (code >= 1 && code <= 26)
    return std::string("The HT reports that its drive ") + static_cast<char>('A' + code - 1) +
           ": was formatted. Nothing to do on the PC.";
  switch (code) {
    case 27: return "The HT was switched off during the session. Hand the command in again if it did not finish.";
    case 28: return "The HT was reset during the session. Hand the command in again if it did not finish.";
    case 29: return "The HT's operator pressed Break. Hand the command in again if needed.";
    case 48: return "A file the command names does not exist. Check the names and the drive mapping (TARNEL_DRIVES).";
    case 49: return "A folder the command names does not exist. Check the path and the drive mapping (TARNEL_DRIVES).";
    case 51: return "The drive letter is not mapped. Map it with TARNEL_DRIVES or use a mapped drive.";
    case 54: return "No file matched the name or pattern.";
    case 55: return "The target is write-protected. Use the overwrite option or clear the read-only attribute.";
    case 62: return "Writing failed: check the free space and the permissions of the target folder.";
    case 65:
    case 66:
    case 108: return "Another session or program holds the file. Try again once it is free.";
    case 70: return "A read-only file was to be changed. Use the overwrite option or clear the read-only attribute.";
    case 71: return "The link broke (cable, network, HT out of range). The HT reconnects; hand the command in again.";
    case 72: return "The HT ended the session. A normal end from the HT's side.";
    case 73:
      return "The PC ended the session after the command: a normal end. A line without \"/1\" stays and runs again "
             "in the HT's next session.";
    case 74: return "The program the command starts could not be started. Check its path and rights.";
    case 75: return "No command came within COMMAND_TIMEOUT seconds (panelset.ini); the session ended.";
    case 76: return "The error log cannot be opened. Check ErrorFile with tarnel --check-config.";
    case 77: return "The command line has an option error. Check its syntax.";
    case 78: return "The link could not start: device.ini holds a bad value. Run tarnel --check-config.";
    case 79: return "The link could not open its socket, serial line or SCSI adapter. See troubleshooting.";
    case 80: return "The listener failed; the server stops with status 1 and systemd restarts it.";
    case 81: return "A connection could not be accepted. On TCP/IP the server stops with status 1 and is restarted.";
    case 82:
    case 83:
    case 84: return "The program the command starts could not run. Check the command line.";
    case 85: return "The program the command started ended normally.";
    case 86: return "Noise on the serial line. Check the cable and the line settings.";
    case 94: return "An IO box stopped answering. Reset it.";
    case 95: return "An IO box is being reset. Wait 15 seconds.";
    case 96: return "The TCP port is in use or cannot be bound. Stop the other program or change PORTNO.";
    case 97: return "The script file is too big for one session. Split it.";
  }
  if (code >= 87 && code <= 93)
    return "IO box " + std::to_string(code - 86) + " stopped answering. Reset it.";
  if (code >= 98 && code <= 107)
    return "The program the command started ended with error " + std::to_string(code - 97) +
           " ([CODE] in panelset.ini sets how it reaches the HT).";
  if (code >= 30 && code <= 47)
    return "The HT and the PC did not understand each other. Repeat; if it stays, check the HT's software version and "
           "the line.";
  if (code >= 50 && code <= 69) return "The disk of the side that reported it failed. Check the medium and its space.";
  return "See the error log.";
}

std::string Table() {
  std::ostringstream out;
  out << "| code | text | class, detail | what it means |\n|---:|---|---|---|\n";
  for (int code = 0; code < ERROR_COUNT; ++code) {
    const ErrorEntry& e = ErrorTable[code];
    std::string text(e.Message, strnlen(e.Message, sizeof e.Message));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    char cd[16];
    std::snprintf(cd, sizeof cd, "%02X, %02X", e.Class, e.Detail);
    out << "| " << code << " | " << text << " | " << cd << " | " << Meaning(code) << " |\n";
  }
  return out.str();
}

bool Read(const char* path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  *text = ss.str();
  return true;
}

// The text between the markers (without them); false when they are missing.
bool Split(const std::string& doc, std::size_t* from, std::size_t* to) {
  const std::size_t b = doc.find(kBegin);
  if (b == std::string::npos) return false;
  const std::size_t e = doc.find(kEnd, b);
  if (e == std::string::npos) return false;
  *from = b + std::strlen(kBegin) + 1;
  *to = e;
  return *from <= *to;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) {
    std::cout << Table();
    return 0;
  }
  std::string doc;
  std::size_t from = 0, to = 0;
  if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
    if (!Read(argv[2], &doc) || !Split(doc, &from, &to)) {
      std::cerr << argv[2] << ": no ending-code table between the markers\n";
      return 1;
    }
    if (doc.compare(from, to - from, Table()) != 0) {
      std::cerr << argv[2] << ": the ending-code table is not the current one; rebuild and copy "
                << "the generated operators.md's table in (or run ending_codes)\n";
      return 1;
    }
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "--merge") == 0) {
    if (!Read(argv[2], &doc) || !Split(doc, &from, &to)) {
      std::cerr << argv[2] << ": no ending-code table between the markers\n";
      return 1;
    }
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out << doc.substr(0, from) << Table() << doc.substr(to);
    return out ? 0 : 1;
  }
  std::cerr << "usage: ending_codes [--check FILE | --merge IN OUT]\n";
  return 2;
}
