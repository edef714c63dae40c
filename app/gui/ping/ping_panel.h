// The station ping panel: a lamp per [USE_IP] station in its state colour,
// the legend, the PING button, "Pinging Stations ..." while a pass runs,
// and a tooltip with each lamp's address. A child of the main window, laid
// over it above the station bars (the main window places it).
//
// It is a platform message target: 1047 and 1048 change a station's state
// (the main window forwards them from its status notifications while the
// panel checks); 1049 stops it: the pass ends at its next station, the
// panel hides, calls its stop hook (the main window forgets it) and is
// deleted later. Closing it any other way is refused with a message box.
//
// Threads: the GUI thread; the passes run on the model's worker thread.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>

#include "app/gui/ping/ping_model.h"
#include "platform/window.h"

class QPushButton;
class QTimer;

namespace ping {

class PingPanel : public QWidget, public platform::MessageTarget {
  Q_OBJECT

 public:
  // Loads the station table anew (Load_Station_Ip_Table) and pings through
  // icmp, which must outlive the panel.
  PingPanel(platform::IcmpBackend& icmp, QWidget* parent);
  ~PingPanel() override;

  // Set while the panel exists, cleared by 1049.
  bool Checking() const { return checking_; }
  PingModel& Model() { return *model_; }
  QPushButton* Ping_Button() const { return button_; }
  // The blink phase of the last refresh.
  bool Blink_Phase() const { return blink_; }
  // What the notice line shows now ("Pinging Stations ..." or why no echo
  // can be sent, or nothing).
  QString Notice_Text() const;
  // The address of the lamp under a point of the panel; empty when none.
  QString Tooltip_At(const QPoint& p) const;

  // Runs when 1049 has stopped the panel.
  void Set_Stop_Hook(std::function<void()> hook) { stop_hook_ = std::move(hook); }
  // Runs when a PING pass has ended (the main window raises its error
  // windows).
  void Set_Ping_Pass_End_Hook(std::function<void()> hook) { ping_end_hook_ = std::move(hook); }

  // PING: a pass over the stations not communicating, unless one runs.
  bool Start_Ping();

  void Handle(const platform::Message& m) override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;

 private slots:
  void Refresh();
  void Pump();

 private:
  void Start_Initial_Pass();
  void Stop();

  std::unique_ptr<PingModel> model_;
  QPushButton* button_ = nullptr;
  QTimer* timer_ = nullptr;
  bool checking_ = true;
  bool stopped_ = false;
  bool painted_ = false;
  bool blink_ = false;
  bool ping_end_reported_ = true;  // the last PING pass's end was reported
  std::function<void()> stop_hook_;
  std::function<void()> ping_end_hook_;
};

}  // namespace ping
