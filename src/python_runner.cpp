#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_runner.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "gil.hpp"
#include "py_ref.hpp"

namespace {

using vq::py_ref;

// The longest representation of a result quoted in an error reply.
constexpr Py_ssize_t quoted_result_cap = 200;

// The exception of a signal handler that raised at a call's check, kept for
// listen to raise when its loop has stopped.  Interpreter lock.
// Never destroyed: a process may end with one still held, after the
// interpreter that could release it has gone.
vq::fetched_exception &g_held_interrupt = *new vq::fetched_exception;

// Prints the pending exception with its traceback to the interpreter's
// standard error and clears it, so that it never surfaces later in code
// that has nothing to do with it.  (A SystemExit ends the process here.)
// Only a SystemExit goes through PyErr_PrintEx: from CPython 3.14 on it also
// records a KeyboardInterrupt it prints as unhandled, and the interpreter
// then ends itself with SIGINT when it exits, long after the interrupt was
// reported and cleared here.  Everything else goes to sys.excepthook as
// PyErr_PrintEx would pass it, or is displayed directly without one.
void print_and_clear() noexcept {
    if (!PyErr_Occurred())
        return;
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
        PyErr_PrintEx(1);
        return;
    }
    vq::fetched_exception exc = vq::fetched_exception::take();
    exc.normalize();
    if (exc.value() && exc.traceback())
        PyException_SetTraceback(exc.value(), exc.traceback());
    PyObject *hook = PySys_GetObject("excepthook");  // borrowed
    if (hook && hook != Py_None) {
        py_ref done(
            PyObject_CallFunctionObjArgs(hook, exc.type(), exc.value() ? exc.value() : Py_None,
                                         exc.traceback() ? exc.traceback() : Py_None, nullptr));
        if (done)
            return;
        PyErr_Clear();
    }
    PyErr_Display(exc.type(), exc.value(), exc.traceback());
}

// A heap copy of the text of the str `s` (unencodable characters escaped),
// or null.  Leaves no exception set.
vq::heap_str heap_copy(PyObject *s) noexcept {
    vq::heap_str copy;
    if (s) {
        py_ref bytes(PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace"));
        if (bytes)
            copy.reset(strdup(PyBytes_AS_STRING(bytes.get())));
    }
    PyErr_Clear();
    return copy;
}

// "Type: text" for the exception that is set, as the last line of its
// traceback names it ("ValueError: boom", "mod.Error: text", or the type
// alone when its text is empty).  The exception stays set.
vq::heap_str describe_exception() noexcept {
    vq::saved_exception pending;
    pending.held().normalize();
    PyObject *type = pending.held().type(), *value = pending.held().value();
    vq::heap_str text;
    if (type && PyType_Check(type)) {
        py_ref name(PyType_GetQualName(reinterpret_cast<PyTypeObject *>(type)));
        py_ref module(PyObject_GetAttrString(type, "__module__"));
        if (name && module && PyUnicode_Check(module.get()) &&
            PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0 &&
            PyUnicode_CompareWithASCIIString(module.get(), "__main__") != 0)
            name.reset(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
        py_ref str(value ? PyObject_Str(value) : nullptr);
        if (name && str && PyUnicode_GET_LENGTH(str.get()) > 0)
            name.reset(PyUnicode_FromFormat("%U: %U", name.get(), str.get()));
        text = heap_copy(name.get());
    }
    return text;
}

// The Python value of one argument read for type code `code`: a new
// reference, or null with an exception set.
PyObject *arg_value(char code, const vq_arg_cell &cell) noexcept {
    switch (code) {
    case 's':
    case 'o':
    case 'g':
        return cell.s ? PyUnicode_FromString(cell.s) : Py_NewRef(Py_None);
    case 'b':
        return PyBool_FromLong(cell.b);
    case 'd':
        return PyFloat_FromDouble(cell.d);
    case 'y':
        return PyLong_FromUnsignedLong(cell.y);
    case 'n':
        return PyLong_FromLong(cell.n);
    case 'q':
        return PyLong_FromUnsignedLong(cell.q);
    case 'i':
        return PyLong_FromLong(cell.i);
    case 'u':
        return PyLong_FromUnsignedLong(cell.u);
    case 'x':
        return PyLong_FromLongLong(cell.x);
    case 't':
        return PyLong_FromUnsignedLongLong(cell.t);
    case 'h':
        return PyLong_FromLong(cell.h);
    default:
        // Containers are never read into a cell (the read fails first);
        // a position is never left unset all the same.
        return Py_NewRef(Py_None);
    }
}

// Turns the items of the non-empty tuple `res` into `results`, position by
// position: ints (bool included) as integers, strs as their UTF-8 text,
// anything else left empty.  Returns item 0 as a 32-bit integer, or -1.
int convert_results(PyObject *res, variant_array_t *results) noexcept {
    const Py_ssize_t size = PyTuple_GET_SIZE(res);
    variant_array_t *record = results;
    allocate_variant_array(&record, static_cast<size_t>(size));
    if (!variant_array_is_allocated(*results))
        return -1;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *item = PyTuple_GET_ITEM(res, i);
        variant_t *slot = &results->variants[i];
        if (PyLong_Check(item)) {
            const long v = PyLong_AsLong(item);
            if (v == -1 && PyErr_Occurred())
                print_and_clear();  // beyond 64 bits: the position stays empty
            else
                variant_set_int(slot, v);
        } else if (PyUnicode_Check(item)) {
            // Strict UTF-8; a str holding a lone surrogate cannot be encoded
            // and its position stays empty.
            const char *text = PyUnicode_AsUTF8(item);
            if (text)
                variant_set_str(slot, text);
            else
                print_and_clear();
        }
    }
    const variant_t first = results->variants[0];
    if (!variant_is_int(first))
        return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(variant_get_int(first)));
}

