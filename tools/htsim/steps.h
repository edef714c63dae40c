// What the simulated HT does after the handshake: a list of steps, given one
// per --do option or one per line of a step file. A step is a word and its
// arguments, separated by blanks; an argument with blanks is written in
// double quotes. Backslashes are taken as they are.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace htsim {

enum class StepKind {
  kIdle,     // idle [SCRIPT]          idle notice; the PC is master from then on
  kTime,     // time                   ask the PC's date and time ('J')
  kDisk,     // disk DRIVE             PC disk information ('C')
  kInfo,     // info PATTERN           PC file information, every match ('V')
  kSession,  // session [TEXT]         session information ('X')
  kMkdir,    // mkdir PCPATH           make a PC folder ('K')
  kDelete,   // delete [-o] [-r] NAME...   delete PC files ('D')
  kMove,     // move OLD NEW           move or rename a PC file ('M')
  kDisplay,  // display TEXT           show a text on the PC ('P')
  kEnd,      // end [CLASS DETAIL]     end indication ('E'); 0 0 is a normal end
  kAppend,   // append HTFILE PCPATH   send one file, appended on the PC ('A' 'i')
  kSend,     // send [-o] HTFILE PCPATH [HTFILE PCPATH]...   announce and send ('S' 't')
  kFetch,    // fetch [-w] PCNAME...   ask for PC files ('R')
  kSleep,    // sleep MS               wait before the next step
};

struct Step {
  StepKind kind = StepKind::kIdle;
  std::vector<std::string> args;  // names, the text, the script name
  bool read_only_too = false;     // delete -o
  bool recurse = false;           // delete -r
  bool overwrite = false;         // send -o
  bool subfolders = false;        // fetch -w
  std::uint8_t error_class = 0;   // end
  std::uint8_t detail = 0;        // end
  unsigned ms = 0;                // sleep
  std::string text;               // the step as written
};

// Parses one step. false with *why on a mistake.
bool Parse_Step(const std::string& text, Step* out, std::string* why);

// Parses a step file: one step per line; empty lines and lines starting with
// '#' are skipped. false with *why (naming the line) on a mistake.
bool Parse_Steps(std::istream& in, std::vector<Step>* out, std::string* why);

// Checks the order of a whole list: idle and end only as the last step.
bool Check_Steps(const std::vector<Step>& steps, std::string* why);

// The step syntax, for --help.
const char* Steps_Help();

}  // namespace htsim
