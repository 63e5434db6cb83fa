// The Win32 backend's way to the driver answers that a test cannot get from
// wine, which always reports an output queue and never a line error.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The backend asks the driver through these; a test may replace them. Not
// exported from the module.
struct t_win32_driver {
    BOOL(WINAPI *clear_comm_error)(HANDLE, LPDWORD, LPCOMSTAT);
    BOOL(WINAPI *get_comm_properties)(HANDLE, LPCOMMPROP);
};
extern t_win32_driver serial_win32_driver;
