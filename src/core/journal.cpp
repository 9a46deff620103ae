#include "core/journal.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

#include "core/args.hpp"
#include "core/errors.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace vq::core {
namespace {

// One entry as read, before it becomes Python objects: its time (µs since
// the epoch) and its fields in the journal's order.
struct raw_entry {
    uint64_t usec = 0;
    std::vector<std::pair<std::string, std::string>> fields;
};

// The native side of a Journal.  The journal handle is not thread-safe:
// `lock` guards it and `open`.  Lock order: `lock` is only ever taken with
// the interpreter lock released, and the interpreter lock is never taken
// while `lock` is held.  close() wakes a waiter through `wake` (an eventfd)
// before it takes `lock`, so a thread polling the journal's descriptor
// (without `lock`) returns at once.
struct journal_record {
    std::mutex lock;
    sd_journal *j = nullptr;
    bool open = false;
    int wake = -1;
    pid_t owner = 0;

    ~journal_record() {
        if (j)
            sd_journal_close(j);
        if (wake >= 0)
            ::close(wake);
    }
};

struct journal_object {
    PyObject_HEAD
    journal_record *rec;
};

PyTypeObject journal_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Reads the entry the journal is positioned on.  `lock` held.
int read_entry(sd_journal *j, raw_entry &out) noexcept {
    int r = sd_journal_get_realtime_usec(j, &out.usec);
    if (r < 0)
        return r;
    const void *data;
    size_t size;
    sd_journal_restart_data(j);
    while ((r = sd_journal_enumerate_data(j, &data, &size)) > 0) {
        const char *text = static_cast<const char *>(data);
        const void *eq = std::memchr(text, '=', size);
        if (!eq)
            continue;
        const size_t name = static_cast<size_t>(static_cast<const char *>(eq) - text);
        out.fields.emplace_back(std::string(text, name),
                                std::string(text + name + 1, size - name - 1));
    }
    return r;
}

// Python (time, {field: value}) tuples of `entries`, values decoded as
// UTF-8 with undecodable bytes replaced.  Interpreter lock held.
PyObject *entries_to_python(const std::vector<raw_entry> &entries) noexcept {
    py_ref list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < entries.size(); ++i) {
        py_ref fields(PyDict_New());
        if (!fields)
            return nullptr;
        for (const auto &[name, value] : entries[i].fields) {
            py_ref v(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()),
                                          "replace"));
            if (!v || PyDict_SetItemString(fields.get(), name.c_str(), v.get()) < 0)
                return nullptr;
        }
        PyObject *item =
            Py_BuildValue("(KO)", static_cast<unsigned long long>(entries[i].usec), fields.get());
        if (!item)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// The record of a Journal usable in this process, or null with ValueError
// (closed) or ChildProcessError (inherited across fork) set.  Interpreter
// lock held.
journal_record *usable(PyObject *self) noexcept {
    journal_record *rec = reinterpret_cast<journal_object *>(self)->rec;
    if (rec->owner != getpid()) {
        PyErr_SetString(PyExc_ChildProcessError,
                        "the journal was opened by the parent process: open another one");
        return nullptr;
    }
    return rec;
}

PyObject *raise_journal_closed() noexcept {
    PyErr_SetString(PyExc_ValueError, "operation on a closed journal");
    return nullptr;
}

// Runs `step(j)` on the open journal of `rec` with the interpreter lock
// released and `lock` held (the lock order above).  False with a Python
// error set when the journal is closed or the step returned a negative
// errno (`what` says what could not be done); true otherwise.
template <class Step>
bool locked_step(journal_record *rec, const char *what, Step &&step) noexcept {
    int r = 0;
    bool closed = false;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> held(rec->lock);
        if (rec->open)
            r = step(rec->j);
        else
            closed = true;
    }
    if (closed) {
        raise_journal_closed();
        return false;
    }
    if (r < 0) {
        raise_errno(r, what);
        return false;
    }
    return true;
}

// Adds one match term: the matches of `term` (FIELD=value) must all hold.
// `lock` held, or the record not yet shared.
int add_term(sd_journal *j, const std::vector<std::string> &term) noexcept {
    for (const auto &m : term) {
        int r = sd_journal_add_match(j, m.data(), m.size());
        if (r < 0)
            return r;
    }
    return 0;
}

