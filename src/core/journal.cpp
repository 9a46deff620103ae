#include "core/journal.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

#include "core/args.hpp"
#include "core/errors.hpp"
#include "core/journal_write.hpp"
#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {
namespace {

// One entry as read, before it becomes Python objects: its receive time
// (µs since the epoch), its cursor and its fields in the journal's order,
// each as the journal holds it ("NAME=value", the value any bytes) with the
// length of its name.
struct raw_entry {
    uint64_t usec = 0;
    std::string cursor;
    std::vector<std::pair<std::string, size_t>> fields;
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
    bool matched = false;  // whether matches were added (boots() needs none)
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
    char *cursor = nullptr;
    if ((r = sd_journal_get_cursor(j, &cursor)) < 0)
        return r;
    out.cursor = heap_str(cursor).get();
    const void *data;
    size_t size;
    sd_journal_restart_data(j);
    while ((r = sd_journal_enumerate_data(j, &data, &size)) > 0) {
        const char *text = static_cast<const char *>(data);
        const void *eq = std::memchr(text, '=', size);
        if (!eq)
            continue;
        const size_t name = static_cast<size_t>(static_cast<const char *>(eq) - text);
        out.fields.emplace_back(std::string(text, size), name);
    }
    return r;
}

// Whether the journal stands on the entry of `cursor`.  `lock` held.
bool at_cursor(sd_journal *j, const std::string &cursor) noexcept {
    return !cursor.empty() && sd_journal_test_cursor(j, cursor.c_str()) > 0;
}

// The str of a field's name, made once per batch: the same few dozen names
// recur in every entry.  Interpreter lock held.
class name_cache {
public:
    PyObject *get(const char *text, size_t size) noexcept {
        std::string key(text, size);
        auto found = names_.find(key);
        if (found != names_.end())
            return found->second.get();
        py_ref name(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "replace"));
        if (!name)
            return nullptr;
        PyObject *borrowed = name.get();
        names_.emplace(std::move(key), std::move(name));
        return borrowed;
    }

private:
    std::unordered_map<std::string, py_ref> names_;
};

// One entry as the Python tuple (usec, fields, cursor, binary): `fields`
// maps each name to its value decoded as UTF-8 (undecodable bytes
// replaced), `binary` the names of the values that are not UTF-8 to their
// bytes (None when every value is).  A name given several times keeps its
// last value.  Interpreter lock held.
PyObject *entry_to_python(const raw_entry &entry, name_cache &names) noexcept {
    py_ref fields(PyDict_New());
    if (!fields)
        return nullptr;
    py_ref binary;
    for (const auto &[data, name_size] : entry.fields) {
        PyObject *name = names.get(data.data(), name_size);
        if (!name)
            return nullptr;
        const char *value = data.data() + name_size + 1;
        const auto size = static_cast<Py_ssize_t>(data.size() - name_size - 1);
        py_ref text(PyUnicode_DecodeUTF8(value, size, nullptr));
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
                return nullptr;
            PyErr_Clear();
            text.reset(PyUnicode_DecodeUTF8(value, size, "replace"));
            py_ref bytes(PyBytes_FromStringAndSize(value, size));
            if (!text || !bytes || (!binary && !(binary = py_ref(PyDict_New()))) ||
                PyDict_SetItem(binary.get(), name, bytes.get()) < 0)
                return nullptr;
        } else if (binary && PyDict_DelItem(binary.get(), name) < 0) {
            // A later value of the same name that is UTF-8 replaces a binary one.
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                return nullptr;
            PyErr_Clear();
        }
        if (PyDict_SetItem(fields.get(), name, text.get()) < 0)
            return nullptr;
    }
    py_ref usec(PyLong_FromUnsignedLongLong(entry.usec));
    py_ref cursor(PyUnicode_FromStringAndSize(entry.cursor.data(),
                                              static_cast<Py_ssize_t>(entry.cursor.size())));
    if (!usec || !cursor)
        return nullptr;
    PyObject *tuple = PyTuple_New(4);
    if (!tuple)
        return nullptr;
    PyTuple_SET_ITEM(tuple, 0, usec.release());
    PyTuple_SET_ITEM(tuple, 1, fields.release());
    PyTuple_SET_ITEM(tuple, 2, cursor.release());
    PyTuple_SET_ITEM(tuple, 3, binary ? binary.release() : Py_NewRef(Py_None));
    return tuple;
}

