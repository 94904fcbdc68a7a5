#pragma once
// The console's string table: texts the program loads by resource identifier, and the
// identifiers of its other resources (dialogs, menus, icons, controls) so code and tests share
// one list.

#include <QString>

namespace uv::server::res {

// Dialogs, menus, accelerators, icons, bitmaps.
inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_USBVANTRELSERVER_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;  // application icon
inline constexpr int IDR_ACCELERATOR = 132;
inline constexpr int IDR_TOOLBAR = 191;  // toolbar bitmap, 24 x 24 images
inline constexpr int IDR_MAINMENU = 192;

// Strings.
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDP_SOCKETS_INIT_FAILED = 103;
inline constexpr int AFX_IDP_FAILED_TO_START_PRINT = 61702;

// Commands (menus, toolbar, accelerators).
inline constexpr int IDM_ABOUTBOX = 16;
inline constexpr int ID_TRAY_EXIT = 32771;
inline constexpr int ID_TRAY_HISTORY = 32772;
inline constexpr int ID_TRAY_ABOUT = 32773;
inline constexpr int ID_TOOLBAR_COPY = 32787;
inline constexpr int ID_TOOLBAR_HIDE = 32788;
inline constexpr int ID_TOOLBAR_SELECTALL = 32789;
inline constexpr int ID_TOOLBAR_PRINT = 32796;
inline constexpr int ID_TRAY_SERVERSETTINGS = 32797;
inline constexpr int ID_FILE_HIDE = 32798;
inline constexpr int ID_FILE_PRINT = 32799;
inline constexpr int ID_EDIT_SELECTALL = 32800;
inline constexpr int ID_EDIT_COPY = 32801;
inline constexpr int ID_HELP_ABOUT = 32802;
inline constexpr int ID_TRAY_BLOCKUSB = 32803;
inline constexpr int ID_TRAY_SAVEENERGY = 32805;
inline constexpr int ID_TRAY_SENDOFFLINEMSG = 32807;

// Controls of the main window.
inline constexpr int IDC_TAB = 1002;
inline constexpr int IDC_COPY = 1004;
inline constexpr int IDC_LIST = 1006;
inline constexpr int IDC_SELECTALL = 1007;
inline constexpr int IDC_APPLYFILTERS = 1044;

// The tray icon's identifier and callback message.
inline constexpr int kTrayIconId = 1024;
inline constexpr int WM_TRAY_NOTIFY = 0x501;

// The text of a string resource; empty for an identifier the table does not hold.
QString LoadString(int id);

// The tool tip of a command: the text after the newline of its string resource.
QString ToolTipOf(int commandId);

}  // namespace uv::server::res

// Registers the console's compiled resources (icons, sound) with Qt; call once at start.
void InitServerResources();
