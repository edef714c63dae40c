// Step parsing.
#include "tools/htsim/steps.h"

#include <cctype>
#include <cstdlib>

namespace htsim {

namespace {

// Blank-separated words; double quotes group and are removed.
bool Words(const std::string& text, std::vector<std::string>* out, std::string* why) {
  std::string w;
  bool in_word = false, quoted = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
      if (in_word) out->push_back(w);
      w.clear();
      in_word = false;
    } else {
      w.push_back(c);
      in_word = true;
    }
  }
  if (quoted) {
    *why = "unclosed quote";
    return false;
  }
  if (in_word) out->push_back(w);
  return true;
}

// 0..max, decimal or 0x hexadecimal.
bool Number(const std::string& s, unsigned long max, unsigned long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  unsigned long v = std::strtoul(s.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(s[hex ? 2 : 0])) || v > max)
    return false;
  *out = v;
  return true;
}

std::string Join(const std::vector<std::string>& v, std::size_t from) {
  std::string s;
  for (std::size_t i = from; i < v.size(); ++i) {
    if (i > from) s += ' ';
    s += v[i];
  }
  return s;
}

bool Usage(std::string* why, const char* usage) {
  *why = std::string("usage: ") + usage;
  return false;
}

}  // namespace

bool Parse_Step(const std::string& text, Step* out, std::string* why) {
  std::vector<std::string> w;
  if (!Words(text, &w, why)) return false;
  if (w.empty()) {
    *why = "empty step";
    return false;
  }
  Step s;
  s.text = text;
  const std::string& verb = w[0];
  std::size_t i = 1;
  // Leading flags of the verbs that take them.
  auto flags = [&](const std::string& allowed) {
    while (i < w.size() && w[i].size() == 2 && w[i][0] == '-' &&
           allowed.find(w[i][1]) != std::string::npos) {
      const char f = w[i][1];
      if (f == 'o') {
        s.read_only_too = true;
        s.overwrite = true;
      }
      if (f == 'r') s.recurse = true;
      if (f == 'w') s.subfolders = true;
      ++i;
    }
  };
  const std::size_t n = w.size();
  if (verb == "idle") {
    s.kind = StepKind::kIdle;
    if (n > 2) return Usage(why, "idle [SCRIPT]");
    if (n == 2) {
      if (w[1].size() > 12) {
        *why = "a script name has at most 12 characters";
        return false;
      }
      s.args.push_back(w[1]);
    }
  } else if (verb == "time") {
    s.kind = StepKind::kTime;
    if (n != 1) return Usage(why, "time");
  } else if (verb == "disk") {
    s.kind = StepKind::kDisk;
    if (n != 2 || !std::isalpha(static_cast<unsigned char>(w[1][0])) ||
        (w[1].size() > 1 && w[1] != std::string(1, w[1][0]) + ":"))
      return Usage(why, "disk DRIVE (a letter, e.g. C or C:)");
    s.args.push_back(w[1].substr(0, 1));
  } else if (verb == "info") {
    s.kind = StepKind::kInfo;
    if (n != 2) return Usage(why, "info PATTERN");
    s.args.push_back(w[1]);
  } else if (verb == "session") {
    s.kind = StepKind::kSession;
    s.args.push_back(Join(w, 1));
  } else if (verb == "mkdir") {
    s.kind = StepKind::kMkdir;
    if (n != 2) return Usage(why, "mkdir PCPATH");
    s.args.push_back(w[1]);
  } else if (verb == "delete") {
    s.kind = StepKind::kDelete;
    flags("or");
    s.overwrite = false;
    if (i >= n) return Usage(why, "delete [-o] [-r] NAME...");
    s.args.assign(w.begin() + static_cast<std::ptrdiff_t>(i), w.end());
  } else if (verb == "move") {
    s.kind = StepKind::kMove;
    if (n != 3) return Usage(why, "move OLD NEW");
    s.args = {w[1], w[2]};
  } else if (verb == "display") {
    s.kind = StepKind::kDisplay;
    s.args.push_back(Join(w, 1));
  } else if (verb == "end") {
    s.kind = StepKind::kEnd;
    unsigned long c = 0, d = 0;
    if (n == 3 && Number(w[1], 255, &c) && Number(w[2], 255, &d)) {
      s.error_class = static_cast<std::uint8_t>(c);
      s.detail = static_cast<std::uint8_t>(d);
    } else if (n != 1) {
      return Usage(why, "end [CLASS DETAIL] (numbers 0..255, decimal or 0x hex)");
    }
  } else if (verb == "append") {
    s.kind = StepKind::kAppend;
    if (n != 3) return Usage(why, "append HTFILE PCPATH");
    s.args = {w[1], w[2]};
  } else if (verb == "send") {
    s.kind = StepKind::kSend;
    flags("o");
    s.read_only_too = false;
    if (i >= n || (n - i) % 2 != 0) return Usage(why, "send [-o] HTFILE PCPATH [HTFILE PCPATH]...");
    s.args.assign(w.begin() + static_cast<std::ptrdiff_t>(i), w.end());
  } else if (verb == "fetch") {
    s.kind = StepKind::kFetch;
    flags("w");
    if (i >= n) return Usage(why, "fetch [-w] PCNAME...");
    s.args.assign(w.begin() + static_cast<std::ptrdiff_t>(i), w.end());
  } else if (verb == "sleep") {
    s.kind = StepKind::kSleep;
    unsigned long ms = 0;
    if (n != 2 || !Number(w[1], 3600000, &ms)) return Usage(why, "sleep MS");
    s.ms = static_cast<unsigned>(ms);
  } else {
    *why = "unknown step '" + verb + "'";
    return false;
  }
  *out = std::move(s);
  return true;
}