// The list of `entries` as entry_to_python makes them.  Interpreter lock held.
PyObject *entries_to_python(const std::vector<raw_entry> &entries) noexcept {
    py_ref list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list)
        return nullptr;
    name_cache names;
    for (size_t i = 0; i < entries.size(); ++i) {
        PyObject *item = entry_to_python(entries[i], names);
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

// One match term: every match of it must hold (matches of the same field:
// one of them).  A condition: one of its terms must hold.
using term = std::vector<std::string>;
using condition = std::vector<term>;

// Adds the conditions that must all hold.  `lock` held, or the record not
// yet shared.
int add_conditions(sd_journal *j, const std::vector<condition> &all) noexcept {
    for (const auto &c : all) {
        for (size_t i = 0; i < c.size(); ++i) {
            int r = i > 0 ? sd_journal_add_disjunction(j) : 0;
            for (size_t k = 0; r >= 0 && k < c[i].size(); ++k)
                r = sd_journal_add_match(j, c[i][k].data(), c[i][k].size());
            if (r < 0)
                return r;
        }
        int r = c.empty() ? 0 : sd_journal_add_conjunction(j);
        if (r < 0)
            return r;
    }
    return 0;
}

// A match, "FIELD=value" as str or bytes.  False with an exception set.
bool parse_match(PyObject *m, std::string &out) noexcept {
    char *text = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(m)) {
        if (PyBytes_AsStringAndSize(m, &text, &size) < 0)
            return false;
    } else if (PyUnicode_Check(m)) {
        const char *utf8 = PyUnicode_AsUTF8AndSize(m, &size);
        if (!utf8)
            return false;
        text = const_cast<char *>(utf8);
    } else {
        PyErr_Format(PyExc_TypeError, "a match must be a str or bytes, not %.200s",
                     Py_TYPE(m)->tp_name);
        return false;
    }
    const char *eq = static_cast<const char *>(std::memchr(text, '=', static_cast<size_t>(size)));
    if (!eq || eq == text) {
        PyErr_Format(PyExc_ValueError, "match %R is not FIELD=value", m);
        return false;
    }
    out.assign(text, static_cast<size_t>(size));
    return true;
}

// A condition from a list of terms, each a list of matches; empty terms are
// left out.  False with an exception set.
bool parse_condition(PyObject *terms, condition &out) noexcept {
    static const char *const shape = "terms must be a list of lists of matches";
    py_ref seq(PySequence_Fast(terms, shape));
    if (!seq)
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        py_ref items(PySequence_Fast(PySequence_Fast_GET_ITEM(seq.get(), i), shape));
        if (!items)
            return false;
        term matches(static_cast<size_t>(PySequence_Fast_GET_SIZE(items.get())));
        for (size_t k = 0; k < matches.size(); ++k)
            if (!parse_match(PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(k)),
                             matches[k]))
                return false;
        if (!matches.empty())
            out.push_back(std::move(matches));
    }
    return true;
}

PyObject *journal_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs) noexcept {
    static const char *keywords[] = {"root", "terms", "conditions", nullptr};
    PyObject *root = Py_None, *terms = nullptr, *conditions = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OO:Journal", const_cast<char **>(keywords),
                                     &root, &terms, &conditions))
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
    // The matches: `terms` is one condition, `conditions` a list of them; an
    // entry is read when every condition holds.
    std::vector<condition> wanted;
    if (terms && terms != Py_None) {
        condition c;
        if (!parse_condition(terms, c))
            return nullptr;
        wanted.push_back(std::move(c));
    }
    if (conditions && conditions != Py_None) {
        py_ref seq(PySequence_Fast(conditions, "conditions must be a list of lists of terms"));
        if (!seq)
            return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            condition c;
            if (!parse_condition(PySequence_Fast_GET_ITEM(seq.get(), i), c))
                return nullptr;
            wanted.push_back(std::move(c));
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
        if (r >= 0)
            r = add_conditions(rec->j, wanted);
        rec->matched = std::any_of(wanted.begin(), wanted.end(),
                                   [](const condition &c) { return !c.empty(); });
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

// What read() selects: entries received at or after `since` and at or
// before `until` (µs since the epoch; 0: no bound), after the entry of
// `after` (a cursor; empty: none), the last `lines` of them (every one when
// negative).
struct selection {
    long long lines = -1;
    uint64_t since = 0;
    uint64_t until = 0;
    std::string after;
    bool bad_cursor = false;  // set when `after` is not a cursor
};

// Positions the journal at `cursor`; sd-journal's -EINVAL there can only
// mean that `cursor` is not one: `bad` says so.  `lock` held.
int seek_cursor(sd_journal *j, const std::string &cursor, bool &bad) noexcept {
    const int r = sd_journal_seek_cursor(j, cursor.c_str());
    bad = r == -EINVAL;
    return r;
}

// After a failed step: ValueError instead of the step's error when the
// cursor was not one.  Returns null.
PyObject *cursor_error(bool bad) noexcept {
    if (bad) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "not a journal cursor");
    }
    return nullptr;
}

