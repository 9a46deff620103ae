// serve() and stop(): the thread that runs exported objects' calls.
#include <mutex>

#include "core/errors.hpp"
#include "core/export.hpp"
#include "core/export_registry.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace vq::core {

const char bus_serve_doc[] =
    "serve($self, /)\n"
    "--\n"
    "\n"
    "Runs the exported objects' methods and properties for incoming calls until\n"
    "stop() is called (from any thread, or by a callable) or the bus is closed, then\n"
    "returns None.  The interpreter lock is released while it waits; calls on this\n"
    "bus from other threads go on meanwhile.  Ctrl-C on the main thread raises\n"
    "KeyboardInterrupt out of serve(), and the bus stays usable.  A callable that\n"
    "raises SystemExit or KeyboardInterrupt answers its caller with an error, then\n"
    "the exception leaves serve(); any other exception answers the caller with an\n"
    "error reply and is logged.\n"
    "\n"
    "Raises RuntimeError when serve() already runs for this bus or an event loop\n"
    "(varquin.aio) drives it; ConnectionError when the connection is lost; ValueError\n"
    "when the bus is closed before serve() starts.\n"
    "\n"
    "    bus.export(\"/org/example/Greeter\", Greeter())\n"
    "    bus.request_name(\"org.example.Greeter\")\n"
    "    bus.serve()        # until bus.stop() or bus.close() from elsewhere";

PyObject *bus_serve(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<bus_object *>(self_);
    connection *conn = open_connection(self);
    if (!conn || !self->exports)
        return nullptr;
    export_registry *reg = self->exports;
    if (reg->serving)
        return PyErr_Format(PyExc_RuntimeError, "serve() is already running for this bus");
    if (conn->loop_driven())
        return PyErr_Format(PyExc_RuntimeError, "this bus is driven by an event loop");
    py_ref keep = py_ref::borrow(self_);
    reg->serving = true;
    PyObject *result = nullptr;
    bool first = true;  // a bus closed at the first look was closed before serve()
    for (;;) {
        bool stop = false, closed = false, have = false;
        int lost = 0;
        waiter w;
        w.greedy = true;
        {
            gil_released unlocked;
            std::lock_guard<std::mutex> hold(conn->lock());
            if (conn->closed()) {
                closed = true;
            } else if (reg->stop) {
                reg->stop = false;
                stop = true;
            } else if (!reg->queue.empty()) {
                have = true;
            } else if (conn->error()) {
                lost = conn->error();
            } else {
                reg->server = &w;
            }
        }
        const bool closed_before = closed && first;
        first = false;
        if (closed_before) {
            raise_closed();
            break;
        }
        if (stop || closed) {
            result = py_ref::borrow(Py_None).release();
            break;
        }
        if (lost) {
            raise_errno(lost, "the connection was lost");
            break;
        }
        if (have) {
            py_ref r(run_incoming(self));
            if (!r)
                break;
            continue;
        }
        wait_status status;
        {
            gil_released unlocked;
            status = conn->wait(w, steady::time_point::max());
            std::lock_guard<std::mutex> hold(conn->lock());
            reg->server = nullptr;
        }
        if (status == wait_status::interrupted && PyErr_CheckSignals() < 0)
            break;
    }
    reg->serving = false;
    return result;
}

const char bus_stop_doc[] =
    "stop($self, /)\n"
    "--\n"
    "\n"
    "Makes serve() return, from any thread or from a callable it runs, and returns\n"
    "None; when serve() is not running, the next serve() returns at once.  Raises\n"
    "ValueError when the bus is closed.\n"
    "\n"
    "    threading.Thread(target=bus.serve).start()\n"
    "    ...\n"
    "    bus.stop()";

PyObject *bus_stop(PyObject *self_, PyObject *) noexcept {
    auto *self = reinterpret_cast<bus_object *>(self_);
    connection *conn = open_connection(self);
    if (!conn || !self->exports)
        return nullptr;
    export_registry *reg = self->exports;
    bool closed;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> hold(conn->lock());
        closed = conn->closed();
        if (!closed) {
            reg->stop = true;
            if (reg->server)
                conn->wake(*reg->server);
        }
    }
    if (closed)
        return raise_closed();
    Py_RETURN_NONE;
}

}  // namespace vq::core
