// What a board tells: why a connection attempt failed, what it has seen
// since it connected (`info`), and its connection state (`status`).
#include "tell.h"

#include <cctype>
#include <cstdio>

void stats_on_connect(t_board_stats *s)
{
    bool ambiguity_told = s->ambiguity_told;
    *s = t_board_stats{};
    s->connected_at = clock_getlogicaltime();
    s->was_connected = true;
    s->ambiguity_told = ambiguity_told;
}

bool Veltrix_board_wrote(t_Veltrix *y, bool ok)
{
    t_board_stats *s = y->d.b.stats;
    if (!s)
        return !ok;
    bool first = !s->writes_failing;
    s->writes_failing = !ok;
    s->writes_failed += !ok;
    return !ok && (Veltrix_routine_lines || first);
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
        return "busy, held by another board in this Pd";
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

// The reason in words, with what to do about it: the tick tells it, `info`
// tells it again.
void reason_text(char *out, size_t size, const t_Veltrix *x, t_board_why why, const void *holder)
{
    switch (why) {
    case why_missing:
        snprintf(out, size,
                 "no such port: is the board plugged in? 'ports' lists the ports present");
        break;
    case why_denied:
#if defined(_WIN32)
        snprintf(out, size,
                 "access denied: another program holds the port (the Arduino Serial Monitor?): "
                 "close it");
#else
        snprintf(out, size,
                 "permission denied: add yourself to the port's group (on Linux usually dialout: "
                 "sudo usermod -aG dialout $USER) and log in again");
#endif
        break;
    case why_busy:
        snprintf(out, size,
                 "busy: another program holds the port (the Arduino Serial Monitor?): close it");
        break;
    case why_held:
        snprintf(out, size,
                 "busy: [Veltrix open] %p in this Pd holds it; one board object per port", holder);
        break;
    case why_not_serial:
        snprintf(out, size, "not a serial port: 'ports' lists the ports present");
        break;
    case why_no_match:
        snprintf(out, size,
                 "no USB serial port matches: is the board plugged in? 'ports' shows each one's "
                 "usb: name");
        break;
    case why_settings:
        snprintf(out, size, "the port refused its settings: is %ld baud a rate it can do?",
                 static_cast<long>(x->d.b.baudrate));
        break;
    case why_timeouts:
        snprintf(out, size, "the port refused its timeouts: is it a serial port?");
        break;
    case why_usb_cannot:
        snprintf(out, size,
                 "usb: names need IOKit, which could not be loaded: open the "
                 "/dev/cu.* name that 'ports' lists");
        break;
    default:
        snprintf(out, size, "the system would not open it");
        break;
    }
}

const char *port_shown(const t_board &b)
{
    return b.port[0] ? b.port : b.tty;
}

} // namespace

// The reason a connection attempt failed, told when it is new for this run
// of failures: a cable left out then costs no more lines than before, and
// `info` tells it again for whoever missed it.
void board_failed(t_Veltrix *x, const char *call, t_board_why why, const t_Veltrix *holder)
{
    t_board_stats *s = x->d.b.stats;
    bool news = !s || why != s->why_told;
    if (Veltrix_routine_lines || news)
        post("Veltrix_tick %p %s(%s) failed", static_cast<void *>(x), call, x->d.b.tty);
    if (!s)
        return;
    s->failed_attempts++;
    s->why = why;
    s->why_holder = holder;
    if (!news)
        return;
    s->why_told = why;
    char reason[256];
    reason_text(reason, sizeof reason, x, why, holder);
    pd_error(x, "Veltrix_tick %p %s: %s ('info' tells it again)", static_cast<void *>(x),
             port_shown(x->d.b), reason);
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
    char read[40] = "read as bytes arrive";
    if (b.poll_interval > 0)
        snprintf(read, sizeof read, "polled every %g ms", b.poll_interval);
    post("Veltrix_info %p port %s%s%s, %ld baud, %s", p, b.tty,
         usb ? (b.port[0] ? " is " : ", not found yet") : "", usb ? b.port : "",
         static_cast<long>(b.baudrate), read);
    if (!s)
        return;
    if (b.connected)
        post("Veltrix_info %p connected for %.1f s", p, clock_gettimesince(s->connected_at) / 1000);
    else if (s->failed_attempts) {
        post("Veltrix_info %p not connected: %lu attempts failed, the last: %s", p,
             static_cast<unsigned long>(s->failed_attempts), why_words(s->why));
        char reason[256];
        reason_text(reason, sizeof reason, x, s->why, s->why_holder);
        post("Veltrix_info %p %s: %s", p, port_shown(b), reason);
    } else
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
    post("Veltrix_info %p line errors:%s%s%s%s, %lu writes failed", p,
         s->line_error_reports ? "" : " none",
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
        pd_error(x, "Veltrix: no method for 'info'");
    }
}

namespace {

// A `connected` message sent while another is delivered waits for that
// delivery to end: a board deleted by what `connected 1` set off must not
// have its `connected 0` reach the later receivers of the name before the 1.
struct t_told {
    t_symbol *to;
    bool connected;
    t_told *next;
};
bool delivering;
t_told *waiting_first, *waiting_last;

void deliver_connected(t_symbol *to, bool connected)
{
    if (!to->s_thing)
        return;
    t_atom state;
    SETFLOAT(&state, connected ? 1 : 0);
    pd_typedmess(to->s_thing, gensym("connected"), 1, &state);
}

} // namespace

void Veltrix_tell_connected(t_symbol *to, bool connected)
{
    if (!to)
        return;
    if (delivering) {
        auto *t = static_cast<t_told *>(getbytes(sizeof(t_told)));
        if (!t)
            return;
        *t = {to, connected, nullptr};
        (waiting_last ? waiting_last->next : waiting_first) = t;
        waiting_last = t;
        return;
    }
    delivering = true;
    deliver_connected(to, connected);
    while (t_told *t = waiting_first) {
        waiting_first = t->next;
        if (!waiting_first)
            waiting_last = nullptr;
        t_told told = *t;
        freebytes(t, sizeof(t_told));
        deliver_connected(told.to, told.connected);
    }
    delivering = false;
}

// The message may delete the board: it comes last.
void board_tell_status(t_Veltrix *x)
{
    Veltrix_tell_connected(x->d.b.status_to, x->d.b.connected);
}

void Veltrix_status(t_Veltrix *x, t_symbol *, int argc, t_atom *argv)
{
    if (x->endpoint_type != ep_none) {
        pd_error(x, "Veltrix: no method for 'status'");
        return;
    }
    if (argc >= 1 && argv->a_type != A_SYMBOL) {
        pd_error(x, "Veltrix: status needs a receive name, or nothing to stop");
        return;
    }
    t_board &b = x->d.b;
    b.status_to = argc >= 1 ? argv->a_w.w_symbol : nullptr;
    if (!b.status_to) {
        post("Veltrix_status %p %s: stopped sending 'connected'", static_cast<void *>(x), b.tty);
        return;
    }
    post("Veltrix_status %p %s: sends 'connected 1' or 'connected 0' to %s", static_cast<void *>(x),
         b.tty, b.status_to->s_name);
    board_tell_status(x);
}
