// The form fields the Command screen and the script editor share. Each
// dialog makes the controls with its own control ids and lays them out its
// own way; this reads them into FormValues, shows FormValues in them, and
// enables and labels them by a command's rules (command_form.h).
//
// Threads: the GUI thread only.
#pragma once

#include <string>
#include <vector>

#include "app/gui/forms/command_form.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

struct FormFields {
  QComboBox* command = nullptr;
  QComboBox* drive = nullptr;
  QLabel* drive_label = nullptr;
  QLineEdit* size = nullptr;
  QLabel* size_label = nullptr;
  QLineEdit* date = nullptr;
  QLabel* date_label = nullptr;
  QLineEdit* time = nullptr;
  QLabel* time_label = nullptr;
  QGroupBox* options = nullptr;
  QCheckBox* overwrite = nullptr;
  QCheckBox* recursive = nullptr;
  QCheckBox* update = nullptr;
  QGroupBox* attrib = nullptr;
  QCheckBox* hidden = nullptr;
  QCheckBox* archive = nullptr;
  QCheckBox* read_only = nullptr;
  QCheckBox* system = nullptr;
  // The first text field is one line in the editor (first_line) and several
  // in the Command screen (first_text); exactly one of the two is set.
  QLabel* first_label = nullptr;
  QLineEdit* first_line = nullptr;
  QPlainTextEdit* first_text = nullptr;
  QPushButton* browse = nullptr;
  QLabel* second_label = nullptr;
  QLineEdit* second = nullptr;

  // What the fields hold (Single/Batch is the dialog's). Line breaks typed
  // into a multi-line first field count as blanks: a command line is one
  // line.
  FormValues Read() const;
  // Shows v's values, without letting the command list announce a change.
  void Show(const FormValues& v) const;
  // Enables and labels the fields by r.
  void Apply(const FormRules& r) const;
  // The first field's text, and appending browsed paths to it (the field
  // then shows its end).
  std::string First() const;
  void Append_Paths(const std::vector<std::string>& paths) const;
};
