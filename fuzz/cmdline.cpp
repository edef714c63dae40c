// The command language: translation of an operator's command line into
// basic commands, its text helpers, and the reading of script files.
//
// Input: up to four texts separated by NUL bytes: a command line, a script
// file's content, a "::" list, and a text for the date, time and name
// helpers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/rox32.h"
#include "fuzz/fuzz_support.h"

namespace {

void Translate(RS232_ROX& engine, const std::string& line) {
  std::vector<char> list(4096, '\0');
  engine.Translate_Command(reinterpret_cast<const unsigned char*>(line.c_str()), list.data(),
                           list.size());
  // The in-place form against the engine's own list, as the idle state uses it.
  engine.CommandList[0] = '\0';
  engine.Translate_Command(reinterpret_cast<const unsigned char*>(line.c_str()), engine.CommandList);
}

void Helpers(const std::string& text) {
  const char* t = text.c_str();
  const std::size_t n = text.size();
  std::vector<char> out(2 * n + 8);
  RS232_ROX::Separate_Command(reinterpret_cast<const unsigned char*>(t), out.data(), out.size());
  for (unsigned char option : {'S', 'R', 'A', 'D', 'N', 'X', 'I', 'E'}) {
    RS232_ROX::Make_FileList(t, out.data(), out.size(), option);
    RS232_ROX::Valid_Option(t, option);
    // Too small on purpose: the sized forms must stop at the bound.
    std::vector<char> small(n / 2 + 1);
    RS232_ROX::Make_FileList(t, small.data(), small.size(), option);
  }
  RS232_ROX::Get_FirstFile(t, out.data(), out.size());
  RS232_ROX::Get_FirstScriptFile(t, out.data(), out.size());
  RS232_ROX::Get_Count(t);
  RS232_ROX::IsNumericString(t);
  RS232_ROX::Get_Date(t);
  char hms[3];
  RS232_ROX::Get_Time(t, hms);
  RS232_ROX::Make_Number(t);
  char path[1024];
  RS232_ROX::Make_Script_Path(t, path, sizeof path);
}

void List(const std::string& list) {
  const char* l = list.c_str();
  std::vector<char> out(list.size() + 8);
  const unsigned short count = RS232_ROX::Get_FileCount(l);
  RS232_ROX::Get_FileName(l, out.data(), out.size());
  for (unsigned short i = 1; i <= count + 1 && i < 64; ++i)
    RS232_ROX::Get_SubString(l, i, out.data(), out.size());
  RS232_ROX::Extract_File_Name(l, out.data(), list.size() / 2, out.size());
}

void Script(RS232_ROX& engine, const std::string& text) {
  // The script file is the text in memory; fmemopen needs at least a byte.
  std::string content = text.empty() ? std::string("\n") : text;
  engine.ScriptFile = ::fmemopen(content.data(), content.size(), "r");
  if (engine.ScriptFile == nullptr) return;
  std::vector<char> line(RS232_ROX::SCRIPT_LINE_SIZE);
  for (int i = 0; i < 200; ++i) {
    short error = 0;
    const unsigned char more = engine.Get_Script_Command(line.data(), line.size(), &error);
    Translate(engine, line.data());
    if (!more) break;
  }
  if (engine.ScriptFile != nullptr) std::fclose(engine.ScriptFile);
  engine.ScriptFile = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 40000) return 0;
  static RS232_ROX engine;
  const std::vector<std::string> parts = fuzz::Split_At_Nul(data, size, 4);
  auto part = [&](std::size_t i) { return i < parts.size() ? parts[i] : std::string(); };
  Translate(engine, part(0));
  Script(engine, part(1));
  List(part(2));
  Helpers(part(3));
  Helpers(part(0));
  return 0;
}
