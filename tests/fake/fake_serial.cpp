#include "fake_serial.h"

#include <map>
#include <memory>
#include <set>

struct t_serial {
    std::string name;
    int fd;
};

namespace {

int64_t virtual_us = 0;
int next_fd = 100;

std::map<std::string, std::unique_ptr<fakeserial::t_device>> &devices()
{
    static std::map<std::string, std::unique_ptr<fakeserial::t_device>> d;
    return d;
}

// Handles the module still holds when a test resets.
std::set<t_serial *> &handles()
{
    static std::set<t_serial *> h;
    return h;
}

// Names that lead to another: name -> target.
std::map<std::string, std::string> &links()
{
    static std::map<std::string, std::string> l;
    return l;
}

fakeserial::t_device *find(const std::string &name)
{
    auto link = links().find(name);
    auto it = devices().find(link == links().end() ? name : link->second);
    return it == devices().end() ? nullptr : it->second.get();
}

fakeserial::t_device *dev(t_serial *port)
{
    return find(port->name);
}

// The port's device, unless it is gone or the test makes `op` fail.
fakeserial::t_device *working(t_serial *port, fakeserial::t_op op)
{
    auto *d = dev(port);
    return d && !d->fail[op] ? d : nullptr;
}

} // namespace

t_serial *serial_open(const char *name, t_serial_open_error *why)
{
    t_serial_open_error ignored;
    if (!why)
        why = &ignored;
    auto *d = find(name);
    *why = !d                             ? serial_open_missing
           : d->open                      ? d->held_error
           : d->fail[fakeserial::op_open] ? d->open_error
                                          : serial_open_ok;
    if (*why != serial_open_ok)
        return nullptr;
    d->open = true;
    d->opens++;
    d->state.baudrate = 9600;
    d->state.bytesize = 7;
    d->state.stopbits = 2;
    d->state.parity = 2;
    d->state.platform[0] = 0x5A; // a setting the module must leave as found
    auto *port = new t_serial{name, next_fd++};
    handles().insert(port);
    return port;
}

int serial_getstate(t_serial *port, t_commstate *state)
{
    auto *d = working(port, fakeserial::op_getstate);
    if (d)
        *state = d->state;
    return d != nullptr;
}

int serial_setstate(t_serial *port, const t_commstate *state)
{
    auto *d = working(port, fakeserial::op_setstate);
    if (d)
        d->state = *state;
    return d != nullptr;
}

int serial_gettimeouts(t_serial *port, t_commtimeouts *timeouts)
{
    auto *d = working(port, fakeserial::op_gettimeouts);
    if (d)
        *timeouts = d->timeouts;
    return d != nullptr;
}

int serial_settimeouts(t_serial *port, const t_commtimeouts *timeouts)
{
    auto *d = working(port, fakeserial::op_settimeouts);
    if (d)
        d->timeouts = *timeouts;
    return d != nullptr;
}

int serial_read(t_serial *port, uint8_t *byte, uint32_t *count, t_serial_wait wait)
{
    *count = 0;
    auto *d = dev(port);
    if (!d)
        return 0;
    d->reads++;
    virtual_us += fakeserial::read_cost_us;
    if (d->on_read)
        d->on_read(*d);
    if (d->fail[fakeserial::op_read])
        return 0;
    if (d->endless) {
        *byte = fakeserial::endless_byte(d->endless_tag, d->endless_next++);
        *count = 1;
        return 1;
    }
    if (d->input.empty() && wait == serial_rest) {
        d->timed_waits++;
        d->input.insert(d->input.end(), d->in_flight.begin(), d->in_flight.end());
        d->in_flight.clear();
    }
    if (!d->input.empty()) {
        *byte = d->input.front();
        d->input.pop_front();
        *count = 1;
    }
    return 1;
}

uint32_t serial_line_errors(t_serial *port)
{
    auto *d = dev(port);
    uint32_t seen = d ? d->line_errors : 0;
    if (d)
        d->line_errors = 0;
    return seen;
}