// Backwards from the upper bound: only the entries asked for are read.
// `lock` held.
int read_last(sd_journal *j, const selection &s, std::deque<raw_entry> &kept) noexcept {
    int r = s.until ? sd_journal_seek_realtime_usec(j, s.until + 1) : sd_journal_seek_tail(j);
    while (r >= 0 && static_cast<long long>(kept.size()) < s.lines &&
           (r = sd_journal_previous(j)) > 0) {
        uint64_t usec;
        if ((r = sd_journal_get_realtime_usec(j, &usec)) < 0)
            break;
        if (s.until && usec > s.until)
            continue;
        if (usec < s.since)
            break;
        raw_entry e;
        if ((r = read_entry(j, e)) < 0)
            break;
        kept.push_front(std::move(e));
    }
    return r;
}

// Forwards from the lower bound to the upper one, keeping the last `lines`.
// `lock` held.
int read_range(sd_journal *j, selection &s, std::deque<raw_entry> &kept) noexcept {
    int r = !s.after.empty() ? seek_cursor(j, s.after, s.bad_cursor)
            : s.since        ? sd_journal_seek_realtime_usec(j, s.since)
                             : sd_journal_seek_head(j);
    while (r >= 0 && (r = sd_journal_next(j)) > 0) {
        if (at_cursor(j, s.after))
            continue;
        uint64_t usec;
        if ((r = sd_journal_get_realtime_usec(j, &usec)) < 0)
            break;
        if (s.until && usec > s.until)
            break;
        if (usec < s.since)
            continue;
        raw_entry e;
        if ((r = read_entry(j, e)) < 0)
            break;
        kept.push_back(std::move(e));
        if (s.lines >= 0 && static_cast<long long>(kept.size()) > s.lines)
            kept.pop_front();
    }
    return r;
}

// A cursor argument (str, or None for none) into `out`.  False with an
// exception set.
bool parse_cursor(PyObject *arg, std::string &out) noexcept {
    if (!arg || arg == Py_None)
        return true;
    Py_ssize_t size;
    const char *text = PyUnicode_Check(arg) ? PyUnicode_AsUTF8AndSize(arg, &size) : nullptr;
    if (!text) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "a cursor must be a str, not %.200s",
                         Py_TYPE(arg)->tp_name);
        return false;
    }
    if (size == 0 || std::strlen(text) != static_cast<size_t>(size)) {
        PyErr_Format(PyExc_ValueError, "%R is not a journal cursor", arg);
        return false;
    }
    out.assign(text, static_cast<size_t>(size));
    return true;
}

// read(lines=-1, since=0, until=0, after=None) -> [(usec, fields, cursor,
// binary), ...] in the journal's order: the selection above.
PyObject *journal_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) noexcept {
    static const char *const names[] = {"lines", "since", "until", "after"};
    PyObject *slots[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!parse_arguments("read", args, nargs, kwnames, args + nargs, names, 4, 2, 0, slots))
        return nullptr;
    selection s;
    s.lines = slots[0] ? PyLong_AsLongLong(slots[0]) : -1;
    s.since = slots[1] ? PyLong_AsUnsignedLongLong(slots[1]) : 0;
    s.until = slots[2] ? PyLong_AsUnsignedLongLong(slots[2]) : 0;
    if (PyErr_Occurred() || !parse_cursor(slots[3], s.after))
        return nullptr;
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    std::vector<raw_entry> out;
    bool done = locked_step(rec, "cannot read the journal", [&](sd_journal *j) {
        std::deque<raw_entry> kept;
        const int r =
            s.lines >= 0 && s.after.empty() ? read_last(j, s, kept) : read_range(j, s, kept);
        out.assign(std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));
        return r;
    });
    return done ? entries_to_python(out) : cursor_error(s.bad_cursor);
}

