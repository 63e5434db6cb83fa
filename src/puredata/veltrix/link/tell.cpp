// What a board tells: why a connection attempt failed, what it has seen
// since it connected (`info`), and its connection state (`status`).
#include "tell.h"

#include <cctype>

void stats_on_connect(t_board_stats *s)
{
    bool ambiguity_told = s->ambiguity_told;
    *s = t_board_stats{};
    s->connected_at = clock_getlogicaltime();
    s->was_connected = true;
    s->ambiguity_told = ambiguity_told;
}

void Veltrix_board_write_failed(t_Veltrix *y)
{
    if (y->d.b.stats)
        y->d.b.stats->writes_failed++;
}

namespace {

const char *why_words(t_board_why why)
{
    switch (why) {
    case why_missing:
        return "no such port";
    case why_denied:
        return "access denied";
    case why_busy:
        return "busy, held by another program";
    case why_held:
        return "busy, held by another board of this patch";
    case why_not_serial:
        return "not a serial port";
    case why_no_match:
        return "no USB port matches";
    case why_usb_cannot:
        return "usb: names not resolved on this system";
    case why_settings:
        return "the port refused its settings";
    case why_timeouts:
        return "the port refused its timeouts";
    default:
        return "the system would not open it";
    }
}

} // namespace

// The reason a connection attempt failed, told when it is new for this run
// of failures: a cable left out then costs no more lines than before.
void board_failed(t_Veltrix *x, t_board_why why, const t_Veltrix *holder)
{
    t_board &b = x->d.b;
    t_board_stats *s = b.stats;
    if (!s)
        return;
    s->failed_attempts++;
    s->why = why;
    if (why == s->why_told)
        return;
    s->why_told = why;
    void *p = x;
    const char *name = b.port[0] ? b.port : b.tty;
    switch (why) {
    case why_missing:
        post("Veltrix_tick %p %s: no such port: is the board plugged in? 'ports' lists the ports "
             "present",
             p, name);
        break;
    case why_denied:
#if defined(_WIN32)
        post("Veltrix_tick %p %s: access denied: another program holds the port (the Arduino "
             "Serial Monitor?): close it",
             p, name);
#else
        post("Veltrix_tick %p %s: permission denied: add yourself to the port's group (on Linux "
             "usually dialout: sudo usermod -aG dialout $USER) and log in again",
             p, name);
#endif
        break;
    case why_busy:
        post("Veltrix_tick %p %s: busy: another program holds the port (the Arduino Serial "
             "Monitor?): close it",
             p, name);
        break;
    case why_held:
        post("Veltrix_tick %p %s: busy: [Veltrix open] %p of this patch holds it; one board "
             "object per port",
             p, name, static_cast<const void *>(holder));
        break;
    case why_not_serial:
        post("Veltrix_tick %p %s: not a serial port: 'ports' lists the ports present", p, name);
        break;
    case why_no_match:
        post("Veltrix_tick %p %s: no USB serial port matches: is the board plugged in? 'ports' "
             "shows each one's usb: name",
             p, name);
        break;
    case why_settings:
        post("Veltrix_tick %p %s: the port refused its settings: is %ld baud a rate it can do?", p,
             name, static_cast<long>(b.baudrate));
        break;
    case why_timeouts:
        post("Veltrix_tick %p %s: the port refused its timeouts: is it a serial port?", p, name);
        break;
    case why_usb_cannot:
        post("Veltrix_tick %p %s: usb: names need IOKit, which this build does not use on macOS: "
             "open the /dev/cu.* name that 'ports' lists",
             p, name);
        break;
    default:
        post("Veltrix_tick %p %s: the system would not open it", p, name);
        break;
    }
}

