// The command language: translating a command line into the session's list
// of basic commands, and reading command lines from a script file.
//
// A command line is a sequence of options, each introduced by '/'. Every
// option becomes one or two basic commands (a capital letter, flag letters,
// a blank and arguments), each closed by the byte 7. Translation works on
// std::string and appends each option's commands to the list only when they
// fit whole, so a list never holds half a command and is never overrun.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/bounded.h"
#include "engine/cmdline_parse.h"
#include "engine/rox32.h"

namespace {

constexpr char kCommandEnd = 7;

unsigned char Upper(char c) {
  return static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
}

bool Has(const std::string& letters, char c) { return letters.find(c) != std::string::npos; }

bool All_Digits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view Trim_Left(std::string_view s) {
  std::size_t i = s.find_first_not_of(' ');
  return i == std::string_view::npos ? std::string_view{} : s.substr(i);
}

// The next option of text: its text without the leading '/' into *out and,
// in *rest, the index where the search for the option after it starts.
// False when text holds no '/'.
//
// A display text (P followed by a blank) is one word or one quoted text, so
// that the "//" that closes a line may follow it directly. Any other option
// runs to the next '/'; "//" is one option whose text runs from its second
// '/' to the next one. A '\' directly before the closing '/' is dropped
// unless a blank precedes it, so "C:\dir\/..." names C:\dir.
bool Next_Option(std::string_view text, std::string* out, std::size_t* rest) {
  std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  const std::size_t size = text.size();

  if (slash + 2 < size && Upper(text[slash + 1]) == 'P' && text[slash + 2] == ' ') {
    out->assign("P ");
    std::size_t q = slash + 2;
    while (q < size && text[q] == ' ') ++q;
    if (q < size && text[q] == '"') {
      std::size_t close = text.find('"', q + 1);
      std::size_t end = close == std::string_view::npos ? size : close + 1;
      out->append(text.substr(q, end - q));
      *rest = end;
    } else {
      std::size_t end = q;
      while (end < size && text[end] != ' ' && text[end] != '/') ++end;
      out->append(text.substr(q, end - q));
      *rest = end;
    }
    return true;
  }

  std::size_t body = slash + 1;
  out->clear();
  if (body < size && text[body] == '/') {
    out->push_back('/');
    ++body;
  }
  std::size_t end = text.find('/', body);
  if (end == std::string_view::npos) end = size;
  std::size_t n = end - body;
  if (end < size && n >= 1 && text[end - 1] == '\\' && !(n >= 2 && text[end - 2] == ' ')) --n;
  out->append(text.substr(body, n));
  *rest = end;
  return true;
}

// Date and time tokens of the T and X options: a token with '-' or '/' is a
// date, one with ':' a time. False for a second date or time.
enum class Token { Date, Time, Other };

Token Kind_Of(const std::string& tok) {
  if (tok.find_first_of("-/") != std::string::npos) return Token::Date;
  if (tok.find(':') != std::string::npos) return Token::Time;
  return Token::Other;
}

std::string System_Text(unsigned char date) {
  char text[RS232_ROX::SYSTEM_TANDD_SIZE];
  RS232_ROX::Get_System_TandD(text, sizeof text, date);
  return text;
}

short Translate_Time_Set(std::string_view args, std::string* out, char* set_clock) {
  std::string date, time, tok;
  std::size_t pos = 0;
  for (;;) {
    cmdline::Name_Result r = cmdline::Take_Name(args, &pos, &tok, false);
    if (r == cmdline::Name_Result::None) break;
    if (r == cmdline::Name_Result::Unclosed) return E_PARAMETER;
    Token kind = Kind_Of(tok);
    std::string* slot = kind == Token::Date ? &date : kind == Token::Time ? &time : nullptr;
    if (!slot || !slot->empty()) return E_PARAMETER;
    *slot = tok;
  }
  bool pc_date = date.empty();
  if (pc_date) date = System_Text(1);
  if (time.empty()) time = System_Text(0);
  *out += "T " + date + "$" + time;
  out->push_back(kCommandEnd);
  // The time-set command then takes the PC clock again when it is sent.
  if (pc_date) *set_clock = 1;
  return E_NORMAL;
}

short Translate_File_Info(std::string_view args, const std::string& flags, std::string* out) {
  std::string name, size, date, time, tok;
  std::size_t pos = 0;
  if (cmdline::Take_Name(args, &pos, &name, false) != cmdline::Name_Result::Ok || name.empty()) {
    return E_PARAMETER;
  }
  for (bool first = true;; first = false) {
    cmdline::Name_Result r = cmdline::Take_Name(args, &pos, &tok, false);
    if (r == cmdline::Name_Result::None) break;
    if (r == cmdline::Name_Result::Unclosed) return E_PARAMETER;
    Token kind = Kind_Of(tok);
    if (kind == Token::Other) {
      // Only the first token may be the size, and it must be a 32-bit number.
      if (!first || tok.empty() || tok.size() > 10 || !All_Digits(tok) ||
          std::stoull(tok) > 0xFFFFFFFFull) {
        return E_PARAMETER;
      }
      size = tok;
      continue;
    }
    std::string* slot = kind == Token::Date ? &date : &time;
    if (!slot->empty()) return E_PARAMETER;
    *slot = tok;
  }
  *out += "U " + (size.empty() ? std::string("0") : size) + " " +
          (date.empty() ? std::string("FFFFFFFF") : date) + "$" +
          (time.empty() ? std::string(" FFFFFF") : time) + " " +
          (flags.empty() ? std::string("Z") : flags) + " " + name;
  out->push_back(kCommandEnd);
  return E_NORMAL;
}

// Appends the basic commands of one option (its text without the '/') to
// *out. 0, 37 or 77.
short Translate_Option(std::string_view text, std::string* out, char* set_clock) {
  if (text.empty()) return E_OPTION;
  const unsigned char letter = Upper(text[0]);
  const std::size_t blank = text.find(' ');
  const bool has_blank = blank != std::string_view::npos;
  std::string flags(text.substr(1, (has_blank ? blank : text.size()) - 1));
  for (char& c : flags) c = static_cast<char>(Upper(c));
  const std::string_view args = has_blank ? text.substr(blank) : std::string_view{};

  // Flag letters are checked per option: too many is a syntax error, letters
  // the option does not know are an option error.
  std::size_t max_flags = 0;
  switch (letter) {
    case 'S': case 'R': max_flags = 3; break;
    case 'A': max_flags = 1; break;
    case 'D': max_flags = 2; break;
    case 'X': max_flags = 4; break;
    case 'N': case 'I': case 'T': case 'P': case 'B': case 'C': case 'E': case 'F': case '/':
      break;
    default:
      return E_OPTION;
  }
  if (flags.size() > max_flags) return E_PARAMETER;
  if (!RS232_ROX::Valid_Option(flags.c_str(), letter)) return E_OPTION;
  if (std::count(args.begin(), args.end(), '"') % 2 != 0) return E_PARAMETER;

  std::string list, name;
  std::size_t pos = 0;
  short r = E_NORMAL;
  switch (letter) {
    case 'S':
    case 'R': {
      if (!has_blank) return E_PARAMETER;
      if ((r = cmdline::Make_List(args, letter, &list)) != E_NORMAL) return r;
      const bool sub = Has(flags, 'R'), upd = Has(flags, 'U'), over = Has(flags, 'O');
      const char* compare = letter == 'S' ? "VS" : "VR";
      if (upd) {
        *out += std::string(compare) + (sub ? "R" : "") + " " + list;
        out->push_back(kCommandEnd);
      }
      *out += std::string(1, static_cast<char>(letter)) + (sub ? (letter == 'S' ? "R" : "W") : "") +
              (upd ? "U" : "") + (over ? "O" : "") + " " + list;
      break;
    }
    case 'A':
      if (!has_blank) return E_PARAMETER;
      if ((r = cmdline::Make_List(args, 'A', &list)) != E_NORMAL) return r;
      *out += (Has(flags, 'R') ? "RA " : "A ") + list;
      break;
    case 'D':
      if (!has_blank) return E_PARAMETER;
      if ((r = cmdline::Make_List(args, 'D', &list)) != E_NORMAL) return r;
      if (list.empty()) return E_PARAMETER;
      *out += std::string("D") + (Has(flags, 'R') ? "R" : "") + (Has(flags, 'O') ? "O" : "") + " " +
              list;
      break;
    case 'X':
      if (!has_blank) return E_PARAMETER;
      return Translate_File_Info(args, flags, out);
    case 'N': {
      // Exactly an old and a new name; anything else names no move.
      std::string old_name, new_name, extra;
      if (cmdline::Take_Name(args, &pos, &old_name, false) != cmdline::Name_Result::Ok || old_name.empty() ||
          cmdline::Take_Name(args, &pos, &new_name, false) != cmdline::Name_Result::Ok || new_name.empty() ||
          cmdline::Take_Name(args, &pos, &extra, false) != cmdline::Name_Result::None) {
        return E_PARAMETER;
      }
      *out += "M " + old_name + "::" + new_name;
      break;
    }
    case 'I':
      if (cmdline::Take_Name(args, &pos, &name, false) != cmdline::Name_Result::Ok) return E_PARAMETER;
      if (name.size() == 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':') {
        *out += "C " + name;
      } else {
        *out += "VG " + name;
      }
      break;
    case 'T':
      return Translate_Time_Set(args, out, set_clock);
    case 'P': {
      if (!has_blank || blank != 1) return E_PARAMETER;
      std::string_view body = text.substr(2);
      if (body.size() >= 2 && body.front() == '"' && body.back() == '"') {
        body = body.substr(1, body.size() - 2);
      }
      *out += "P ";
      out->append(body);
      break;
    }
    case 'B':
      *out += "G ";
      break;
    case 'C': {
      std::string_view program = Trim_Left(args);
      if (program.empty()) return E_PARAMETER;
      *out += "B ";
      out->append(program);
      break;
    }
    case 'E': {
      if (cmdline::Take_Name(args, &pos, &name, true) != cmdline::Name_Result::Ok) return E_PARAMETER;
      // Trailing blanks are not part of a PC file name.
      while (!name.empty() && name.back() == ' ') name.pop_back();
      if (name.empty()) return E_PARAMETER;
      std::string path(DefWorkFile, strnlen(DefWorkFile, sizeof DefWorkFile));
      if (path.empty() || path.back() != '\\') path.push_back('\\');
      path += name;
      // The command is kept whole in ScriptCommand for re-running the script.
      if (2 + path.size() >= RS232_ROX::SCRIPT_COMMAND_SIZE) return E_PARAMETER;
      *out += "I " + path;
      break;
    }
    case 'F': {
      if (cmdline::Take_Name(args, &pos, &name, false) != cmdline::Name_Result::Ok) return E_PARAMETER;
      std::size_t colon = name.find(':');
      if (colon == std::string::npos || colon == 0 ||
          !std::isalpha(static_cast<unsigned char>(name[colon - 1]))) {
        return E_PARAMETER;
      }
      *out += "EF ";
      out->push_back(static_cast<char>(Upper(name[colon - 1])));
      break;
    }
    case '/': {
      std::string_view number = Trim_Left(args);
      while (!number.empty() && number.back() == ' ') number.remove_suffix(1);
      if (number.empty()) {
        *out += "E ";
        break;
      }
      if (number.size() > 3 || !All_Digits(number)) return E_PARAMETER;
      int n = std::stoi(std::string(number));
      if (n > 255) return E_PARAMETER;
      // The class byte sits inside a list that a NUL ends and the byte 7
      // divides: class 0 is the plain end (the same end indication), and
      // class 7 cannot be carried at all.
      if (n == 0) {
        *out += "E ";
        break;
      }
      if (n == kCommandEnd) return E_PARAMETER;
      *out += "EP ";
      out->push_back(static_cast<char>(n));
      break;
    }
  }
  out->push_back(kCommandEnd);
  return E_NORMAL;
}

}  // namespace

