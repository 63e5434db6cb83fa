#define PD_CLASS_DEF // keep m_pd.h's convenience macros off our definitions
#include "fake_pd.h"

extern "C" {
#include <s_stuff.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

struct _class {
    t_symbol *name;
    t_newmethod newmethod;
    t_method freemethod;
    size_t size;
    int flags;
    t_method bangmethod;
    t_method floatmethod;
    t_symbol *help;
    std::map<std::string, t_method> methods; // selectors that take no argument
    std::map<t_symbol *, t_method> gimme;    // selectors taking A_GIMME
};

// Outlets and inlets hang in their owner's lists, as in Pd, so that code
// freeing an object by those lists frees what it made.
struct _outlet {
    t_object *owner;
    std::function<void(t_float)> hook;
    t_outlet *next;
};

struct _inlet {
    t_object *owner;
    t_inlet *next;
};

struct _clock {
    void *owner;
    t_method fn;
    bool set;
    double time;
    unsigned long long order;
};

t_symbol s_float = {"float", nullptr, nullptr};

// What [r name] stands for: a receiver that keeps what it gets.
struct t_listener {
    t_class *c;
    std::string name;
    std::function<void(const std::string &)> before; // an [r name] bound ahead of it
};
static _class listener_class;

namespace {

// Pd keeps every method as a function of no arguments and calls it with the
// arguments its class declared.
template <class To, class From> To fn_cast(From f)
{
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(f));
}

struct t_host {
    std::unordered_map<std::string, std::unique_ptr<t_symbol>> symbols; // keyed by their names
    std::vector<std::unique_ptr<_class>> classes;
    std::vector<std::string> console;
    const void *last_error = nullptr; // what Pd's Find Last Error would select
    std::vector<fakepd::t_outlet_event> outlets;
    std::map<t_outlet *, t_object *> live_outlets;
    std::map<t_clock *, bool> live_clocks;
    std::map<t_object *, size_t> live_objects;
    double now = 0;
    unsigned long long order = 0;
    std::vector<std::string> messages;
    std::map<std::string, t_listener *> listeners;
    struct t_watch {
        int fd;
        t_fdpollfn fn;
        void *ptr;
    };
    std::vector<t_watch> watched;
    bool (*ready)(int fd) = nullptr;
    int in_check = 0;
    fakepd::t_check check{};
    long long checked = 0; // the DSP tick of the last check advance ran
};

// Never destroyed, so that what tests leave alive at exit is still reachable.
t_host &host()
{
    static t_host *h = new t_host;
    return *h;
}

template <class T> void unlink_from(T *&list, T *x)
{
    for (T **p = &list; *p; p = &(*p)->next) {
        if (*p == x) {
            *p = x->next;
            return;
        }
    }
}

t_clock *next_due(double until)
{
    t_clock *best = nullptr;
    for (auto &[c, alive] : host().live_clocks) {
        if (!c->set || c->time > until)
            continue;
        if (!best || c->time < best->time || (c->time == best->time && c->order < best->order))
            best = c;
    }
    return best;
}

} // namespace

// ---- the Pd API, as the module sees it ----

t_symbol *gensym(const char *s)
{
    if (!strcmp(s, "float"))
        return &s_float;
    auto it = host().symbols.find(s);
    if (it == host().symbols.end()) {
        it = host().symbols.emplace(s, std::make_unique<t_symbol>()).first;
        it->second->s_name = it->first.c_str(); // the key lives as long as the symbol
    }
    return it->second.get();
}

t_class *class_new(t_symbol *name, t_newmethod newmethod, t_method freemethod, size_t size,
                   int flags, t_atomtype, ...)
{
    auto c = std::make_unique<_class>();
    *c = _class{name, newmethod, freemethod, size, flags, nullptr, nullptr, nullptr, {}, {}};
    host().classes.push_back(std::move(c));
    return host().classes.back().get();
}

void class_addbang(t_class *c, t_method fn)
{
    c->bangmethod = fn;
}

void class_addmethod(t_class *c, t_method fn, t_symbol *sel, t_atomtype arg1, ...)
{
    if (sel == &s_float && arg1 == A_FLOAT)
        c->floatmethod = fn;
    else if (arg1 == A_NULL)
        c->methods[sel->s_name] = fn;
    else if (arg1 == A_GIMME)
        c->gimme[sel] = fn;
}

void class_sethelpsymbol(t_class *c, t_symbol *s)
{
    c->help = s;
}

t_pd *pd_new(t_class *c)
{
    auto *x = static_cast<t_pd *>(calloc(1, c->size));
    *x = c;
    host().live_objects[reinterpret_cast<t_object *>(x)] = c->size;
    return x;
}

void freebytes(void *x, size_t nbytes)
{
    auto &objs = host().live_objects;
    auto it = objs.find(static_cast<t_object *>(x));
    if (it != objs.end()) {
        if (it->second != nbytes)
            fprintf(stderr, "fakepd: freebytes of %zu bytes on an object of %zu\n", nbytes,
                    it->second);
        objs.erase(it);
    }
    free(x);
}

void *getbytes(size_t nbytes)
{
    return calloc(1, nbytes ? nbytes : 1);
}

