// "Select  Script  File For Execution": the operator picks one script file
// of the working folder and starts it on the chosen stations, once
// (Single) or as a batch run (Batch). The list comes from Script_Files_In,
// the line from Script_Run_Line, the distribution from Distribute_Line.
//
// Threads: the GUI thread only.
#pragma once

#include <QDialog>

#include <string>

#include "app/gui/forms/command_screen.h"

class QListWidget;
class QRadioButton;

class ScriptRunner : public QDialog {
  Q_OBJECT

 public:
  // Lists the *.scr files of work_folder (a PC path, DefWorkFile), the first
  // one selected, Batch preset. message: empty shows message boxes.
  ScriptRunner(FormHost& host, const std::string& work_folder, FormMessage message = {}, QWidget* parent = nullptr);

  QListWidget* List() const { return list_; }
  // The file OK starts: the selected one (the first when the operator took
  // the selection away); empty when the list is empty.
  std::string Chosen() const;

 public slots:
  // An empty list: "No Items in Working Directory" and the window stays,
  // nothing is marked. Else "/1/E NAME" (Single) or "/E NAME" (Batch) goes
  // to the chosen stations and the window closes with Accepted.
  void accept() override;

 private:
  FormHost& host_;
  FormMessage message_;
  QListWidget* list_;
  QRadioButton* single_;
  QRadioButton* batch_;
};
