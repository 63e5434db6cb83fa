// A stable path for a pseudo-terminal: a symbolic link to its slave, made
// and removed the same way by every tool that plays a board.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

// Points `link` at `slave`. False, with the reason in *why, when `link` is
// something other than a link (never replaced) or cannot be made.
inline bool pty_link_make(const std::string &link, const std::string &slave, std::string *why)
{
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *why = link + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // A new link renamed over the old one: a patch polling the path never
    // finds it missing or half made.
    std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(slave.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        *why = "cannot make the link " + link + ": " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Removes `link` if it still points at `slave`: another board may have taken
// the path over since.
inline void pty_link_remove(const std::string &link, const std::string &slave)
{
    if (link.empty() || slave.empty())
        return;
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return;
    target[n] = '\0';
    if (slave == target)
        unlink(link.c_str());
}
