// What every part of veltrix-uno shares: its messages and its clock.
#pragma once

// Status lines are off with --quiet; errors always go out.
extern bool tool_quiet;

// "veltrix-uno: ..." on standard error.
void status(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "veltrix-uno: error: ..." on standard error.
void error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Seconds on a clock that never goes back.
double now_seconds();