PyObject *journal_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs) noexcept {
    static const char *keywords[] = {"root", "terms", nullptr};
    PyObject *root = Py_None, *terms = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:Journal", const_cast<char **>(keywords),
                                     &root, &terms))
        return nullptr;
    std::string root_path;
    if (root != Py_None) {
        if (!PyUnicode_Check(root))
            return PyErr_Format(PyExc_TypeError, "root must be a str or None, not %.200s",
                                Py_TYPE(root)->tp_name);
        Py_ssize_t size;
        const char *text = PyUnicode_AsUTF8AndSize(root, &size);
        if (!text)
            return nullptr;
        if (size == 0 || std::strlen(text) != static_cast<size_t>(size))
            return PyErr_Format(PyExc_ValueError, "root %R is not a valid path", root);
        root_path.assign(text, static_cast<size_t>(size));
    }
    // The matches: a list of terms, each a list of "FIELD=value" str; an
    // entry is read when every match of one of the terms holds.
    std::vector<std::vector<std::string>> wanted;
    if (terms && terms != Py_None) {
        py_ref seq(PySequence_Fast(terms, "terms must be a list of lists of str"));
        if (!seq)
            return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            py_ref term(PySequence_Fast(PySequence_Fast_GET_ITEM(seq.get(), i),
                                        "terms must be a list of lists of str"));
            if (!term)
                return nullptr;
            std::vector<std::string> matches;
            for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(term.get()); ++k) {
                PyObject *m = PySequence_Fast_GET_ITEM(term.get(), k);
                Py_ssize_t size;
                const char *text = PyUnicode_Check(m) ? PyUnicode_AsUTF8AndSize(m, &size) : nullptr;
                if (!text) {
                    if (!PyErr_Occurred())
                        PyErr_Format(PyExc_TypeError, "a match must be a str, not %.200s",
                                     Py_TYPE(m)->tp_name);
                    return nullptr;
                }
                const char *eq = static_cast<const char *>(std::memchr(text, '=', size));
                if (!eq || eq == text)
                    return PyErr_Format(PyExc_ValueError, "match %R is not FIELD=value", m);
                matches.emplace_back(text, static_cast<size_t>(size));
            }
            if (!matches.empty())
                wanted.push_back(std::move(matches));
        }
    }

    auto *rec = new (std::nothrow) journal_record;
    if (!rec)
        return PyErr_NoMemory();
    rec->owner = getpid();
    int r;
    {
        gil_released unlocked;
        // A root's journal is that of the system installed there: its
        // /var/log/journal and /run/log/journal.
        r = root_path.empty()
                ? sd_journal_open(&rec->j, SD_JOURNAL_LOCAL_ONLY)
                : sd_journal_open_directory(&rec->j, root_path.c_str(), SD_JOURNAL_OS_ROOT);
        if (r >= 0)
            r = sd_journal_set_data_threshold(rec->j, 0);
        for (size_t i = 0; r >= 0 && i < wanted.size(); ++i) {
            if (i > 0)
                r = sd_journal_add_disjunction(rec->j);
            if (r >= 0)
                r = add_term(rec->j, wanted[i]);
        }
        // The descriptor is made now, so that entries written from here on
        // wake a follower.
        if (r >= 0)
            r = sd_journal_get_fd(rec->j);
        if (r >= 0) {
            rec->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (rec->wake < 0)
                r = -errno;
        }
    }
    if (r < 0) {
        delete rec;
        return raise_errno(r, root_path.empty() ? "cannot open the journal"
                                                : "cannot open the journal of that root");
    }
    rec->open = true;
    PyObject *self = cls->tp_alloc(cls, 0);
    if (!self) {
        delete rec;
        return nullptr;
    }
    reinterpret_cast<journal_object *>(self)->rec = rec;
    return self;
}

// Nothing else can reach the record once the object is freed: methods hold
// a reference to the object while they run.  In a child after fork() the
// record is the parent's, as the fork caught it: a parent thread may have
// held `lock` mid-read, so the child neither takes the lock nor closes the
// journal, and leaves its copy as it is (the descriptors close on exec).
void journal_dealloc(PyObject *self) noexcept {
    journal_record *rec = reinterpret_cast<journal_object *>(self)->rec;
    if (rec->owner == getpid())
        delete rec;
    Py_TYPE(self)->tp_free(self);
}