bool Parse_Steps(std::istream& in, std::vector<Step>* out, std::string* why) {
  std::string line;
  unsigned number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t k = line.find_first_not_of(" \t");
    if (k == std::string::npos || line[k] == '#') continue;
    Step s;
    if (!Parse_Step(line, &s, why)) {
      *why = "line " + std::to_string(number) + ": " + *why;
      return false;
    }
    out->push_back(std::move(s));
  }
  return true;
}

bool Check_Steps(const std::vector<Step>& steps, std::string* why) {
  for (std::size_t i = 0; i + 1 < steps.size(); ++i) {
    if (steps[i].kind == StepKind::kIdle || steps[i].kind == StepKind::kEnd) {
      *why = "'" + steps[i].text + "' ends the HT's requests; it must be the last step";
      return false;
    }
  }
  return true;
}

const char* Steps_Help() {
  return R"(Steps (--do, or one per line of --steps FILE; quote arguments with blanks):
  idle [SCRIPT]          idle notice (naming a PC script of <= 12 characters);
                         then carry out what the PC asks until it ends
  time                   ask the PC's date and time
  disk DRIVE             ask for a PC drive's size and free space
  info PATTERN           ask for PC file information, every match
  session [TEXT]         session information
  mkdir PCPATH           make a folder on the PC
  delete [-o] [-r] NAME...  delete PC files (-o read-only too, -r sub-folders)
  move OLD NEW           move or rename a PC file
  display TEXT           show a text on the PC
  end [CLASS DETAIL]     end the session (0 0: normal end)
  append HTFILE PCPATH   send one HT file, appended to the PC file
  send [-o] HTFILE PCPATH [HTFILE PCPATH]...  announce and send files
                         (-o: the PC may overwrite write-protected files)
  fetch [-w] PCNAME...   ask for PC files (-w with sub-folders); they are
                         stored on the disk under the PC's names
  sleep MS               wait before the next step
Without steps htsim sends a plain idle notice. After the last step, unless it
is idle or end, htsim ends the session normally (end 0 0).)";
}

}  // namespace htsim
