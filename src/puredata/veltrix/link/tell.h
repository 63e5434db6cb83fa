// What a board tells of itself: why a connection attempt failed, what it has
// seen since it connected (`info`) and its connection state (`status`).
// board.cpp counts as it connects and polls; tell.cpp tells.
#pragma once

#include "../Veltrix.h"

#include <cstring>

// Why a connection attempt failed: what the system said of the open, and
// what only the board can tell.
enum t_board_why : uint8_t {
    why_none = serial_open_ok,
    why_missing = serial_open_missing,
    why_denied = serial_open_denied,
    why_busy = serial_open_busy,
    why_not_serial = serial_open_not_serial,
    why_other = serial_open_other,
    why_held,       // another board in this Pd holds the port
    why_no_match,   // no port matches the usb: name
    why_usb_cannot, // this platform cannot resolve usb: names
    why_settings,   // the port opened but refused its settings
    why_timeouts,   // the port opened but refused its timeouts
};

constexpr int board_tags_kept = 16;

// What a board has seen since it last connected, and how connecting went.
struct t_board_stats {
    double connected_at;      // logical time of the last connection
    uint32_t failed_attempts; // since the last connection, or the start
    t_board_why why;          // of the last failed attempt
    t_board_why why_told;     // the reason told last in this run of failures
    const void *why_holder;   // the board that held the port, for why_held; only shown
    bool ambiguity_told;
    bool was_connected;
    char resolved_told[Veltrix_tty_size]; // the port a usb: name was last said to be
    uint64_t bytes;
    uint64_t noise; // bytes between frames that started none
    uint64_t frames;
    uint64_t frames_untold;  // frames under tags beyond the ones kept
    uint64_t garbled_untold; // of those, the frames whose tag holds what no sketch sends
    uint32_t line_error_reports;
    uint32_t line_error_kinds;
    uint32_t writes_failed;
    bool writes_failing; // the last write failed: quiet, a run of them is told once
    int tag_count;
    int tag_last; // the last frame's entry: the next frame's likely one
    struct {
        char tag[Veltrix_tag_size];
        uint64_t count;
        float last;
    } tags[board_tags_kept];
};

void stats_on_connect(t_board_stats *s);

inline bool printable(const char *tag)
{
    for (auto *c = reinterpret_cast<const unsigned char *>(tag); *c; c++) {
        if (*c < 0x20 || *c >= 0x7F)
            return false;
    }
    return true;
}

// Counted at every frame the poll reads, hence here, where the poll can
// inline it.
inline void stats_frame(t_board_stats *s, const char *tag, float value)
{
    s->frames++;
    int i = s->tag_last;
    if (i >= s->tag_count || strcmp(s->tags[i].tag, tag)) {
        for (i = 0; i < s->tag_count && strcmp(s->tags[i].tag, tag); i++) {
        }
        if (i == s->tag_count) {
            if (i == board_tags_kept) {
                s->frames_untold++;
                s->garbled_untold += !printable(tag);
                return;
            }
            memcpy(s->tags[i].tag, tag, Veltrix_tag_size);
            s->tag_count++;
        }
        s->tag_last = i;
    }
    s->tags[i].count++;
    s->tags[i].last = value;
}

// A failed attempt: the line of the `call` that failed, then the count and
// the reason; `holder` holds the port, for why_held. The repeats of a failure
// are routine lines.
void board_failed(t_Veltrix *x, const char *call, t_board_why why, const t_Veltrix *holder);

// Whether an attempt's first lines go out: each attempt's when the routine
// lines do, else the first of a run of failures'.
inline bool board_tells_attempt(const t_Veltrix *x)
{
    return Veltrix_routine_lines || !x->d.b.stats || x->d.b.stats->failed_attempts == 0;
}

// The connection state to the name `status` gave. May delete the board.
void board_tell_status(t_Veltrix *x);