// Calls `func` with the arguments of the call: its result, or null with an
// exception set.
py_ref call(const char *args_fmt, PyObject *func, vq_arg_cell *args) noexcept {
    const Py_ssize_t n = static_cast<Py_ssize_t>(std::strlen(args_fmt));
    py_ref tuple(PyTuple_New(n));
    if (!tuple || !parse_args(args_fmt, args, n, tuple.get()))
        return py_ref();
    return py_ref(PyObject_CallObject(func, tuple.get()));
}

// Turns the callable's result into `results`: an empty tuple, or anything
// that is not a tuple, yields none.  Returns item 0 as a 32-bit integer, or -1.
int convert(PyObject *res, variant_array_t *results) noexcept {
    if (PyTuple_Check(res) && PyTuple_GET_SIZE(res) > 0)
        return convert_results(res, results);
    return -1;
}

// Whether `results` hold a value of the right type for every position of
// `output_sig`: sd-bus sends a method return of exactly that signature or
// none at all.
bool fits(const char *output_sig, const variant_array_t &results) noexcept {
    const size_t count = variant_array_is_allocated(results) ? variant_array_get_size(results) : 0;
    for (size_t i = 0; output_sig[i]; ++i) {
        if (i >= count)
            return false;
        const variant_t v = results.variants[i];
        const bool ok = (output_sig[i] == 'i' && variant_is_int(v)) ||
                        (output_sig[i] == 's' && variant_is_str(v) && variant_get_str(v));
        if (!ok)
            return false;
    }
    return true;
}

// 'result (...) does not match output signature "..."', quoting at most
// quoted_result_cap characters of the result's representation.
vq::heap_str mismatch(PyObject *res, const char *output_sig) noexcept {
    py_ref repr(PyObject_Repr(res));
    if (repr && PyUnicode_GET_LENGTH(repr.get()) > quoted_result_cap) {
        py_ref head(PyUnicode_Substring(repr.get(), 0, quoted_result_cap));
        repr.reset(head ? PyUnicode_FromFormat("%U...", head.get()) : nullptr);
    }
    py_ref text(repr ? PyUnicode_FromFormat("result %U does not match output signature \"%s\"",
                                            repr.get(), output_sig)
                     : nullptr);
    return heap_copy(text.get());
}

// The callable raised: its text for the error reply, with the traceback
// printed and the exception cleared.
vq::heap_str report_raised() noexcept {
    vq::heap_str text = describe_exception();
    print_and_clear();
    return text;
}

// Keeps the exception of a signal handler that raised, which is set, for
// listen to raise, and clears it.  Returns its text for the error reply.
vq::heap_str hold_interrupt() noexcept {
    vq::heap_str text = describe_exception();
    g_held_interrupt = vq::fetched_exception::take();
    return text;
}