short RS232_ROX::Separate_Command(const unsigned char* text, char* out, std::size_t size) {
  try {
    std::string option;
    std::size_t rest = 0;
    if (!Next_Option(reinterpret_cast<const char*>(text), &option, &rest)) {
      if (size) out[0] = '\0';
      return E_PARAMETER;
    }
    return bounded::Copy_N(out, size, option.data(), option.size()) ? E_NORMAL : E_MEMORY;
  } catch (const std::exception&) {
    if (size) out[0] = '\0';
    return E_MEMORY;
  }
}

short RS232_ROX::Separate_Command(const unsigned char* text, char* out) {
  return Separate_Command(text, out, std::strlen(reinterpret_cast<const char*>(text)) + 2);
}

unsigned char RS232_ROX::Valid_Option(const char* letters, unsigned char option) {
  const char* allowed = "";
  std::size_t max = 0;
  switch (Upper(static_cast<char>(option))) {
    case 'S': case 'R': allowed = "ORU"; max = 3; break;
    case 'A': allowed = "RS"; max = 1; break;
    case 'X': allowed = "AHRS"; max = 4; break;
    case 'D': return std::strlen(letters) <= 2;  // letters other than R and O are ignored
    default: return letters[0] == '\0';
  }
  std::size_t n = std::strlen(letters);
  if (n > max) return 0;
  for (std::size_t i = 0; i < n; ++i) {
    char c = static_cast<char>(Upper(letters[i]));
    if (std::strchr(allowed, c) == nullptr) return 0;
    for (std::size_t j = 0; j < i; ++j) {
      if (Upper(letters[j]) == static_cast<unsigned char>(c)) return 0;
    }
  }
  return 1;
}

