// The Command screen "Command  Screen": the operator composes one command
// from form fields; OK builds its line and hands it to the chosen stations'
// command buffers. The rules (what each command enables, the labels, the
// line, the distribution) are command_form.h's; this dialog only shows the
// fields and collects what the operator filled in.
//
// Every control carries its control id as its object name ("ctl1011" for
// the command list, ...), so tests and tools find it.
//
// Threads: the GUI thread only.
#pragma once

#include <QDialog>
#include <QStringList>

#include <functional>
#include <string>

#include "app/gui/forms/command_form.h"
#include "app/gui/forms/form_fields.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

// Tells the operator something (caption "Message Box"); a form stays open.
using FormMessage = std::function<void(const std::string& text)>;

// The message box a FormMessage shows when the caller gives none.
void Show_Form_Message(QWidget* parent, const std::string& text);

// The Browse dialog of the forms: a file-open dialog titled "Browse" in
// which several existing files may be marked, with the four filters of
// kBrowseFilters in order. Qt shows a filter by the text before its
// pattern list, so the names read as in kBrowseFilters (a line break shows
// as a blank); "*.*" lists every file, with or without a dot.
QFileDialog* Make_Browse_Dialog(QWidget* parent);

// The paths the operator marked in a Browse dialog; empty when cancelled.
using BrowseChooser = std::function<QStringList(QWidget* parent)>;

class CommandScreen : public QDialog {
  Q_OBJECT

 public:
  // host: where OK distributes the line (the main window). message: empty
  // shows message boxes.
  explicit CommandScreen(FormHost& host, FormMessage message = {}, QWidget* parent = nullptr);

  // What the fields hold now. Line breaks typed into the first field count
  // as blanks: a command line is one line.
  FormValues Values() const;
  // The line OK would distribute.
  std::string Command_Line() const { return Build_Command_Line(Values(), false); }

  // Replaces the file dialog of Browse (tests).
  void Set_Browse_Chooser(BrowseChooser chooser) { chooser_ = std::move(chooser); }

 public slots:
  // Builds the line and distributes it to the chosen stations; closes with
  // Accepted. A line too long for a command buffer is refused with a
  // message, nothing is written and the screen stays.
  void accept() override;
  // Browse: each marked path, in double quotes, is appended to the first
  // field after a blank; the field shows its last line.
  void Browse();

 private:
  // The rules of a command: fields emptied, boxes it disables cleared,
  // enables, labels and Single/Batch.
  void Command_Changed(int command);
  void Show_Values(const FormValues& v);

  FormHost& host_;
  FormMessage message_;
  BrowseChooser chooser_;
  FormFields f_;
  QRadioButton* single_;
  QRadioButton* batch_;
};
