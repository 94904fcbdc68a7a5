#pragma once
// The journal viewer's resource identifiers and texts: dialogs, menu commands, controls and the
// strings the program shows, so code and tests share one list.

#include <QString>

namespace uv::logview::res {

// Dialogs, menus, icons.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_LOGSCOPE_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDR_MAINMENU = 129;

// Strings.
inline constexpr int IDS_ABOUTBOX = 101;

// Commands.
inline constexpr int IDM_ABOUTBOX = 16;
inline constexpr int ID_FILE_CLEARFILE = 32771;
inline constexpr int ID_FILE_EXIT = 32772;
inline constexpr int ID_HELP_ABOUT = 32773;
inline constexpr int ID_VIEW_REFRESH = 32774;

// Controls.
inline constexpr int IDC_LIST = 1005;

// Texts.
inline constexpr const char* kCaption = "USB Vantrel! Logscope";
inline constexpr const char* kAboutVersion = "USB Vantrel! Logscope ( Ver. 1.6 )";
inline constexpr const char* kAboutEntry = "&About USB Vantrel! Logscope...";
inline constexpr const char* kSupportMail = "mailto:support@usbvantrel.example";
inline constexpr const char* kUnableToOpen = "Unable to open the log file";
inline constexpr const char* kUnableToClear = "Unable to clear the log file";
inline constexpr const char* kAdministratorRequired =
    "Administrator privileges are required to clear the log file.";
inline constexpr const char* kCleared = "Log file is cleared successfully";

// The text of a string resource; empty for an identifier the table does not hold.
QString LoadString(int id);

}  // namespace uv::logview::res

// Registers the viewer's compiled resources (icon) with Qt; call once at start.
void InitLogscopeResources();
