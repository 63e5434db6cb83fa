// Built into the fake pd.dll, beside the fake host it wraps.
#include "host_api.h"

#include "fake_pd.h"

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Kept so that arguments outlive the creation call that reads them.
std::vector<std::string> words_of(const char *args)
{
    std::vector<std::string> words;
    std::istringstream in(args);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

} // namespace

void host_setup(void (*setup_fn)(void))
{
    fakepd::setup(setup_fn);
}

void *host_create(const char *args)
{
    std::vector<std::string> words = words_of(args);
    std::vector<fakepd::t_arg> atoms;
    for (const auto &w : words) {
        char *end = nullptr;
        double f = strtod(w.c_str(), &end);
        if (!w.empty() && *end == '\0')
            atoms.emplace_back(f);
        else
            atoms.emplace_back(w.c_str());
    }
    return fakepd::create(atoms);
}

void host_destroy(void *object)
{
    fakepd::destroy(static_cast<t_object *>(object));
}

void host_send_float(void *object, double value)
{
    fakepd::send_float(static_cast<t_object *>(object), static_cast<t_float>(value));
}

void host_advance(double ms)
{
    fakepd::advance(ms);
}

int host_console_count(void)
{
    return static_cast<int>(fakepd::console().size());
}

const char *host_console_line(int index)
{
    return fakepd::console().at(static_cast<size_t>(index)).c_str();
}

void host_console_clear(void)
{
    fakepd::take_console();
}

int host_outlet_count(void)
{
    return static_cast<int>(fakepd::outlets().size());
}

double host_outlet_value(int index)
{
    return fakepd::outlets().at(static_cast<size_t>(index)).value;
}

void *host_outlet_owner(int index)
{
    return fakepd::outlets().at(static_cast<size_t>(index)).owner;
}

void host_outlets_clear(void)
{
    fakepd::take_outlets();
}
