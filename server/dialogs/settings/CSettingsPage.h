#pragma once
// The "Settings" tab of the main window: every control of the console settings with its
// immediate effect, loading, and "Apply settings". The page edits the main window's
// ServerSettings in place: the mail switch follows "Send Mail" at once, everything else changes
// when "Apply settings" succeeds.
//
// Each control carries its dialog identifier as the dynamic property "controlId"; Control(id)
// finds it. Thread affinity: UI thread.

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "server/dialogs/settings/ServerSettings.h"

class QAbstractButton;

namespace uv::platform {
class Machine;
}

namespace Ui {
class SettingsPage;
}

namespace uv::server {

class CIPAddressCtrl;

// Control identifiers of the Settings tab.
namespace settings_id {
inline constexpr int kSendMail = 1018;
inline constexpr int kMailToLabel = 1019;
inline constexpr int kMailTo = 1020;
inline constexpr int kMailFromLabel = 1021;
inline constexpr int kMailFrom = 1022;
inline constexpr int kSmtpPortLabel = 1116;
inline constexpr int kSmtpPort = 1115;
inline constexpr int kSmtpServerLabel = 1034;
inline constexpr int kIpAddressRadio = 1024;
inline constexpr int kIpAddress = 1025;
inline constexpr int kMachineNameRadio = 1026;
inline constexpr int kMachineName = 1027;
inline constexpr int kRequiresAuth = 1036;
inline constexpr int kUserNameLabel = 1041;
inline constexpr int kUserName = 1042;
inline constexpr int kPasswordLabel = 1037;
inline constexpr int kPassword = 1038;
inline constexpr int kSmtpStartTls = 1170;
inline constexpr int kDisableBalloon = 1028;
inline constexpr int kEnableLog = 1029;
inline constexpr int kLogPath = 1030;
inline constexpr int kLogPathBrowse = 1031;
inline constexpr int kApplyFilters = 1044;
inline constexpr int kPlaySound = 1045;
inline constexpr int kSoundFile = 1047;
inline constexpr int kSoundFileBrowse = 1046;
inline constexpr int kDisallowClientConfig = 1148;
inline constexpr int kApplySettings = 1008;
}  // namespace settings_id

// What a file dialog of the page asks for; tests answer through SetFileChooser.
struct FileDialogRequest {
  bool save = false;  // save dialog (log path) or open dialog (sound file)
  QString title;
  QString directory;  // where it starts
  QString fileName;   // proposed file name
  QString filter;     // Qt filter text
  QString defaultSuffix;
  bool confirmOverwrite = false;
  bool mustExist = false;
};
using FileChooser = std::function<QString(const FileDialogRequest&)>;  // empty = cancelled

class CSettingsPage : public QWidget {
  Q_OBJECT

 public:
  // The settings and the machine are borrowed and must outlive the page.
  CSettingsPage(platform::Machine& machine, ServerSettings& settings, QWidget* parent = nullptr);
  ~CSettingsPage() override;

  // Loads the registry values into the settings and the controls (once, at start).
  void LoadSettings();
  // Shows the settings in the controls.
  void UpdateControls();

  // The control with this identifier, or nullptr.
  QWidget* Control(int controlId) const;

  // The program name of the default log path (default: this executable's).
  void SetProgramName(const QString& name) { programName_ = name; }
  std::string DefaultLogPathForPage() const;

  // Replaces the file dialogs (tests).
  void SetFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }

 public slots:
  void OnSendMail();
  void OnIpAddressRadio();
  void OnMachineNameRadio();
  void OnRequiresAuthentication();
  void OnEnableLog();
  void OnBrowseLogPath();
  void OnPlaySound();
  void OnBrowseSoundFile();
  // True when the settings were applied (a refused value shows its message instead).
  bool OnApplySettings();

 signals:
  // "Apply filters": the main window runs the filter dialog.
  void applyFiltersRequested();
  // The settings were applied.
  void settingsApplied();

 private:
  void TakeValuesFromControls(ServerSettings& values) const;
  void EnableMailControls(bool enable);
  void EnableAuthControls();
  QString Choose(const FileDialogRequest& request);

  void ApplyModeToControls();

  platform::Machine& machine_;
  ServerSettings& settings_;
  // The radio chosen on the page; becomes the settings' mode when "Apply settings" succeeds.
  int mode_ = kServerModeNone;
  std::unique_ptr<Ui::SettingsPage> ui_;
  QString programName_;
  FileChooser chooser_;
};

}  // namespace uv::server
