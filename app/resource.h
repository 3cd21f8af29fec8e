#pragma once

#include "kestavo_version.h"

// Identifiers of the window's templates, strings, icon and controls. Control ids name the controls in
// code and in tests; -1 marks a control nothing refers to.
namespace kestavo::app {

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_KESTAVO_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;

inline constexpr int IDC_STATIC = -1;
inline constexpr int IDOK = 1;
inline constexpr int IDC_OPEN_CLOSE = 1001;
inline constexpr int IDC_TEST_INFORMATION = 1003;
inline constexpr int IDC_ENDPOINT_STATISTICS = 1004;
inline constexpr int IDC_RELAY_START_STOP = 1005;
inline constexpr int IDC_LOG = 1006;
inline constexpr int IDC_OWN_ADDRESS = 1007;
inline constexpr int IDC_PORT = 1008;
inline constexpr int IDC_STORE_FILE = 1009;
inline constexpr int IDC_STORE_FILE_CAPTION = 1010;
inline constexpr int IDC_BROWSE = 1011;
inline constexpr int IDC_DATA_RATE = 1012;
inline constexpr int IDC_DATA_RATE_CAPTION = 1013;
inline constexpr int IDC_STORE_DATA_TO_FILE = 1014;
inline constexpr int IDC_DEVICE_LIST = 1015;

// The About entry of the window menu, and its command id.
inline constexpr char kAboutMenuText[] = "&About Kestavo...";
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;

inline constexpr char kApplicationTitle[] = "Kestavo";
inline constexpr const char* kApplicationVersion = kVersion;
// Handed to the framework as the place for settings; the program keeps none there.
inline constexpr char kRegistryKey[] = "Local AppWizard-Generated Applications";

// The window icon, compiled in from res/.
inline constexpr char kIconResource[] = ":/kestavo/icon-128.png";

} // namespace kestavo::app

namespace kestavo::app {

// Window messages from the relay's callbacks.
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned WM_CLIENT_DATA = WM_USER + 400;
inline constexpr unsigned WM_SOCKET_EVENT = WM_USER + 401;
inline constexpr unsigned WM_CLIENT_CONNECTED = WM_USER + 402;
inline constexpr unsigned WM_CLIENT_DISCONNECTED = WM_USER + 403;

} // namespace kestavo::app
