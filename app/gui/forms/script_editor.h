// The script editor window: the Command screen's form fields without the
// Single/Batch choice, a multi-line script text (control 1031), Add and
// Combine to put the fields' command into the text, Browse for the files
// field, Save, Save As and Exit, and Cut/Copy/Paste/Delete for the field
// with the focus. The rules live in command_form.h and
// script_editor_model.h; this window only collects values and shows them.
//
// Every widget of a control carries the control's id as its object name
// ("ctl1038" for the command list) so tests and screenshots find it.
// Message boxes go through platform::Message_Box (the main window shows
// them, tests answer them); file dialogs through a replaceable chooser.
//
// Threads: the GUI thread only.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

#include "app/gui/forms/command_form.h"
#include "app/gui/forms/form_fields.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// What a file dialog is asked for.
enum class ScriptFileDialog {
  kOpen,    // an existing *.scr in the working directory
  kSave,    // a name to save under (Save, Save As), asking before overwriting
  kBrowse,  // any file for the files field ("Browse", four filters)
};

// Shows a file dialog starting in start_dir (a native folder, may be empty)
// and returns the chosen native path, or "" when the operator cancelled.
using ScriptFileChooser = std::function<std::string(ScriptFileDialog kind, const std::string& start_dir)>;

// Replaces the file dialogs (tests); an empty function restores Qt's.
void Set_Script_File_Chooser(ScriptFileChooser chooser);

class ScriptEditor : public QDialog {
  Q_OBJECT

 public:
  // A new, empty script titled "New Script File ->".
  explicit ScriptEditor(QWidget* parent = nullptr);

  // Opens the editor as the Script menu does: a new script, or (from_file)
  // a script chosen in the working directory after the checks of
  // script_editor_model.h, each refusal told in a box. The editor is shown
  // application-modal, without blocking, and deletes itself when closed.
  // Null when a check refused or the operator cancelled the dialog.
  static ScriptEditor* Open(QWidget* parent, bool from_file);

  // The script as it would be saved (lines end in CR LF).
  std::string Script_Text() const;
  // The file being edited; empty for a new script never saved.
  const std::string& Path() const { return path_; }
  bool Modified() const;

  // The form's values as Add would build them.
  FormValues Values() const;

  // The buttons' actions (also reached through the buttons).
  void Add();
  void Combine();
  void Browse();
  // Save (as_new false) or Save As. True when the file was written.
  bool Save(bool as_new);

 public slots:
  // Exit (the Exit button, Esc, the close box): asks whether to save a
  // modified script; the editor stays open when that save does not happen.
  void reject() override;

 private:
  void Build();
  void Command_Changed(int command);
  void Show_Values(const FormValues& v);
  void Set_Text(const std::string& script_text);
  void Load(const std::string& path, const std::string& script_text);
  void Edit_Action(int which);

  FormFields f_;
  QPlainTextEdit* text_ = nullptr;
  std::string path_;
};
