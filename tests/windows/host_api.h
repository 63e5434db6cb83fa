// The fake Pd host's test side as plain C calls, so that a Windows test
// program can drive the pd.dll it shares with the module across the DLL
// boundary without sharing C++ types.
#pragma once

#ifdef HOST_API_BUILD
#define HOST_API __declspec(dllexport)
#else
#define HOST_API __declspec(dllimport)
#endif

extern "C" {

// Runs a module's setup function on the host.
HOST_API void host_setup(void (*setup_fn)(void));
// Creates an object of the last class set up from space-separated creation
// arguments; words that parse whole as numbers are floats. Null when the
// class gave no object.
HOST_API void *host_create(const char *args);
HOST_API void host_destroy(void *object);
HOST_API void host_send_float(void *object, double value);
// Runs the clocks due within the next `ms` milliseconds of virtual time.
HOST_API void host_advance(double ms);

// Console lines posted since the last clear; a line stays valid until the
// next call into the host.
HOST_API int host_console_count(void);
HOST_API const char *host_console_line(int index);
HOST_API void host_console_clear(void);

// Values that went out of outlets since the last clear, with their object.
HOST_API int host_outlet_count(void);
HOST_API double host_outlet_value(int index);
HOST_API void *host_outlet_owner(int index);
HOST_API void host_outlets_clear(void);
}