// Runs the handlers of signals that came while the callable ran, with the
// callable's exception (if any) set aside.  When one raised, its exception
// is held for listen, the callable's is printed and cleared, and `failure`
// receives the text for the error reply.
bool interrupted_during_call(vq::heap_str &failure) noexcept {
    bool interrupted;
    {
        vq::saved_exception callable_exception;
        interrupted = py_signals_need_iterrupt();
        if (interrupted)
            failure = hold_interrupt();
    }
    if (interrupted)
        print_and_clear();
    return interrupted;
}

// The exit status of a SystemExit passed on while the main thread had
// already finished its program, once there was one.  Interpreter lock.
bool g_exit_passed = false;
int g_exit_status = 0;

// Run by the interpreter at the very end of its finalization (Py_AtExit):
// ends the process with that status instead of 0.
void exit_with_passed_status() noexcept { std::exit(g_exit_status); }

// Whether the calling thread is the interpreter's main thread, as the
// threading module knows it (after a fork, the thread that forked).
// Interpreter lock; a pending exception stays as it was.
bool on_main_thread() noexcept {
    vq::saved_exception pending;
    py_ref threading(PyImport_ImportModule("threading"));
    py_ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    py_ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    bool on_main = ident && PyLong_Check(ident.get()) &&
                   PyLong_AsUnsignedLong(ident.get()) == PyThread_get_thread_ident();
    return on_main;
}

// Whether the main thread has finished its program: it then only waits for
// the other threads to end (in threading._shutdown, or after it), and a
// SystemExit raised there is ignored.  On the main thread, a frame of
// threading._shutdown on its stack says so too: that function marks the
// thread finished only after it began.
bool main_thread_finished() noexcept {
    py_ref threading(PyImport_ImportModule("threading"));
    py_ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    py_ref alive(main ? PyObject_CallMethod(main.get(), "is_alive", nullptr) : nullptr);
    bool finished = alive.get() == Py_False;
    if (!finished && threading && on_main_thread()) {
        py_ref shutdown(PyObject_GetAttrString(threading.get(), "_shutdown"));
        py_ref code(shutdown ? PyObject_GetAttrString(shutdown.get(), "__code__") : nullptr);
        PyFrameObject *frame = PyEval_GetFrame();  // borrowed
        py_ref held = py_ref::borrow(reinterpret_cast<PyObject *>(frame));
        while (code && held && !finished) {
            auto *f = reinterpret_cast<PyFrameObject *>(held.get());
            py_ref frame_code(reinterpret_cast<PyObject *>(PyFrame_GetCode(f)));
            finished = frame_code.get() == code.get();
            held.reset(reinterpret_cast<PyObject *>(PyFrame_GetBack(f)));
        }
    }
    PyErr_Clear();
    return finished;
}

int exit_status(PyObject *exc) noexcept;

// Makes `exc`'s status the process's exit status, at the end of the
// interpreter's finalization.  Interpreter lock held.
bool exit_at_the_end(PyObject *exc) noexcept {
    const bool passed = g_exit_passed || Py_AtExit(exit_with_passed_status) == 0;
    if (passed) {
        g_exit_passed = true;
        g_exit_status = exit_status(exc);
    }
    return passed;
}

// Run by the main thread at its next check for pending calls: raises there
// the SystemExit `exc` (a reference this call takes over), so that the
// process ends with its status unless the main thread catches it.  When the
// main thread has finished its program meanwhile, nothing there could catch
// it: its status becomes the process's.
int raise_on_main_thread(void *exc) noexcept {
    auto *e = static_cast<PyObject *>(exc);
    if (main_thread_finished() && exit_at_the_end(e)) {
        Py_DECREF(e);
        return 0;
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(e)), e);
    Py_DECREF(e);
    return -1;
}

// The status the interpreter gives the process for the SystemExit `exc`:
// 0 for a code of None, the code itself when it is an int, else 1 with the
// code printed to standard error.
int exit_status(PyObject *exc) noexcept {
    py_ref code(PyObject_GetAttrString(exc, "code"));
    int status = 0;
    if (code && PyLong_Check(code.get())) {
        status = static_cast<int>(PyLong_AsLong(code.get()));
    } else if (code && code.get() != Py_None) {
        PyObject *err = PySys_GetObject("stderr");  // borrowed
        if (err && PyFile_WriteObject(code.get(), err, Py_PRINT_RAW) == 0)
            (void)PyFile_WriteString("\n", err);
        status = 1;
    }
    PyErr_Clear();
    return status;
}