void pd_typedmess(t_pd *x, t_symbol *s, int argc, t_atom *argv)
{
    if (*x != &listener_class) {
        fprintf(stderr, "fakepd: pd_typedmess to something that is no listener\n");
        return;
    }
    std::string m = reinterpret_cast<t_listener *>(x)->name + ": " + s->s_name;
    for (int i = 0; i < argc; i++) {
        char word[64];
        if (argv[i].a_type == A_FLOAT)
            snprintf(word, sizeof word, " %g", static_cast<double>(argv[i].a_w.w_float));
        else
            snprintf(word, sizeof word, " %s", argv[i].a_w.w_symbol->s_name);
        m += word;
    }
    auto *l = reinterpret_cast<t_listener *>(x);
    if (l->before) {
        auto before = l->before; // it may unbind the listener
        before(m);
    }
    host().messages.push_back(m);
}

t_outlet *outlet_new(t_object *owner, t_symbol *)
{
    auto *o = new _outlet{owner, nullptr, nullptr};
    t_outlet **end = &owner->te_outlet;
    while (*end)
        end = &(*end)->next;
    *end = o;
    host().live_outlets[o] = owner;
    return o;
}

void outlet_free(t_outlet *x)
{
    unlink_from(x->owner->te_outlet, x);
    host().live_outlets.erase(x);
    delete x;
}

void inlet_free(t_inlet *x)
{
    unlink_from(x->owner->te_inlet, x);
    delete x;
}

void outlet_float(t_outlet *x, t_float f)
{
    host().outlets.push_back({x, x->owner, f});
    if (x->hook) {
        auto hook = x->hook; // the hook may delete this outlet
        hook(f);
    }
}

t_clock *clock_new(void *owner, t_method fn)
{
    auto *c = new _clock{owner, fn, false, 0, 0};
    host().live_clocks[c] = true;
    return c;
}

void clock_delay(t_clock *x, double delaytime)
{
    x->set = true;
    x->time = host().now + (delaytime > 0 ? delaytime : 0);
    x->order = host().order++;
}

double clock_getlogicaltime(void)
{
    return host().now;
}

double clock_gettimesince(double prevsystime)
{
    return host().now - prevsystime;
}

void sys_addpollfn(int fd, t_fdpollfn fn, void *ptr)
{
    host().watched.push_back({fd, fn, ptr});
    host().check.changes_inside += host().in_check;
}

void sys_rmpollfn(int fd)
{
    auto &w = host().watched;
    w.erase(std::remove_if(w.begin(), w.end(), [fd](auto &e) { return e.fd == fd; }), w.end());
    host().check.changes_inside += host().in_check;
}

void clock_unset(t_clock *x)
{
    x->set = false;
}

void clock_free(t_clock *x)
{
    host().live_clocks.erase(x);
    delete x;
}

t_symbol *atom_getsymbol(const t_atom *a)
{
    return a->a_type == A_SYMBOL ? a->a_w.w_symbol : &s_float;
}

// Numbers as Pd prints them; symbols as they are (Pd's own escaping left out).
void atom_string(const t_atom *a, char *buf, unsigned int bufsize)
{
    if (a->a_type == A_FLOAT)
        snprintf(buf, bufsize, "%g", double(a->a_w.w_float));
    else
        snprintf(buf, bufsize, "%s", atom_getsymbol(a)->s_name);
}

t_float atom_getfloat(const t_atom *a)
{
    return a->a_type == A_FLOAT ? a->a_w.w_float : 0;
}

