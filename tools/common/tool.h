// What every part of a tool shares: its messages and its clock.
#pragma once

// The program's name, which starts its messages; each tool's main.cpp
// defines it.
extern const char tool_name[];

// Status lines are off with --quiet; errors always go out.
extern bool tool_quiet;

// "<tool_name>: ..." on standard error.
void status(const char *format, ...) __attribute__((format(printf, 1, 2)));
// "<tool_name>: error: ..." on standard error.
void error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Seconds on a clock that never goes back.
double now_seconds();