// read(lines=-1, since=0) -> [(usec, fields), ...] in the journal's order:
// the last `lines` entries (every one when negative), of those written at
// or after `since` (µs since the epoch) when it is not 0.
PyObject *journal_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) noexcept {
    static const char *const names[] = {"lines", "since"};
    PyObject *slots[2] = {nullptr, nullptr};
    if (!parse_arguments("read", args, nargs, kwnames, args + nargs, names, 2, 2, 0, slots))
        return nullptr;
    long long lines = slots[0] ? PyLong_AsLongLong(slots[0]) : -1;
    unsigned long long since = slots[1] ? PyLong_AsUnsignedLongLong(slots[1]) : 0;
    if (PyErr_Occurred())
        return nullptr;
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    std::vector<raw_entry> out;
    bool done = locked_step(rec, "cannot read the journal", [&](sd_journal *j) {
        std::deque<raw_entry> kept;
        int r;
        if (since == 0 && lines >= 0) {
            // Backwards from the end: only the entries asked for are read.
            r = sd_journal_seek_tail(j);
            while (r >= 0 && static_cast<long long>(kept.size()) < lines &&
                   (r = sd_journal_previous(j)) > 0) {
                raw_entry e;
                r = read_entry(j, e);
                if (r >= 0)
                    kept.push_front(std::move(e));
            }
        } else {
            r = since ? sd_journal_seek_realtime_usec(j, since) : sd_journal_seek_head(j);
            while (r >= 0 && (r = sd_journal_next(j)) > 0) {
                raw_entry e;
                r = read_entry(j, e);
                if (r < 0)
                    break;
                if (e.usec < since)
                    continue;
                kept.push_back(std::move(e));
                if (lines >= 0 && static_cast<long long>(kept.size()) > lines)
                    kept.pop_front();
            }
        }
        out.assign(std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));
        return r;
    });
    return done ? entries_to_python(out) : nullptr;
}

// seek_tail(back=0): positions the journal so that follow() reads the last
// `back` entries first, then those written later.
PyObject *journal_seek_tail(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) noexcept {
    static const char *const names[] = {"back"};
    PyObject *slots[1] = {nullptr};
    if (!parse_arguments("seek_tail", args, nargs, kwnames, args + nargs, names, 1, 1, 0, slots))
        return nullptr;
    long long back = slots[0] ? PyLong_AsLongLong(slots[0]) : 0;
    if (back == -1 && PyErr_Occurred())
        return nullptr;
    if (back < 0)
        return PyErr_Format(PyExc_ValueError, "back must not be negative");
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    bool done = locked_step(rec, "cannot seek in the journal", [back](sd_journal *j) {
        // Stand on the entry before the first one to read; with fewer
        // entries than that, before the first of all.
        int r = sd_journal_seek_tail(j);
        if (r >= 0)
            r = sd_journal_previous_skip(j, static_cast<uint64_t>(back) + 1);
        if (r >= 0 && static_cast<unsigned long long>(r) < static_cast<uint64_t>(back) + 1)
            r = sd_journal_seek_head(j);
        return r;
    });
    if (!done)
        return nullptr;
    Py_RETURN_NONE;
}

// follow(timeout=None, max=64) -> [(usec, fields), ...], or None once closed:
// the entries after the position, waiting up to `timeout` seconds (None: no
// limit) for the first; [] when none came in time.
PyObject *journal_follow(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) noexcept {
    static const char *const names[] = {"timeout", "max"};
    PyObject *slots[2] = {nullptr, nullptr};
    if (!parse_arguments("follow", args, nargs, kwnames, args + nargs, names, 2, 2, 0, slots))
        return nullptr;
    // None or math.inf: no limit (-1); otherwise seconds, 0 not waiting.
    double timeout = -1;
    if (slots[0] && slots[0] != Py_None) {
        timeout = PyFloat_AsDouble(slots[0]);
        if (timeout == -1 && PyErr_Occurred())
            return nullptr;
        if (!(timeout >= 0))
            return PyErr_Format(PyExc_ValueError, "timeout must not be negative");
        if (std::isinf(timeout))
            timeout = -1;
    }
    const long long max = slots[1] ? PyLong_AsLongLong(slots[1]) : 64;
    if (max == -1 && PyErr_Occurred())
        return nullptr;
    if (max < 1)
        return PyErr_Format(PyExc_ValueError, "max must be positive");
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    std::vector<raw_entry> out;
    int r = 0;
    bool closed = false;
    {
        gil_released unlocked;
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        bool processed = false;
        for (;;) {
            int fd = -1;
            short events = 0;
            uint64_t until = UINT64_MAX;
            {
                std::lock_guard<std::mutex> held(rec->lock);
                if (!rec->open) {
                    closed = true;
                    break;
                }
                while (static_cast<long long>(out.size()) < max &&
                       (r = sd_journal_next(rec->j)) > 0) {
                    raw_entry e;
                    if ((r = read_entry(rec->j, e)) < 0)
                        break;
                    out.push_back(std::move(e));
                }
                if (r < 0 || !out.empty())
                    break;
                fd = sd_journal_get_fd(rec->j);
                const int ev = sd_journal_get_events(rec->j);
                if (fd < 0 || ev < 0) {
                    r = fd < 0 ? fd : ev;
                    break;
                }
                events = static_cast<short>(ev);
                if ((r = sd_journal_get_timeout(rec->j, &until)) < 0)
                    break;
            }
            // Wait without the lock: close() takes it only after waking us.
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const double spent = static_cast<double>(now.tv_sec - start.tv_sec) +
                                 static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
            int wait_ms = -1;
            if (timeout >= 0) {
                // Time up: done, once the journal's changes (new files
                // among them) have been taken in at least once, so that a
                // follow that does not wait still sees what was written.
                const double left = timeout - spent;
                if (left <= 0 && processed)
                    break;
                wait_ms = left <= 0      ? 0
                          : left > 86400 ? 86400 * 1000
                                         : static_cast<int>(left * 1000) + 1;
            }
            if (until != UINT64_MAX) {
                const uint64_t mono = static_cast<uint64_t>(now.tv_sec) * 1000000u +
                                      static_cast<uint64_t>(now.tv_nsec) / 1000u;
                const uint64_t ms = until > mono ? (until - mono) / 1000 + 1 : 0;
                const int journal_ms = ms > 86400000u ? 86400000 : static_cast<int>(ms);
                if (wait_ms < 0 || journal_ms < wait_ms)
                    wait_ms = journal_ms;
            }
            struct pollfd fds[2] = {{fd, events, 0}, {rec->wake, POLLIN, 0}};
            if (poll(fds, 2, wait_ms) < 0 && errno != EINTR) {
                r = -errno;
                break;
            }
            std::lock_guard<std::mutex> held(rec->lock);
            if (!rec->open) {
                closed = true;
                break;
            }
            if ((r = sd_journal_process(rec->j)) < 0)
                break;
            processed = true;
        }
    }
    if (r < 0)
        return raise_errno(r, "cannot read the journal");
    if (closed && out.empty())
        Py_RETURN_NONE;
    return entries_to_python(out);
}