void post(const char *fmt, ...)
{
    char line[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    host().console.emplace_back(line);
    if (getenv("FAKEPD_ECHO"))
        fprintf(stderr, "%s\n", line);
}

// Kept as Pd without its GUI prints it, "error: " first.
void pd_error(const void *object, const char *fmt, ...)
{
    char line[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    post("error: %s", line);
    if (object)
        host().last_error = object;
}

// ---- the test side ----

namespace fakepd {

void reset()
{
    auto &h = host();
    // Closing the patch: every object still alive goes through its free method.
    while (!h.live_objects.empty())
        destroy(h.live_objects.begin()->first);
    // Pd's next tick: what the objects' freeing left to a clock.
    advance(0);
    for (auto &[o, owner] : h.live_outlets)
        delete o;
    h.live_outlets.clear();
    for (auto &[c, alive] : h.live_clocks)
        delete c;
    h.live_clocks.clear();
    h.console.clear();
    h.last_error = nullptr;
    h.outlets.clear();
    h.now = 0;
    h.watched.clear();
    h.ready = nullptr;
    h.check = {};
    h.checked = 0;
    while (!h.listeners.empty())
        unlisten(h.listeners.begin()->first.c_str());
    h.messages.clear();
}

void listen(const char *name)
{
    unlisten(name);
    auto *l = new t_listener{&listener_class, name, nullptr};
    host().listeners[name] = l;
    gensym(name)->s_thing = reinterpret_cast<t_pd *>(l);
}

void unlisten(const char *name)
{
    auto it = host().listeners.find(name);
    if (it == host().listeners.end())
        return;
    gensym(name)->s_thing = nullptr;
    delete it->second;
    host().listeners.erase(it);
}

void on_message(const char *name, std::function<void(const std::string &)> fn)
{
    host().listeners.at(name)->before = std::move(fn);
}

std::vector<std::string> take_messages()
{
    return std::exchange(host().messages, {});
}

std::vector<std::string> take_console()
{
    return std::exchange(host().console, {});
}

const std::vector<std::string> &console()
{
    return host().console;
}

const void *last_error_object()
{
    return host().last_error;
}

std::vector<t_outlet_event> take_outlets()
{
    return std::exchange(host().outlets, {});
}

const std::vector<t_outlet_event> &outlets()
{
    return host().outlets;
}

void on_float(t_outlet *outlet, std::function<void(t_float)> fn)
{
    outlet->hook = std::move(fn);
}

double now()
{
    return host().now;
}

void descriptors_ready(bool (*ready)(int fd))
{
    host().ready = ready;
}

int check_descriptors()
{
    auto &h = host();
    int calls = 0;
    h.in_check++;
    for (size_t i = 0; i < h.watched.size(); i++) {
        auto w = h.watched[i];
        if (h.ready && h.ready(w.fd)) {
            w.fn(w.ptr, w.fd);
            calls++;
        }
    }
    h.in_check--;
    h.check.calls += calls;
    return calls;
}

t_check descriptor_check()
{
    host().check.watched = static_cast<int>(host().watched.size());
    return host().check;
}

void advance(double ms)
{
    constexpr double tick = 64 * 1000 / 44100.0;
    auto &h = host();
    double until = h.now + ms;
    for (;;) {
        long long k = std::max(h.checked, static_cast<long long>(std::floor(h.now / tick))) + 1;
        double check_at = h.watched.empty() ? until + 1 : k * tick;
        if (t_clock *c = next_due(std::min(until, check_at))) {
            c->set = false;
            h.now = c->time;
            fn_cast<void (*)(void *)>(c->fn)(c->owner);
        } else if (check_at <= until) {
            h.now = check_at;
            h.checked = k;
            for (int i = 0; i < check_spins && check_descriptors(); i++) {
            }
        } else
            break;
    }
    h.now = until;
}

int scheduled_clocks()
{
    int n = 0;
    for (auto &[c, alive] : host().live_clocks)
        n += c->set;
    return n;
}

int live_clocks()
{
    return static_cast<int>(host().live_clocks.size());
}

int live_outlets()
{
    return static_cast<int>(host().live_outlets.size());
}

int live_objects()
{
    return static_cast<int>(host().live_objects.size());
}

t_arg::t_arg(const char *s) : atom{}
{
    SETSYMBOL(&atom, gensym(s));
}

t_arg::t_arg(double f) : atom{}
{
    SETFLOAT(&atom, static_cast<t_float>(f));
}

void setup(void (*setup_fn)(void))
{
    setup_fn();
}

t_class *last_class()
{
    return host().classes.empty() ? nullptr : host().classes.back().get();
}

std::string class_name(t_class *c)
{
    return c->name->s_name;
}

std::string help_symbol(t_class *c)
{
    return c->help ? c->help->s_name : "";
}

bool has_float_method(t_class *c)
{
    return c->floatmethod != nullptr;
}

t_object *create(const std::vector<t_arg> &args)
{
    std::vector<t_atom> atoms;
    for (auto &a : args)
        atoms.push_back(a.atom);
    auto gimme = fn_cast<void *(*)(t_symbol *, int, t_atom *)>(last_class()->newmethod);
    return static_cast<t_object *>(
        gimme(last_class()->name, static_cast<int>(atoms.size()), atoms.data()));
}

void destroy(t_object *x)
{
    t_class *c = x->ob_pd;
    if (c->freemethod)
        fn_cast<void (*)(void *)>(c->freemethod)(x);
    while (x->te_outlet)
        outlet_free(x->te_outlet);
    while (x->te_inlet)
        inlet_free(x->te_inlet);
    freebytes(x, c->size);
}

void bang(t_object *x)
{
    fn_cast<void (*)(void *)>(x->ob_pd->bangmethod)(x);
}

void send_float(t_object *x, t_float f)
{
    fn_cast<void (*)(void *, t_floatarg)>(x->ob_pd->floatmethod)(x, f);
}

bool send_message(t_object *x, const char *selector)
{
    auto &methods = x->ob_pd->methods;
    auto it = methods.find(selector);
    if (it == methods.end())
        return false;
    fn_cast<void (*)(void *)>(it->second)(x);
    return true;
}

bool message(t_object *x, const char *selector, const std::vector<t_arg> &args)
{
    auto &methods = x->ob_pd->gimme;
    auto it = methods.find(gensym(selector));
    if (it == methods.end())
        return false;
    std::vector<t_atom> atoms;
    for (auto &a : args)
        atoms.push_back(a.atom);
    fn_cast<void (*)(void *, t_symbol *, int, t_atom *)>(it->second)(
        x, it->first, static_cast<int>(atoms.size()), atoms.data());
    return true;
}

} // namespace fakepd
