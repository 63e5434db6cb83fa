#include "Veltrix.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

t_Veltrix_registry Veltrix;
t_class *Veltrix_class;
bool Veltrix_routine_lines = true;

void Veltrix_routine(const char *fmt, ...)
{
    if (!Veltrix_routine_lines)
        return;
    char line[MAXPDSTRING];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    post("%s", line);
}

namespace {

// Copies at most size - 1 characters and always terminates.
void copy_cut(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// A name given as a number (`[Veltrix send 7]`) is its text as Pd prints it:
// the symbol of a float atom is "float", which would make every number tag the
// same tag.
void copy_name(char *dst, size_t size, const t_atom *a)
{
    if (a->a_type != A_FLOAT) {
        copy_cut(dst, size, atom_getsymbol(a)->s_name);
        return;
    }
    char text[MAXPDSTRING];
    atom_string(a, text, sizeof text);
    copy_cut(dst, size, text);
}

template <size_t N> bool claim(t_Veltrix *(&table)[N], t_Veltrix *x)
{
    for (auto &slot : table) {
        if (!slot) {
            slot = x;
            return true;
        }
    }
    return false;
}

// A creation that found its table full hands the instance back to Pd the way
// pd_free would, but without running Veltrix_free: the object never existed.
// Its own lists say which inlets and outlets it made.
bool discard(t_Veltrix *x)
{
    while (x->x_obj.ob_outlet)
        outlet_free(x->x_obj.ob_outlet);
    while (x->x_obj.ob_inlet)
        inlet_free(x->x_obj.ob_inlet);
    freebytes(x, sizeof(t_Veltrix));
    return false;
}

bool new_board(t_Veltrix *x, int argc, t_atom *argv)
{
    Veltrix_routine("Veltrix_new 'open' %p", static_cast<void *>(x));
    if (!claim(Veltrix.boards, x))
        return discard(x);
    x->endpoint_type = ep_none;
    copy_name(x->d.b.tty, sizeof x->d.b.tty, argv + 1);
    x->d.b.baudrate = argc >= 3 ? Veltrix_baudrate(atom_getfloat(argv + 2)) : 115200;
    x->d.b.connected = 0;
    Veltrix_board_start(x);
    return true;
}

bool new_endpoint(t_Veltrix *x, t_endpoint_type type, t_atom *argv)
{
    bool receiver = type == ep_receive;
    Veltrix_routine(receiver ? "Veltrix_new 'receive' %p" : "Veltrix_new 'send' %p",
                    static_cast<void *>(x));
    x->endpoint_type = type;
    t_endpoint &e = receiver ? x->d.r : x->d.s;
    copy_name(e.endpoint_tag, sizeof e.endpoint_tag, argv + 1);
    e.f_out = outlet_new(&x->x_obj, &s_float);
    if (receiver && !claim(Veltrix.receivers, x))
        return discard(x);
    return true;
}

// What was typed in the box, as Pd shows it, for a line that names it; a
// box too long for `size` ends in "...]".
void box_text(char *out, size_t size, int argc, const t_atom *argv)
{
    size_t n = 0;
    bool cut = false;
    auto add = [&](const char *text) {
        size_t len = strlen(text), room = size - 1 - n;
        cut = cut || len > room;
        len = len < room ? len : room;
        memcpy(out + n, text, len);
        n += len;
    };
    add("[Veltrix");
    for (int i = 0; i < argc; i++) {
        char word[MAXPDSTRING];
        atom_string(argv + i, word, sizeof word);
        add(" ");
        add(word);
    }
    add("]");
    out[n] = '\0';
    if (cut)
        memcpy(out + size - 5, "...]", 5);
}

// Whether `s` names a kind of object; in any case when `any_case`.
bool names_a_kind(const char *s, bool any_case)
{
    for (const char *kind : {"open", "send", "receive"}) {
        size_t i = 0;
        while (s[i] && kind[i] &&
               (any_case ? tolower(static_cast<unsigned char>(s[i])) == kind[i] : s[i] == kind[i]))
            i++;
        if (!s[i] && !kind[i])
            return true;
    }
    return false;
}

// Which part of the box is wrong, after the line that says only that one is.
void tell_wrong_arguments(t_Veltrix *x, int argc, const t_atom *argv)
{
    char box[160];
    box_text(box, sizeof box, argc, argv);
    if (argc == 0) {
        pd_error(x, "Veltrix: [Veltrix] needs open, send or receive, as in [Veltrix open "
                    "/dev/ttyACM0], [Veltrix send led] or [Veltrix receive knob]");
        return;
    }
    char command[MAXPDSTRING];
    atom_string(argv, command, sizeof command);
    bool word = argv->a_type == A_SYMBOL;
    if (!word || !names_a_kind(command, false)) {
        bool other_case = word && names_a_kind(command, true);
        pd_error(x, "Veltrix: %s: '%s' is not open, send or receive%s", box, command,
                 other_case ? " (they are written in lower case)" : "");
    } else if (!strcmp(command, "open"))
        pd_error(x,
                 "Veltrix: %s needs a port name, as in [Veltrix open /dev/ttyACM0] or "
                 "[Veltrix open COM3]; 'ports' lists the ports present",
                 box);
    else if (argc == 1)
        pd_error(x, "Veltrix: %s needs a tag, as in [Veltrix %s %s]", box, command,
                 command[0] == 's' ? "led" : "knob");
    else
        pd_error(x, "Veltrix: %s takes one tag, a single word, as in [Veltrix %s %s]", box, command,
                 command[0] == 's' ? "led" : "knob");
}

// A word where the rate goes reads as 0, which no port takes: said where the
// mistake is, and not only in the failures of every attempt.
void tell_rate_word(t_Veltrix *x, int argc, const t_atom *argv)
{
    if (argc < 3 || argv[2].a_type == A_FLOAT)
        return;
    char rate[MAXPDSTRING];
    atom_string(argv + 2, rate, sizeof rate);
    pd_error(x,
             "Veltrix: '%s' is not a baud rate, so 0 is tried; give a number, as in "
             "[Veltrix open %s 115200]",
             rate, x->d.b.tty);
}

} // namespace

int32_t Veltrix_baudrate(double rate)
{
    // Comparisons first: converting an out-of-range or NaN double is undefined.
    if (!(rate > -2147483649.0 && rate < 2147483648.0))
        return INT32_MIN;
    return static_cast<int32_t>(rate);
}

extern "C" void Veltrix_setup(void)
{
    post("Veltrix_setup start");
    memset(&Veltrix, 0, sizeof Veltrix);
    Veltrix_routine_lines = true;
    Veltrix_class =
        class_new(gensym("Veltrix"), Veltrix_method<t_newmethod>(Veltrix_new),
                  Veltrix_method<t_method>(Veltrix_free), sizeof(t_Veltrix), 0, A_GIMME, 0);
    // Pd refuses a module built for the other float size, and says so.
    if (!Veltrix_class) {
        post("Veltrix_setup class_new failed");
        return;
    }
    class_addbang(Veltrix_class, Veltrix_method<t_method>(Veltrix_bang));
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_ports), gensym("ports"),
                    A_NULL);
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_send_float), gensym("float"),
                    A_FLOAT, 0);
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_list), gensym("list"), A_GIMME,
                    0);
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_poll), gensym("poll"), A_GIMME,
                    0);
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_info), gensym("info"), A_NULL);
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_status), gensym("status"),
                    A_GIMME, 0);
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_verbose), gensym("verbose"),
                    A_GIMME, 0);
    class_sethelpsymbol(Veltrix_class, gensym("help-Veltrix"));
    post("Veltrix_setup end");
}