// seek_cursor(cursor): positions the journal so that follow() reads the
// entries after that of `cursor`.
PyObject *journal_seek_cursor(PyObject *self, PyObject *arg) noexcept {
    std::string cursor;
    if (arg == Py_None)
        return PyErr_Format(PyExc_TypeError, "a cursor must be a str, not None");
    if (!parse_cursor(arg, cursor))
        return nullptr;
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    bool bad = false;
    bool done = locked_step(rec, "cannot seek in the journal", [&cursor, &bad](sd_journal *j) {
        int r = seek_cursor(j, cursor, bad);
        // Stand on the cursor's entry when it is there and matches; on
        // another entry, step back so that follow() reads that one first.
        if (r >= 0 && (r = sd_journal_next(j)) > 0 && !at_cursor(j, cursor))
            r = sd_journal_previous(j);
        return r;
    });
    if (!done)
        return cursor_error(bad);
    Py_RETURN_NONE;
}

// unique(field) -> [value, ...]: the values `field` has in any entry,
// whatever the matches (decoded as UTF-8, undecodable bytes replaced).
PyObject *journal_unique(PyObject *self, PyObject *arg) noexcept {
    Py_ssize_t size;
    const char *field = PyUnicode_Check(arg) ? PyUnicode_AsUTF8AndSize(arg, &size) : nullptr;
    if (!field) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "a field must be a str, not %.200s",
                         Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    if (size == 0 || std::strlen(field) != static_cast<size_t>(size))
        return PyErr_Format(PyExc_ValueError, "%R is not a field name", arg);
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    std::vector<std::string> values;
    bool done = locked_step(rec, "cannot read the journal", [&](sd_journal *j) {
        int r = sd_journal_query_unique(j, field);
        const void *data;
        size_t length;
        const size_t prefix = static_cast<size_t>(size) + 1;
        sd_journal_restart_unique(j);
        while (r >= 0 && (r = sd_journal_enumerate_unique(j, &data, &length)) > 0)
            if (length >= prefix)
                values.emplace_back(static_cast<const char *>(data) + prefix, length - prefix);
        return r;
    });
    if (!done)
        return nullptr;
    py_ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (size_t i = 0; list && i < values.size(); ++i) {
        PyObject *v = PyUnicode_DecodeUTF8(values[i].data(),
                                           static_cast<Py_ssize_t>(values[i].size()), "replace");
        if (!v)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

// One boot in the journal: its id and the receive times of its first and
// last entries.
struct boot_span {
    std::string id;
    uint64_t first = 0, last = 0;
};

// boots() -> [(boot_id, first_usec, last_usec), ...], oldest first: the
// boots the journal has entries of.  Only on a journal without matches: it
// matches each boot in turn.
PyObject *journal_boots(PyObject *self, PyObject *) noexcept {
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    if (rec->matched)
        return PyErr_Format(PyExc_ValueError, "boots() needs a journal opened without matches");
    std::vector<boot_span> boots;
    bool done = locked_step(rec, "cannot read the journal's boots", [&boots](sd_journal *j) {
        std::vector<std::string> ids;
        const void *data;
        size_t length;
        int r = sd_journal_query_unique(j, "_BOOT_ID");
        sd_journal_restart_unique(j);
        while (r >= 0 && (r = sd_journal_enumerate_unique(j, &data, &length)) > 0)
            ids.emplace_back(static_cast<const char *>(data), length);
        for (size_t i = 0; r >= 0 && i < ids.size(); ++i) {
            boot_span b;
            b.id = ids[i].substr(sizeof "_BOOT_ID=" - 1);
            r = sd_journal_add_match(j, ids[i].data(), ids[i].size());
            if (r >= 0 && (r = sd_journal_seek_head(j)) >= 0 && (r = sd_journal_next(j)) > 0)
                r = sd_journal_get_realtime_usec(j, &b.first);
            if (r >= 0 && (r = sd_journal_seek_tail(j)) >= 0 && (r = sd_journal_previous(j)) > 0)
                r = sd_journal_get_realtime_usec(j, &b.last);
            sd_journal_flush_matches(j);
            if (r >= 0 && b.first)
                boots.push_back(std::move(b));
        }
        std::sort(boots.begin(), boots.end(),
                  [](const boot_span &x, const boot_span &y) { return x.first < y.first; });
        return r;
    });
    if (!done)
        return nullptr;
    py_ref list(PyList_New(static_cast<Py_ssize_t>(boots.size())));
    for (size_t i = 0; list && i < boots.size(); ++i) {
        PyObject *item =
            Py_BuildValue("(s#KK)", boots[i].id.data(), static_cast<Py_ssize_t>(boots[i].id.size()),
                          static_cast<unsigned long long>(boots[i].first),
                          static_cast<unsigned long long>(boots[i].last));
        if (!item)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
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

// fileno() -> the descriptor that becomes readable when the journal
// changes (for an event loop; then process() and follow(0)).
PyObject *journal_fileno(PyObject *self, PyObject *) noexcept {
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    int fd = -1;
    if (!locked_step(rec, "cannot watch the journal",
                     [&fd](sd_journal *j) { return fd = sd_journal_get_fd(j); }))
        return nullptr;
    return PyLong_FromLong(fd);
}

// process(): takes in what made the descriptor readable (new entries,
// files added or removed), so that it is not readable again for it.
PyObject *journal_process(PyObject *self, PyObject *) noexcept {
    journal_record *rec = usable(self);
    if (!rec)
        return nullptr;
    int changed = 0;
    if (!locked_step(rec, "cannot watch the journal",
                     [&changed](sd_journal *j) { return changed = sd_journal_process(j); }))
        return nullptr;
    return PyBool_FromLong(changed != SD_JOURNAL_NOP);
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
     "read($self, lines=-1, since=0, *, until=0, after=None)\n--\n\nReturns a list of "
     "(usec, fields, cursor, binary): the last `lines` entries (all when negative) of those "
     "received at or after `since` and at or before `until` (µs since the epoch; 0: no bound), "
     "after the entry of the cursor `after`."},
    {"send", journal_send, METH_O | METH_STATIC,
     "send(items, /)\n--\n\nWrites one entry whose fields are `items`, each NAME=value as "
     "bytes or str."},
    {"seek_cursor", journal_seek_cursor, METH_O,
     "seek_cursor($self, cursor, /)\n--\n\nfollow() then reads the entries after that of "
     "`cursor`."},
    {"unique", journal_unique, METH_O,
     "unique($self, field, /)\n--\n\nReturns the list of values `field` has in any entry, "
     "whatever the matches."},
    {"boots", journal_boots, METH_NOARGS,
     "boots($self, /)\n--\n\nReturns a list of (boot_id, first_usec, last_usec), oldest "
     "first; only on a journal opened without matches."},
    {"seek_tail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(journal_seek_tail)),
     METH_FASTCALL | METH_KEYWORDS,
     "seek_tail($self, back=0)\n--\n\nfollow() then reads the last `back` entries, then new "
     "ones."},
    {"follow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(journal_follow)),
     METH_FASTCALL | METH_KEYWORDS,
     "follow($self, timeout=None, max=64)\n--\n\nReturns a list of (usec, fields, cursor, "
     "binary): the "
     "entries after the position, waiting up to `timeout` seconds for the first; [] when none "
     "came in time, None once closed."},
    {"fileno", journal_fileno, METH_NOARGS,
     "fileno($self, /)\n--\n\nReturns the descriptor that becomes readable when the journal "
     "changes; then call process() and follow(0)."},
    {"process", journal_process, METH_NOARGS,
     "process($self, /)\n--\n\nTakes in the changes that made the descriptor readable; "
     "returns whether there were any."},
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
        "Journal(root=None, *, terms=None, conditions=None)\n--\n\nThe local journal (or that of "
        "the system installed at `root`), reading the entries that match one of `terms` (each a "
        "list of FIELD=value str or bytes that must all hold) and every one of `conditions` (each "
        "a list of such terms, one of which must hold); every entry when neither is given.";
    journal_type.tp_new = journal_new;
    journal_type.tp_dealloc = journal_dealloc;
    journal_type.tp_methods = journal_methods;
    journal_type.tp_getset = journal_getset;
    return add_type(module, &journal_type, "Journal");
}

}  // namespace vq::core