namespace {

// A tag as a console line can show it.
void shown_tag(char *out, const char *tag)
{
    size_t i = 0;
    for (; tag[i] && i + 1 < Veltrix_tag_size; i++) {
        auto c = static_cast<unsigned char>(tag[i]);
        out[i] = c >= 0x20 && c < 0x7F ? char(c) : '?';
    }
    out[i] = '\0';
}

// The receiver's tag that `tag` differs from only in case, if any.
const char *tag_in_other_case(const char *tag)
{
    for (auto *r : Veltrix.receivers) {
        if (!r)
            continue;
        const char *a = r->d.r.endpoint_tag, *b = tag;
        while (*a && *b &&
               tolower(static_cast<unsigned char>(*a)) == tolower(static_cast<unsigned char>(*b)))
            a++, b++;
        if (!*a && !*b)
            return r->d.r.endpoint_tag;
    }
    return nullptr;
}

bool tag_listened(const char *tag)
{
    for (auto *r : Veltrix.receivers) {
        if (r && !strcmp(r->d.r.endpoint_tag, tag))
            return true;
    }
    return false;
}

void board_info(t_Veltrix *x)
{
    const t_board &b = x->d.b;
    const t_board_stats *s = b.stats;
    void *p = x;
    bool usb = !strncmp(b.tty, "usb:", 4) && strcmp(b.tty, b.port);
    post("Veltrix_info %p port %s%s%s, %ld baud, polled every %g ms", p, b.tty,
         usb ? (b.port[0] ? " is " : ", not found yet") : "", usb ? b.port : "",
         static_cast<long>(b.baudrate), b.poll_interval);
    if (!s)
        return;
    if (b.connected)
        post("Veltrix_info %p connected for %.1f s", p, clock_gettimesince(s->connected_at) / 1000);
    else if (s->failed_attempts)
        post("Veltrix_info %p not connected: %lu attempts failed, the last: %s", p,
             static_cast<unsigned long>(s->failed_attempts), why_words(s->why));
    else
        post("Veltrix_info %p not connected%s", p,
             s->was_connected ? ": the connection was lost, the next attempt comes soon" : " yet");
    post("Veltrix_info %p since connecting: %llu bytes, %llu frames, %llu bytes skipped as noise",
         p, static_cast<unsigned long long>(s->bytes), static_cast<unsigned long long>(s->frames),
         static_cast<unsigned long long>(s->noise));
    for (int i = 0; i < s->tag_count; i++) {
        char tag[Veltrix_tag_size];
        shown_tag(tag, s->tags[i].tag);
        bool listened = tag_listened(s->tags[i].tag);
        const char *other_case = listened ? nullptr : tag_in_other_case(s->tags[i].tag);
        post("Veltrix_info %p tag '%s': %llu frames, last %g, %s%s%s%s", p, tag,
             static_cast<unsigned long long>(s->tags[i].count),
             static_cast<double>(s->tags[i].last), listened ? "received" : "no receiver listens",
             other_case ? "; a receiver listens to '" : "", other_case ? other_case : "",
             other_case ? "'" : "");
    }
    if (s->frames_untold)
        post("Veltrix_info %p and %llu frames under more tags than the %d kept", p,
             static_cast<unsigned long long>(s->frames_untold), board_tags_kept);
    post("Veltrix_info %p line errors: %s%s%s%s, %lu writes failed", p,
         s->line_error_reports ? "" : "none",
         s->line_error_kinds & serial_error_overrun ? " overrun" : "",
         s->line_error_kinds & serial_error_framing ? " framing" : "",
         s->line_error_kinds & serial_error_parity ? " parity" : "",
         static_cast<unsigned long>(s->writes_failed));
    // Bytes at another rate than the sketch's come out as noise and as tags
    // of characters no sketch sends, rarely as a frame that makes sense.
    uint64_t garbled = s->garbled_untold;
    for (int i = 0; i < s->tag_count; i++)
        garbled += printable(s->tags[i].tag) ? 0 : s->tags[i].count;
    if (s->noise >= 64 && s->frames == garbled)
        post("Veltrix_info %p hint: %llu bytes of noise and no frame that makes sense: the baud "
             "rate (%ld) may not match the sketch's",
             p, static_cast<unsigned long long>(s->noise), static_cast<long>(b.baudrate));
}

} // namespace

void Veltrix_info(t_Veltrix *x)
{
    void *p = x;
    switch (x->endpoint_type) {
    case ep_none:
        board_info(x);
        break;
    case ep_send:
    case ep_receive:
        post("Veltrix_info %p %s '%s': %lu values", p,
             x->endpoint_type == ep_send ? "send" : "receive", x->d.s.endpoint_tag,
             static_cast<unsigned long>(x->d.s.values));
        break;
    default:
        post("error: Veltrix: no method for 'info'");
    }
}

// `connected 1` or `connected 0` to the name `status` gave, when anything
// is bound to it. The message may delete the board: it comes last.
void board_tell_status(t_Veltrix *x)
{
    t_symbol *to = x->d.b.status_to;
    if (!to || !to->s_thing)
        return;
    t_atom state;
    SETFLOAT(&state, x->d.b.connected ? 1 : 0);
    pd_typedmess(to->s_thing, gensym("connected"), 1, &state);
}

void Veltrix_status(t_Veltrix *x, t_symbol *, int argc, t_atom *argv)
{
    if (x->endpoint_type != ep_none) {
        post("error: Veltrix: no method for 'status'");
        return;
    }
    if (argc >= 1 && argv->a_type != A_SYMBOL) {
        post("error: Veltrix: status needs a receive name, or nothing to stop");
        return;
    }
    t_board &b = x->d.b;
    b.status_to = argc >= 1 ? argv->a_w.w_symbol : nullptr;
    if (!b.status_to) {
        post("Veltrix_status %p %s: no longer told", static_cast<void *>(x), b.tty);
        return;
    }
    post("Veltrix_status %p %s: connected 0/1 to %s", static_cast<void *>(x), b.tty,
         b.status_to->s_name);
    board_tell_status(x);
}
