#include "Veltrix.h"

#include <cstring>

t_Veltrix_registry Veltrix;
t_class *Veltrix_class;

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
    post("Veltrix_new 'open' %p", static_cast<void *>(x));
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
    post(receiver ? "Veltrix_new 'receive' %p" : "Veltrix_new 'send' %p", static_cast<void *>(x));
    x->endpoint_type = type;
    t_endpoint &e = receiver ? x->d.r : x->d.s;
    copy_name(e.endpoint_tag, sizeof e.endpoint_tag, argv + 1);
    e.f_out = outlet_new(&x->x_obj, &s_float);
    if (receiver && !claim(Veltrix.receivers, x))
        return discard(x);
    return true;
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
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_poll), gensym("poll"), A_GIMME,
                    0);
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_info), gensym("info"), A_NULL);
    class_addmethod(Veltrix_class, Veltrix_method<t_method>(Veltrix_status), gensym("status"),
                    A_GIMME, 0);
    class_sethelpsymbol(Veltrix_class, gensym("help-Veltrix"));
    post("Veltrix_setup end");
}

void *Veltrix_new(t_symbol *, int argc, t_atom *argv)
{
    post("Veltrix_new start");
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
    post("Veltrix_new end");
    return x;
}

void Veltrix_free(t_Veltrix *x)
{
    post("Veltrix_free %p", static_cast<void *>(x));
    for (int i = 0; i < Veltrix_max_boards; i++) {
        if (Veltrix.boards[i] == x) {
            Veltrix_board_stop(x);
            post("Veltrix_free Veltrix.boards[%d] = NULL", i);
            Veltrix.boards[i] = nullptr;
        }
    }
    for (int i = 0; i < Veltrix_max_receivers; i++) {
        if (Veltrix.receivers[i] == x) {
            post("Veltrix_free Veltrix.receivers[%d] = NULL", i);
            Veltrix.receivers[i] = nullptr;
        }
    }
}

void Veltrix_bang(t_Veltrix *x)
{
    post("Veltrix_bang!");
    if (x->endpoint_type != ep_none)
        post("error: Veltrix: no method for 'bang'");
}