// A SystemExit raised on a thread other than the main one.  Printing it
// would run the interpreter's exit on this thread, which waits for the main
// thread while this one holds the server lock, so every later call that
// needs that lock would hang.  It is handed to the main thread instead, or,
// when that has finished its program already and nothing there can catch
// it, its status becomes the process's exit status.  Cleared here; false
// (the exception still set) when neither could be arranged.
bool pass_exit_to_main_thread() noexcept {
    vq::fetched_exception exit = vq::fetched_exception::take();
    exit.normalize();
    PyObject *value = exit.value();
    bool passed = false;
    if (value && main_thread_finished()) {
        passed = exit_at_the_end(value);
    } else if (value) {
        Py_INCREF(value);  // the pending call's own reference
        passed = Py_AddPendingCall(raise_on_main_thread, value) == 0;
        if (!passed)
            Py_DECREF(value);
    }
    if (!passed)
        exit.restore();
    return passed;
}

}  // namespace

namespace vq {

call_outcome call_method(const char *input_sig, const char *output_sig, void *func,
                         vq_arg_cell *args, variant_array_t *results, heap_str &failure) noexcept {
    gil_held gil;
    // A signal handler that raises (on the main thread, where handlers run)
    // stops the loop, and listen raises its exception, as at its own check
    // after a wait.  Before the call, the callable is then not called.
    if (py_signals_need_iterrupt()) {
        failure = hold_interrupt();
        return call_outcome::interrupted;
    }
    py_ref res = call(input_sig, static_cast<PyObject *>(func), args);
    // Signals that came during the call are handled now, with the callable's
    // own exception set aside: repr and str, which build the texts below,
    // run pending handlers first, and the exception would be lost with a
    // text that could not be built.
    if (interrupted_during_call(failure))
        return call_outcome::interrupted;
    if (!res) {
        // On the main thread a SystemExit ends the process as it is printed,
        // without a reply.
        if (PyErr_ExceptionMatches(PyExc_SystemExit) && !on_main_thread()) {
            failure = describe_exception();
            if (pass_exit_to_main_thread())
                return call_outcome::exiting;
        }
        failure = report_raised();
        return call_outcome::failed;
    }
    (void)convert(res.get(), results);
    if (!fits(output_sig, *results)) {
        failure = mismatch(res.get(), output_sig);
        return call_outcome::failed;
    }
    return call_outcome::answered;
}

bool raise_held_interrupt() noexcept {
    if (!g_held_interrupt)
        return false;
    g_held_interrupt.restore();
    return true;
}

void release_python_object(void *obj) noexcept { Py_XDECREF(static_cast<PyObject *>(obj)); }

}  // namespace vq

extern "C" int run_python_func(const char *args_fmt, void *func, vq_arg_cell *args,
                               variant_array_t *results) noexcept {
    vq::gil_held gil;
    int code = -1;
    if (py_signals_need_iterrupt()) {
        code = -2000;
    } else if (func) {
        py_ref res = call(args_fmt, static_cast<PyObject *>(func), args);
        if (res)
            code = convert(res.get(), results);
        else if (PyErr_ExceptionMatches(PyExc_SystemExit) && !on_main_thread())
            (void)pass_exit_to_main_thread();
    }
    // The one exit: whatever a path left set (a signal handler's exception,
    // the callable's, a failed argument) is printed and cleared here.
    print_and_clear();
    return code;
}

extern "C" int parse_args(const char *args_fmt, vq_arg_cell *arg_values, ssize_t size,
                          PyObject *func_args_tuple) noexcept {
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *value = arg_value(args_fmt[i], arg_values[i]);
        if (!value)
            return 0;  // the caller drops the tuple; unset positions are null and skipped
        PyTuple_SET_ITEM(func_args_tuple, i, value);
    }
    return 1;
}

extern "C" int py_signals_need_iterrupt(void) noexcept { return PyErr_CheckSignals() != 0 ? 1 : 0; }

extern "C" void set_py_interrupt(void) noexcept { PyErr_SetInterrupt(); }
