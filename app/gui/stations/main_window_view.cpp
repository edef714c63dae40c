#include "app/gui/stations/main_window_view.h"

#include <QMainWindow>
#include <QPointer>
#include <QStatusBar>

#include "app/core/panelset.h"
#include "app/gui/stations/selection_dialogs.h"
#include "app/gui/stations/station_panel.h"
#include "platform/atomic.h"

namespace stations {

namespace {

Interface Interface_Of(int interface_type) {
  switch (interface_type) {
    case 1:
      return Interface::Scsi;
    case 2:
      return Interface::TcpIp;
    default:
      return Interface::Rs232c;
  }
}

SelectionMode Mode_Of(::SelectionMode mode) {
  switch (mode) {
    case ::SelectionMode::kCommand:
      return SelectionMode::Command;
    case ::SelectionMode::kScript:
      return SelectionMode::Script;
    case ::SelectionMode::kAbort:
      break;
  }
  return SelectionMode::Abort;
}

class PanelView : public StationView {
 public:
  explicit PanelView(QWidget* main_window) : main_(qobject_cast<QMainWindow*>(main_window)) {}
  ~PanelView() override { delete panel_.data(); }

  void Start_Bar(int ht, const InfoHT& info) override {
    if (ht < 1 || ht > MAX_HT || main_ == nullptr) return;
    const bool aborting = platform::Load(Info_Of(ht).AbortFromGUI) != 0;
    if (aborting) return;
    if (panel_ == nullptr) {
      panel_ = new StationPanel(GPanelSettings, main_);
      panel_->Set_Interface(iface_);
      QObject::connect(panel_.data(), &StationPanel::exitRequested, main_, &QMainWindow::close);
      Place();
    }
    panel_->Start_Bar(Bar_From_Info(ht, info), false);
  }

  void Update_Bar(int ht, const InfoHT& info) override {
    if (panel_ != nullptr) panel_->Update_Bar(Bar_From_Info(ht, info));
  }

  void Reset_Bar(int ht) override {
    if (panel_ == nullptr) return;
    panel_->Reset_Bar(ht);
    if (panel_->Bars().Count() == 0) Destroy_Panel();
  }

  void Destroy_Panel() override {
    if (panel_ == nullptr) return;
    panel_->hide();
    // Later: the panel may be the sender of the event being handled (Esc).
    panel_->deleteLater();
    panel_ = nullptr;
  }

  void Layout_Panel() override { Place(); }

  void Set_Interface_Type(int interface_type) override {
    iface_ = Interface_Of(interface_type);
    if (panel_ != nullptr) panel_->Set_Interface(iface_);
  }

  int Bar_Count() const override { return panel_ != nullptr ? panel_->Bars().Count() : 0; }

 private:
  void Place() {
    if (panel_ == nullptr || main_ == nullptr) return;
    panel_->Layout_Panel(main_->statusBar()->geometry(), main_->isMinimized());
  }

  QMainWindow* main_;
  QPointer<StationPanel> panel_;
  Interface iface_ = Interface::Rs232c;
};

}  // namespace

std::unique_ptr<StationView> Make_Station_Panel_View(QWidget* main_window) {
  return std::make_unique<PanelView>(main_window);
}

bool Select_Stations_For_Main_Window(QWidget* parent, ::SelectionMode mode, int interface_type) {
  return !Select_Stations(Interface_Of(interface_type), Mode_Of(mode), parent).empty();
}

}  // namespace stations