short RS232_ROX::Translate_Command(const unsigned char* line_bytes, char* list, std::size_t cap) {
  if (!line_bytes || !list || cap == 0) return E_MEMORY;
  try {
    std::string_view text(reinterpret_cast<const char*>(line_bytes));
    if (text.empty() || text[0] != '/') return E_PARAMETER;
    // The byte 7 divides the list; inside a line it would forge a command.
    if (text.find(kCommandEnd) != std::string_view::npos) return E_PARAMETER;

    std::string option, commands;
    std::size_t rest = 0;
    if (text.size() >= 2 && Upper(text[1]) == 'C') {
      // A leading program call takes the whole line, slashes included; only
      // a final "//" still ends the session.
      std::string_view body = text.substr(1);
      rest = text.size();
      if (body.size() >= 3 && body.substr(body.size() - 2) == "//") {
        body.remove_suffix(2);
        rest = text.size() - 2;
        if (body.size() >= 2 && body.back() == '\\' && body[body.size() - 2] != ' ') {
          body.remove_suffix(1);
        }
      }
      option.assign(body);
    } else {
      Next_Option(text, &option, &rest);
    }

    for (;;) {
      commands.clear();
      short r = Translate_Option(option, &commands, &SetClockPending);
      if (r != E_NORMAL) return r;
      if (!bounded::Append_N(list, cap, commands.data(), commands.size())) return E_MEMORY;
      text = text.substr(rest);
      if (!Next_Option(text, &option, &rest)) return E_NORMAL;
    }
  } catch (const std::exception&) {
    return E_MEMORY;
  }
}