int serial_write(t_serial *port, const uint8_t *data, int32_t length, int32_t *written)
{
    *written = 0;
    auto *d = dev(port);
    if (!d || length < 0)
        return 0;
    int call = d->writes++;
    const t_commtimeouts &t = d->timeouts;
    uint32_t bound = t.write_constant + t.write_multiplier * uint32_t(length);
    d->write_bounds.push_back(bound);
    if (d->fail[fakeserial::op_write] || call == d->fail_write_at)
        return 0;
    int32_t n = call == d->short_write_at && length > 0 ? length - 1 : length;
    if (d->room >= 0 && d->room < n) {
        n = d->room;
        virtual_us += int64_t(bound) * 1000;
    }
    if (d->room >= 0)
        d->room -= n;
    d->output.insert(d->output.end(), data, data + n);
    d->write_calls.emplace_back(data, data + n);
    *written = n;
    return n == length || call == d->short_write_at;
}

int serial_same_device(t_serial *port, const char *name)
{
    auto *d = port ? dev(port) : nullptr;
    return d && d == find(name);
}

bool serial_watchable()
{
    return fakeserial::watchable;
}

int serial_descriptor(t_serial *port)
{
    return fakeserial::watchable ? port->fd : -1;
}

int64_t serial_clock_us()
{
    return virtual_us;
}

void serial_close(t_serial *port)
{
    if (!port)
        return;
    if (auto *d = dev(port)) {
        d->open = false;
        d->closes++;
    }
    handles().erase(port);
    delete port;
}

#include "ports.h"

#include <cstdio>

bool ports_know_usb()
{
    return true;
}

// Every device present, open or not, in name order as a directory might give it.
int ports_list(t_portinfo *ports, int max)
{
    int n = 0;
    for (auto &[name, d] : devices()) {
        if (n < max) {
            t_portinfo &p = ports[n];
            p = t_portinfo{};
            snprintf(p.name, sizeof p.name, "%s", name.c_str());
            snprintf(p.alias, sizeof p.alias, "%s", d->alias.c_str());
            snprintf(p.maker, sizeof p.maker, "%s", d->maker.c_str());
            snprintf(p.product, sizeof p.product, "%s", d->product.c_str());
            snprintf(p.serial, sizeof p.serial, "%s", d->serial.c_str());
            snprintf(p.usb_id, sizeof p.usb_id, "%s", d->usb_id.c_str());
        }
        n++;
    }
    return n;
}

#include "frame.h"

namespace fakeserial {

bool watchable = true;

bool readable(int fd)
{
    for (auto *port : handles()) {
        if (port->fd != fd)
            continue;
        auto *d = dev(port);
        return !d || d->fail[op_read] || (!d->unseen && (d->endless || !d->input.empty()));
    }
    return false;
}

uint8_t endless_byte(char tag, uint64_t i)
{
    const char name[] = {tag, '\0'};
    uint8_t frame[veltrix::frame_max];
    size_t size = veltrix::frame_encode(name, 0, frame);
    veltrix::frame_put_value(static_cast<float>(i / size),
                             frame + size - veltrix::frame_value_size);
    return frame[i % size];
}

void reset()
{
    virtual_us = 0;
    watchable = true;
    for (auto *port : handles())
        delete port;
    handles().clear();
    devices().clear();
    links().clear();
}

t_device &add(const std::string &name)
{
    auto &slot = devices()[name];
    slot = std::make_unique<t_device>();
    return *slot;
}

t_device &get(const std::string &name)
{
    return *devices().at(name);
}

void remove(const std::string &name)
{
    devices().erase(name);
}

void link(const std::string &name, const std::string &target)
{
    links()[name] = target;
}

void feed(const std::string &name, const std::vector<uint8_t> &bytes)
{
    auto &d = get(name);
    d.input.insert(d.input.end(), bytes.begin(), bytes.end());
}

} // namespace fakeserial
