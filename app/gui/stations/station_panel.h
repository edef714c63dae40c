// The station bars panel: one bar per HT with a running transfer, laid over
// the bottom of the main window just above its status bar. The decisions
// (order, scrolling, positions, text cutting) live in bar_model.h; these
// widgets paint them.
//
// The main window creates one StationPanel as its child, calls Start_Bar,
// Update_Bar and Reset_Bar from its status-notification handler, and
// Layout_Panel on every move and resize. The panel hides itself while it
// holds no bar. Keys typed in the panel go on to the main window: Esc emits
// exitRequested(), every other key is left to the parent (so the window's
// accelerators and menu mnemonics keep working).
//
// Threads: the user-interface thread only.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QFont>
#include <QRegion>
#include <QWidget>

#include "app/core/panelset.h"
#include "app/gui/stations/bar_model.h"

namespace stations {

class StationPanel;

// The list inside the panel: paints the visible bars and scrolls by whole
// bars when there are more than NUMOFBAR.
class StationList : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit StationList(StationPanel* panel);

  // The rectangle of visible row `row` (0 = first visible), in viewport
  // coordinates.
  Rect Item_Rect(int visible_row) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  bool viewportEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  friend class StationPanel;
  void Sync_Scroll_Bar();

  StationPanel* panel_;
};

class StationPanel : public QWidget {
  Q_OBJECT
 public:
  // settings: BARHEIGHT, NUMOFBAR, the borders and the send and receive
  // colours are taken from it once.
  StationPanel(const PanelSettings& settings, QWidget* main_window);

  // The interface decides the station number shown (SCSI ID on SCSI) and
  // whether the IP address line is drawn (TCP/IP). table: the stations'
  // addresses (default GStationIpTable); it must outlive the panel.
  void Set_Interface(Interface iface);
  void Set_Station_Table(const StationIpTable* table);

  // A transfer of HT ht starts (its first progress, 0): reads the HT's
  // record; nothing when its AbortFromGUI is set; redraws the HT's bar, or
  // appends one and fits the panel to the rows.
  void Start_Bar(int ht);
  // Progress of HT ht: redraws only the percentage and the changed part of
  // the fill (a percentage of 0 redraws the whole bar). Nothing for an HT
  // without a bar.
  void Update_Bar(int ht);
  // The transfer ended: removes the HT's bar and fits the panel; the panel
  // hides with its last bar.
  void Reset_Bar(int ht);
  // Removes every bar (Stop Link Manager).
  void Clear();

  // The same with the data given instead of read from the session table.
  void Start_Bar(const StationBar& bar, bool abort_from_gui);
  void Update_Bar(const StationBar& bar);

  // The layout rule; the main window calls it with its status bar's
  // geometry (in the main window's coordinates) on every move and resize.
  void Layout_Panel(const QRect& status_bar, bool minimized);

  const BarList& Bars() const { return bars_; }
  StationList* List() const { return list_; }
  // Scrolls so that `row` is the first visible row (clamped).
  void Scroll_To(int row);

  // The station number as bar `ht` shows it after "IOBOX  No. : " (the
  // SCSI ID on SCSI).
  QString Station_Text(int ht) const;
  // The file text as bar `ht` shows it at the current width ("" without a bar).
  QString Shown_File_Text(int ht) const;
  // The area the last fast update asked to repaint, in the list's viewport
  // coordinates (empty after a full redraw).
  QRegion Last_Update_Region() const { return last_update_; }

  // Draws the bar into item rectangle item (also used for pictures of a bar).
  void Paint_Bar(QPainter& painter, const StationBar& bar, const Rect& item) const;

 signals:
  // Esc in the panel: the main window closes as on Exit.
  void exitRequested();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  friend class StationList;
  void Relayout();
  QString Fitted_File_Text(const StationBar& bar, const Rect& item) const;
  void Redraw_Row(int ht);
  int Item_Width() const;

  PanelSettings settings_;
  Interface iface_ = Interface::Rs232c;
  const StationIpTable* table_;
  BarList bars_;
  StationList* list_;
  QFont font_;
  QColor send_colour_;
  QColor recv_colour_;
  QRect status_bar_;
  bool minimized_ = false;
  QRegion last_update_;
};

}  // namespace stations
