// Every place where the service host enters the interpreter: running the
// callable of a registered method for one incoming call (and keeping a
// signal handler's exception met there for listen), giving back the
// registry's references to callables, running signal handlers, and raising
// the interpreter's interrupt for a forwarded signal.  Callers need not
// include Python.h.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "owners.hpp"
#include "variant.hpp"

typedef struct _object PyObject;  // as the interpreter declares it

// One argument of an incoming call, as sd_bus_message_read_basic stores it
// for its type code: the text of s, o and g points into the message.
typedef union vq_arg_cell {
    const char *s;
    uint8_t y;
    int b;
    int16_t n;
    uint16_t q;
    int32_t i;
    uint32_t u;
    int64_t x;
    uint64_t t;
    double d;
    int h;
} vq_arg_cell;

extern "C" {
#pragma GCC visibility push(default)

// Calls `func` with one argument per character of `args_fmt`, built from
// `args`, and turns the tuple it returns into `results` (one element per
// item; ints and strs set, other items left empty).  Takes the interpreter
// lock itself.  Returns item 0 as a 32-bit integer, -1 when the call raised
// or returned no items, -2000 when pending signal handlers raised first (the
// callable is then not called).  An exception is never left set: it is
// printed and cleared before the lock is released, except a SystemExit on a
// thread other than the main one, which is raised on the main thread.
int run_python_func(const char *args_fmt, void *func, vq_arg_cell *args,
                    variant_array_t *results) noexcept;

// Fills position i of `func_args_tuple` with the Python value of argument i
// for type code i of `args_fmt`: str for s, o and g, bool for b, float for
// d, int for the integer codes.  Returns 1, or 0 with an exception set when
// a value could not be made.  Interpreter lock held.
int parse_args(const char *args_fmt, vq_arg_cell *arg_values, ssize_t size,
               PyObject *func_args_tuple) noexcept;

// Runs the handlers of signals that arrived since the last check: 1 when one
// raised (its exception is left set), else 0.  Interpreter lock held.
int py_signals_need_iterrupt(void) noexcept;

// Raises the interpreter's interrupt, as SIGINT would; safe in a signal handler.
void set_py_interrupt(void) noexcept;

#pragma GCC visibility pop
}  // extern "C"

namespace vq {

// What became of one incoming call of a method.
enum class call_outcome {
    answered,  // `results` hold a value of the right type for every output position
    failed,  // the callable raised, or its result does not fit
    interrupted,  // a signal handler raised before the call, which was not made; the
                  // loop is to stop, and listen raises the exception (raise_held_interrupt)
    exiting,  // SystemExit on a thread other than the main one: passed on to the main
              // thread, where it is raised at its next check; the loop is to stop
};

// Runs the method's callable `func` for one incoming call, as
// run_python_func does, and checks its result against `output_sig`: a
// method return must carry exactly that signature.  When the call cannot be
// answered with one, `failure` receives the text of the error reply: the
// exception as its traceback's last line names it ("ValueError: boom"), its
// traceback printed, or 'result (...) does not match output signature
// "..."'.  A SystemExit raised on the main thread ends the process there,
// as the interpreter prints it.  Takes the interpreter lock itself.
call_outcome call_method(const char *input_sig, const char *output_sig, void *func,
                         vq_arg_cell *args, variant_array_t *results, heap_str &failure) noexcept;

// Sets, on the calling thread, the exception kept by call_method's
// `interrupted` outcome, and forgets it: true when there was one.
// Interpreter lock held.
bool raise_held_interrupt() noexcept;

// Gives back one reference to `obj` (null is ignored).  Interpreter lock held.
void release_python_object(void *obj) noexcept;

}  // namespace vq