// close(): from any thread; a thread waiting in follow() returns None.
PyObject *journal_close(PyObject *self, PyObject *) noexcept {
    journal_record *rec = reinterpret_cast<journal_object *>(self)->rec;
    if (rec->owner != getpid()) {
        // Forget the parent's journal without touching its handle or lock:
        // only this process's copy of `open` changes, so that `closed` tells
        // the truth here (the child's threads reach it with the interpreter
        // lock only).
        rec->open = false;
        Py_RETURN_NONE;
    }
    {
        gil_released unlocked;
        const uint64_t one = 1;
        if (rec->wake >= 0 && write(rec->wake, &one, sizeof one) < 0) {
            // A full counter already wakes every waiter.
        }
        std::lock_guard<std::mutex> held(rec->lock);
        if (rec->open) {
            rec->open = false;
            sd_journal_close(rec->j);
            rec->j = nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject *journal_get_closed(PyObject *self, void *) noexcept {
    journal_record *rec = reinterpret_cast<journal_object *>(self)->rec;
    if (rec->owner != getpid())
        return PyBool_FromLong(!rec->open);  // the fork's copy: no other thread, no lock
    bool open;
    {
        gil_released unlocked;
        std::lock_guard<std::mutex> held(rec->lock);
        open = rec->open;
    }
    return PyBool_FromLong(!open);
}

PyMethodDef journal_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(journal_read)),
     METH_FASTCALL | METH_KEYWORDS,
     "read($self, lines=-1, since=0)\n--\n\nReturns a list of (usec, fields): the last `lines` "
     "entries (all when negative), of those at or after `since` (µs since the epoch) when not "
     "0."},
    {"seek_tail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(journal_seek_tail)),
     METH_FASTCALL | METH_KEYWORDS,
     "seek_tail($self, back=0)\n--\n\nfollow() then reads the last `back` entries, then new "
     "ones."},
    {"follow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(journal_follow)),
     METH_FASTCALL | METH_KEYWORDS,
     "follow($self, timeout=None, max=64)\n--\n\nReturns a list of (usec, fields): the "
     "entries after the position, waiting up to `timeout` seconds for the first; [] when none "
     "came in time, None once closed."},
    {"close", journal_close, METH_NOARGS,
     "close($self, /)\n--\n\nCloses the journal; a thread waiting in follow() returns None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef journal_getset[] = {
    {"closed", journal_get_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int journal_type_ready(PyObject *module) noexcept {
    journal_type.tp_name = "varquin._core.Journal";
    journal_type.tp_basicsize = sizeof(journal_object);
    journal_type.tp_flags = Py_TPFLAGS_DEFAULT;
    journal_type.tp_doc =
        "Journal(root=None, *, terms=None)\n--\n\nThe local journal (or that of the system "
        "installed "
        "at `root`), reading the entries that match one of `terms` (each a list of FIELD=value "
        "str that must all hold; every entry when none).";
    journal_type.tp_new = journal_new;
    journal_type.tp_dealloc = journal_dealloc;
    journal_type.tp_methods = journal_methods;
    journal_type.tp_getset = journal_getset;
    return add_type(module, &journal_type, "Journal");
}

}  // namespace vq::core
