"""Pd's API, as a module may bind to it: what m_pd.h declares (its EXTERN
functions and data), and the two functions of s_stuff.h that watch a
descriptor, which every Pd exports too."""
import re

DESCRIPTOR_WATCH = {"sys_addpollfn", "sys_rmpollfn"}


def pd_api(m_pd_h):
    declared = set(DESCRIPTOR_WATCH)
    for stmt in re.findall(r"\bEXTERN\b([^;]*);", open(m_pd_h).read()):
        if "(" in stmt:
            declared.update(re.findall(r"(\w+)\s*\(", stmt)[:1])
        else:
            declared.update(re.findall(r"\w+", part)[-1] for part in stmt.split(",") if part.strip())
    return declared
