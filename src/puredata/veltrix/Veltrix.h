// [Veltrix]: boards on serial ports, and senders and receivers of tagged
// float values between them and the patch.
#pragma once

#include <m_pd.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "link/frame.h"
#include "link/serial.h"

enum t_endpoint_type : int32_t { ep_invalid = 0, ep_none = 1, ep_send = 2, ep_receive = 3 };

constexpr int Veltrix_max_boards = 8;
constexpr int Veltrix_max_receivers = 512;
constexpr int Veltrix_tty_size = 128;
constexpr int Veltrix_tag_size = veltrix::frame_tag_max + 1; // with its terminating zero
// The longest one float may hold Pd writing to all boards together, and the
// write timeout each board's port is given (milliseconds).
constexpr int Veltrix_write_bound_ms = 5;

// A board: owns a serial port and the decoder state of the frames it reads.
// The inputBuffer fields are veltrix::t_frame_decoder's, inline: the record's
// layout is part of the module's interface.
struct t_board {
    t_clock *x_clock;
    char tty[Veltrix_tty_size];
    int32_t baudrate;
    t_serial *hSerial;
    char connected;
    char inputBufferTag[Veltrix_tag_size];
    float inputBufferValue;
    uint8_t inputBufferState;
    uint8_t inputBufferTagIdx;
    uint8_t *inputBufferValuePtr;
    uint8_t inputBufferValuePtrIdx;
    double lineErrorsPosted; // logical time of the last line-error report
    double poll_interval;    // ms between polls while connected, as `poll` set it; 0: as
                             // bytes arrive, read from Pd's own check for input
    // The port opened: tty itself, or the port a usb: name resolved to.
    char port[Veltrix_tty_size];
    t_symbol *status_to;         // where `status` sends `connected 0/1`; null: nowhere
    struct t_board_stats *stats; // what `info` tells, from the board's start to its stop
    char watched;                // the port's descriptor is in Pd's check for input
};

// A sender or a receiver.
struct t_endpoint {
    t_outlet *f_out;
    char endpoint_tag[Veltrix_tag_size];
    uint32_t values;   // that went through, for `info`
    uint8_t list_told; // a sender said once that it sends a list's first number only
};

struct t_Veltrix {
    t_object x_obj;
    t_endpoint_type endpoint_type;
    union {
        t_board b;
        t_endpoint r;
        t_endpoint s;
    } d;
};

// pd_new hands out zero-filled memory and runs no constructor.
static_assert(std::is_standard_layout_v<t_Veltrix>);
static_assert(std::is_trivially_default_constructible_v<t_Veltrix>);
static_assert(offsetof(t_Veltrix, x_obj) == 0);
static_assert(sizeof(t_endpoint_type) == 4);
static_assert(sizeof(float) == 4);
static_assert(veltrix::frame_holds_decoder<t_board>());

// The live boards and receivers, walked in slot order.
struct t_Veltrix_registry {
    t_Veltrix *boards[Veltrix_max_boards];
    t_Veltrix *receivers[Veltrix_max_receivers];
};

extern t_Veltrix_registry Veltrix;
extern t_class *Veltrix_class;

// Whether the routine lines go out: each value sent, the attempts of a
// failure after its first, creation and freeing. `verbose 0` to any Veltrix
// object turns them off for the whole Pd, `verbose 1` on again; errors and
// the answers to messages always go out.
extern bool Veltrix_routine_lines;
// Posts a routine line, unless they are off.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Veltrix_routine(const char *fmt, ...);

#if defined(_WIN32)
#define VELTRIX_EXPORT __declspec(dllexport)
#else
#define VELTRIX_EXPORT __attribute__((visibility("default")))
#endif

extern "C" VELTRIX_EXPORT void Veltrix_setup(void);
void *Veltrix_new(t_symbol *s, int argc, t_atom *argv);
void Veltrix_free(t_Veltrix *x);
void Veltrix_bang(t_Veltrix *x);
void Veltrix_verbose(t_Veltrix *x, t_symbol *s, int argc, t_atom *argv);

// Pd stores every method as a function of no arguments and calls it with the
// arguments its class declared.
template <class To, class From> To Veltrix_method(From *f)
{
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(f));
}

// The baud rate argument as a whole number: truncated toward zero, and
// INT32_MIN for anything that does not fit (NaN included).
int32_t Veltrix_baudrate(double rate);

// Board start and stop, and the clock callback (link/board.cpp).
void Veltrix_board_start(t_Veltrix *x);
void Veltrix_board_stop(t_Veltrix *x);
void Veltrix_tick(t_Veltrix *x);
void Veltrix_poll(t_Veltrix *x, t_symbol *s, int argc, t_atom *argv);

// What a board knows, in answer to `info`; where it tells its connection
// state (`status <name>`); a write to a board failed, for its count
// (link/tell.cpp).
void Veltrix_info(t_Veltrix *x);
void Veltrix_status(t_Veltrix *x, t_symbol *s, int argc, t_atom *argv);
// `connected 1` or `connected 0` to a name `status` gave, when anything is
// bound to it. The message may run any part of the patch; one sent from
// there comes after the delivery in progress.
void Veltrix_tell_connected(t_symbol *to, bool connected);
// A write to a board, counted: whether its failure is to be told. Quiet
// (`verbose 0`), a board that is not connected, or whose device stopped
// reading, would fail at every value: a run of failures is told at its first.
bool Veltrix_board_wrote(t_Veltrix *y, bool ok);

// The float method, lists, and the write path (link/send.cpp).
void Veltrix_send_float(t_Veltrix *x, t_floatarg f);
void Veltrix_list(t_Veltrix *x, t_symbol *s, int argc, t_atom *argv);
uint8_t Veltrix_send_raw(t_Veltrix *y, const uint8_t *data, int32_t length, int32_t *written);

// The ports message: a line for each serial port present (link/ports.cpp).
void Veltrix_ports(t_Veltrix *x);
