#include "tool.h"

#include <cstdarg>
#include <cstdio>

#include <time.h>

bool tool_quiet = false;

namespace {

void say(const char *prefix, const char *format, va_list ap)
{
    fprintf(stderr, "%s%s", tool_name, prefix);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
}

} // namespace

void status(const char *format, ...)
{
    if (tool_quiet)
        return;
    va_list ap;
    va_start(ap, format);
    say(": ", format, ap);
    va_end(ap);
}

void error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    say(": error: ", format, ap);
    va_end(ap);
}

double now_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