short RS232_ROX::Translate_Command(const unsigned char* line, char* list) {
  // The list lies in this engine's CommandList; writes stop at its end.
  const auto begin = reinterpret_cast<std::uintptr_t>(CommandList);
  const auto at = reinterpret_cast<std::uintptr_t>(list);
  if (at < begin || at >= begin + sizeof CommandList) return E_MEMORY;
  return Translate_Command(line, list, begin + sizeof CommandList - at);
}

unsigned char RS232_ROX::Get_Script_Command(char* out, std::size_t size, short* error) {
  if (error) *error = E_NORMAL;
  auto fail = [&](short code) -> unsigned char {
    if (ScriptFile) std::fclose(ScriptFile);
    ScriptFile = nullptr;
    if (size) out[0] = '\0';
    if (error) *error = code;
    return 0;
  };
  if (size < 3) return fail(E_MEMORY);
  if (!ScriptFile) {
    bounded::Copy(out, size, "//");
    return 0;
  }

  // Text-mode reading: a carriage return before a line feed is dropped.
  auto next = [this]() {
    int ch = std::fgetc(ScriptFile);
    if (ch == '\r') {
      int after = std::fgetc(ScriptFile);
      if (after == '\n') return after;
      if (after != EOF) std::ungetc(after, ScriptFile);
    }
    return ch;
  };
  int c;
  do {
    c = next();
  } while (c == '\n');
  std::size_t n = 0;
  while (c != EOF && c != '\n') {
    // Room is kept for this character, the "//" that closes the last line
    // and the NUL.
    if (n + 4 > size) return fail(E_SCRIPT_TOO_BIG);
    out[n++] = static_cast<char>(c);
    c = next();
  }
  out[n] = '\0';
  if (c == '\n') return 1;

  std::fclose(ScriptFile);
  ScriptFile = nullptr;
  bounded::Append(out, size, "//");
  return 0;
}

unsigned char RS232_ROX::Get_Script_Command(char* out) {
  return Get_Script_Command(out, SCRIPT_LINE_SIZE, nullptr);
}

short RS232_ROX::Make_Script_Path(const char* name, char* out, std::size_t size) {
  if (size == 0) return E_FILE_NOTHING;
  out[0] = '\0';
  if (!name || name[0] == '\0') return E_FILE_NOTHING;
  if (!bounded::Copy_N(out, size, DefWorkFile, strnlen(DefWorkFile, sizeof DefWorkFile)) ||
      !bounded::Append(out, size, name)) {
    out[0] = '\0';
    return E_FILE_NOTHING;
  }
  return E_NORMAL;
}
