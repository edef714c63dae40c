// The script editor without widgets: how Add and Combine extend the script
// text, and the rules for opening and saving script files (*.scr) in the
// working directory DefWorkFile, with the operator's message texts.
//
// Script text is kept as the file holds it: lines separated by CR LF, at
// most kScriptMaxBytes bytes. Paths the file dialogs return are native
// absolute paths (valid PC paths too); the working directory is a PC path
// that the file layer maps (drive table, case-insensitive lookup).
//
// Threads: the GUI thread (DefWorkFile is read without a lock, as the
// configuration code writes it only while no session runs).
#pragma once

#include <cstddef>
#include <string>

// The largest script file that opens and saves.
constexpr std::size_t kScriptMaxBytes = 20000;

// Caption of every box of the editor.
constexpr const char* kScriptBoxCaption = "Message Box";
constexpr const char* kScriptChangedAsk = "Script File has changed. \n Do you want to Save it ?";
// Window title of a new script.
constexpr const char* kScriptNewTitle = "New Script File ->";

// Add: the line becomes the text when it is empty; after text ending in
// CR LF it is appended; otherwise CR LF and the line are appended.
std::string Script_Add(const std::string& text, const std::string& line);
// Combine: the line becomes the text when it is empty; otherwise a blank
// and the line are appended, so the command joins the last line.
std::string Script_Combine(const std::string& text, const std::string& line);

// Outcomes of opening and saving; each has its message (Script_Message).
enum ScriptFileResult : int {
  kScriptOk = 0,
  kScriptNoDeviceIni,   // device.ini is missing from the program directory
  kScriptNoWorkDir,     // DefWorkFile names no existing folder (or an unmapped drive)
  kScriptNotScr,        // the name's extension is not "scr" (any case)
  kScriptNotInWorkDir,  // the file's folder is not the working directory
  kScriptTooBig,        // kScriptMaxBytes + 1 bytes or more
  kScriptFileError,     // the file could not be read or written (the file layer's reason)
};

// The box text of result r when opening (saving false) or saving a script.
// kScriptFileError gives a text naming path and why; kScriptOk gives "".
std::string Script_Message(ScriptFileResult r, bool saving, const std::string& path = {},
                           const std::string& why = {});

// The working directory as a native folder without a trailing separator
// (the root stays "/"). False when DefWorkFile names an unmapped drive or
// no existing folder.
bool Script_Work_Dir(std::string* native);

// The checks before the file dialog, in order: device.ini present, then the
// working directory. kScriptOk with *work_dir set (for the dialog's start
// folder and Check_Script_Path).
ScriptFileResult Check_Script_Ready(std::string* work_dir);

// The name the save dialog gives with its default extension: ".scr" appended
// when the last component has no extension.
std::string With_Script_Extension(const std::string& path);

// The checks of a chosen file, in order: extension "scr" ignoring case, then
// its folder equal to work_dir (ignoring ASCII case, "." and ".." and
// trailing separators). A file of the same name in another folder is
// refused.
ScriptFileResult Check_Script_Path(const std::string& path, const std::string& work_dir);

// Loads the script at path into *text (replaced). kScriptTooBig when the file
// holds more than kScriptMaxBytes (nothing loaded); kScriptFileError with
// *why when it cannot be read.
ScriptFileResult Load_Script(const std::string& path, std::string* text, std::string* why);

// Writes text to path unchanged (no terminator, no added line end). The file
// is replaced in one step: a reader sees the old content or the new, never a
// part. A text over kScriptMaxBytes is refused (kScriptTooBig) and the file
// stays as it was, as does the file on any failure (kScriptFileError, *why).
ScriptFileResult Save_Script(const std::string& path, const std::string& text, std::string* why);

// Whole-file text with CR LF line ends from an edit field's text, whose
// lines end in LF alone (a CR LF already there stays as it is).
std::string To_Script_Line_Ends(const std::string& field_text);
// An edit field's text (LF) from script text (CR LF).
std::string From_Script_Line_Ends(const std::string& script_text);