void *Veltrix_new(t_symbol *, int argc, t_atom *argv)
{
    Veltrix_routine("Veltrix_new start");
    auto *x = reinterpret_cast<t_Veltrix *>(pd_new(Veltrix_class));
    if (!x)
        return nullptr;
    // With no argument there is no command, and no name is compared.
    const char *command = argc >= 1 ? atom_getsymbol(argv)->s_name : "";
    bool made;
    if (argc > 1 && !strcmp(command, "open"))
        made = new_board(x, argc, argv);
    else if (argc == 2 && !strcmp(command, "send"))
        made = new_endpoint(x, ep_send, argv);
    else if (argc == 2 && !strcmp(command, "receive"))
        made = new_endpoint(x, ep_receive, argv);
    else {
        post("error: Veltrix: unknown or missing arguments: <open|send|receive> [...]");
        x->endpoint_type = ep_invalid;
        made = true;
    }
    if (!made)
        return nullptr;
    Veltrix_routine("Veltrix_new end");
    // What to mend comes after the creation lines, which stay one block.
    if (x->endpoint_type == ep_invalid)
        tell_wrong_arguments(x, argc, argv);
    else if (x->endpoint_type == ep_none)
        tell_rate_word(x, argc, argv);
    return x;
}

void Veltrix_free(t_Veltrix *x)
{
    Veltrix_routine("Veltrix_free %p", static_cast<void *>(x));
    // A connected board going away is a board no longer connected, for
    // whatever shows its `status`.
    t_symbol *tell_gone = nullptr;
    for (int i = 0; i < Veltrix_max_boards; i++) {
        if (Veltrix.boards[i] == x) {
            if (x->d.b.connected)
                tell_gone = x->d.b.status_to;
            Veltrix_board_stop(x);
            Veltrix_routine("Veltrix_free Veltrix.boards[%d] = NULL", i);
            Veltrix.boards[i] = nullptr;
        }
    }
    for (int i = 0; i < Veltrix_max_receivers; i++) {
        if (Veltrix.receivers[i] == x) {
            Veltrix_routine("Veltrix_free Veltrix.receivers[%d] = NULL", i);
            Veltrix.receivers[i] = nullptr;
        }
    }
    // Last, with the board out of every table: the message may run any part
    // of the patch.
    if (tell_gone)
        Veltrix_tell_connected(tell_gone, false);
}

void Veltrix_bang(t_Veltrix *x)
{
    post("Veltrix_bang!");
    if (x->endpoint_type != ep_none)
        post("error: Veltrix: no method for 'bang'");
}

void Veltrix_verbose(t_Veltrix *x, t_symbol *, int argc, t_atom *argv)
{
    if (argc < 1 || argv->a_type != A_FLOAT) {
        pd_error(x, "Veltrix: verbose needs 0 (routine lines off) or 1 (on)");
        return;
    }
    Veltrix_routine_lines = argv->a_w.w_float != 0;
    if (Veltrix_routine_lines)
        post("Veltrix_verbose %p 1: every line again", static_cast<void *>(x));
    else
        post("Veltrix_verbose %p 0: for every Veltrix object in this Pd, no more lines for each "
             "value sent, each repeated connection attempt or failed write, creating and freeing; "
             "errors and answers still come ('verbose 1' brings them back)",
             static_cast<void *>(x));
}
