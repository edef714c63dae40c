// The two station selection windows that come before Command, Script File
// and Abort on the SCSI and TCP/IP interfaces. They only collect the choice
// (and mark it in the session table's CheckFlag and CurrentlySelected); the
// caller opens the Command screen, the script selection or aborts.
//
// Threads: the user-interface thread only.
#pragma once

#include <QDialog>
#include <QList>

#include <functional>
#include <vector>

#include "app/gui/stations/selection_model.h"

class QCheckBox;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QTimer;

namespace stations {

// Title of both selection windows.
constexpr const char* kSelectionTitle = "HT Selection Window";

// The SCSI window: a check list of the seven IO boxes, shown by SCSI ID.
class ScsiSelectionDialog : public QDialog {
  Q_OBJECT
 public:
  // The IO-box power-on scan run on opening in command and script mode; the
  // default is the link manager's Check_For_PowerOn_IOboxes_And_Change_Gscsiscan.
  using PowerOnScan = std::function<void()>;

  ScsiSelectionDialog(SelectionMode mode, QWidget* parent = nullptr, PowerOnScan scan = {});

  // The chosen HT numbers (SCSI ID + 1) after OK.
  std::vector<int> Chosen() const { return selection_.Chosen(); }
  const StationSelection& Selection() const { return selection_; }
  QListWidget* List() const { return list_; }
  QPushButton* Select_All_Button() const { return select_all_; }
  QPushButton* Cancel_All_Button() const { return cancel_all_; }
  QPushButton* Ok_Button() const { return ok_; }

 public slots:
  // OK: with nothing checked, the message box "No Item Selected.Please
  // select atleast one." and the window stays open; else the choice is
  // marked and the window closes with Accepted.
  void accept() override;

 private:
  void Sync_Items();
  void Item_Changed(QListWidgetItem* item);

  StationSelection selection_;
  QListWidget* list_;
  QPushButton* select_all_;
  QPushButton* cancel_all_;
  QPushButton* ok_;
  bool syncing_ = false;
};

// The TCP/IP window: one check box per configured station in a square-ish
// grid, labelled with the station number in three digits.
class TcpSelectionDialog : public QDialog {
  Q_OBJECT
 public:
  // The stations are looked up in device.ini when the window opens.
  explicit TcpSelectionDialog(SelectionMode mode, QWidget* parent = nullptr);

  std::vector<int> Chosen() const { return selection_.Chosen(); }
  const StationSelection& Selection() const { return selection_; }
  GridShape Shape() const { return shape_; }
  // The check boxes, one per configured station, in station order.
  const QList<QCheckBox*>& Cells() const { return cells_; }
  QPushButton* Select_All_Button() const { return select_all_; }
  QPushButton* Cancel_All_Button() const { return cancel_all_; }
  QPushButton* Ok_Button() const { return ok_; }

  // Recomputes which stations may be chosen (also every half second while
  // the window is open) and disables and unchecks the others.
  void Refresh();

 public slots:
  void accept() override;

 private:
  void Sync_Cells();

  std::vector<TcpStation> stations_;
  GridShape shape_;
  StationSelection selection_;
  QList<QCheckBox*> cells_;
  QPushButton* select_all_;
  QPushButton* cancel_all_;
  QPushButton* ok_;
  QTimer* refresh_;
  bool syncing_ = false;
};

// Opens the selection window of iface (SCSI or TCP/IP) modally and returns
// the chosen HT numbers; empty when the operator cancelled (or for RS-232C,
// which has no selection).
std::vector<int> Select_Stations(Interface iface, SelectionMode mode, QWidget* parent);

}  // namespace stations
