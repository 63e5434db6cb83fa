// A stand-in for the Pd host, for tests: the API functions the module calls,
// a console that records every posted line, outlets that record every value,
// and clocks that run in virtual time.
#pragma once

#include <m_pd.h>

#include <functional>
#include <string>
#include <vector>

namespace fakepd {

struct t_outlet_event {
    t_outlet *outlet;
    t_object *owner;
    double value;
};

// Deletes every object still alive, as closing its patch would, then forgets
// every clock, line and value, and sets time back to 0.
void reset();

// Every line posted since the last take, in order (post's own text, with no
// newline added).
std::vector<std::string> take_console();
const std::vector<std::string> &console();
// The object of the last pd_error that named one: what Pd's Find Last Error
// selects.
const void *last_error_object();

std::vector<t_outlet_event> take_outlets();
const std::vector<t_outlet_event> &outlets();
// Runs `fn` inside every outlet_float on `outlet`, after the value is
// recorded, as a patch connected to it would.
void on_float(t_outlet *outlet, std::function<void(t_float)> fn);

// Binds a receiver to a name, as [r name] does; every message sent to it is
// kept as "name: selector args..." until taken. unlisten unbinds it.
void listen(const char *name);
void unlisten(const char *name);
std::vector<std::string> take_messages();
// Runs `fn` with each message to a listened name before the listener keeps
// it, as an [r name] bound ahead of the listener would.
void on_message(const char *name, std::function<void(const std::string &)> fn);

// Virtual time in milliseconds; advance runs every clock due on the way, in
// time order and, at equal times, in the order they were set, as Pd does.
// While descriptors are registered (sys_addpollfn), Pd's check for input
// runs at every DSP tick (64 samples at 44.1 kHz) after the clocks due, and
// again at once while it calls one back, as Pd's loop does instead of
// sleeping: a descriptor that stays readable spins check_spins times a tick.
double now();
void advance(double ms);
constexpr int check_spins = 50;

// The check calls back each descriptor `ready` says is readable, walking the
// list by index as Pd before 0.51 does; the callbacks it made.
void descriptors_ready(bool (*ready)(int fd));
int check_descriptors();
struct t_check {
    int watched;        // descriptors registered now
    long calls;         // callbacks since the reset
    int changes_inside; // registrations and removals made inside a callback
};
t_check descriptor_check();
int scheduled_clocks();
int live_clocks();
int live_outlets();
int live_objects();

// Creation arguments; a number becomes a float atom, a string a symbol.
struct t_arg {
    t_arg(const char *s);
    t_arg(double f);
    t_atom atom;
};

// Loads the module's class by running its setup function.
void setup(void (*setup_fn)(void));
// Creates an object from its arguments as an object box would: null when
// the class's creation method gave none.
t_object *create(const std::vector<t_arg> &args);
// Deletes an object as Pd does: its free method, then its outlets and memory.
void destroy(t_object *x);
void bang(t_object *x);
void send_float(t_object *x, t_float f);
// A message of one selector and no arguments; false when the class has no
// method for it.
bool send_message(t_object *x, const char *selector);
// Sends a message with a selector the class took with A_GIMME; false when
// the class has no such method.
bool message(t_object *x, const char *selector, const std::vector<t_arg> &args);

// What setup registered.
t_class *last_class();
std::string class_name(t_class *c);
std::string help_symbol(t_class *c);
bool has_float_method(t_class *c);

} // namespace fakepd
