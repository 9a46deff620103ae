#include "core/journal_write.hpp"

#include <cstring>
#include <vector>

#include <sys/uio.h>

// Without this, sd_journal_sendv is a macro that adds this file's own
// CODE_FILE, CODE_LINE and CODE_FUNC to every entry beside the caller's.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include "core/errors.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace vq::core {
namespace {

// Whether journald keeps a field a client names so: 1 to 64 of A-Z, 0-9
// and _, not starting with a digit, nor with _ (the fields journald adds
// itself; it drops such names when a client sends them).
bool field_name_valid(const char *name, size_t size) noexcept {
    if (size == 0 || size > 64 || name[0] == '_' || (name[0] >= '0' && name[0] <= '9'))
        return false;
    for (size_t i = 0; i < size; ++i) {
        const char c = name[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    }
    return true;
}

}  // namespace

PyObject *journal_send(PyObject *, PyObject *items) noexcept {
    py_ref seq(PySequence_Fast(items, "send() takes a list of NAME=value items"));
    if (!seq)
        return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    if (count == 0 || count > 1024)
        return PyErr_Format(PyExc_ValueError, "an entry has 1 to 1024 fields, not %zd", count);
    // The buffers stay valid while `seq` holds the items (a str keeps its
    // UTF-8 form once made).
    std::vector<struct iovec> iov(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(seq.get(), i);
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_Check(item)) {
            if (PyBytes_AsStringAndSize(item, &data, &size) < 0)
                return nullptr;
        } else if (PyUnicode_Check(item)) {
            const char *utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (!utf8)
                return nullptr;
            data = const_cast<char *>(utf8);
        } else {
            return PyErr_Format(PyExc_TypeError, "a field must be bytes or str, not %.200s",
                                Py_TYPE(item)->tp_name);
        }
        const void *eq = std::memchr(data, '=', static_cast<size_t>(size));
        const size_t name = eq ? static_cast<size_t>(static_cast<const char *>(eq) - data) : 0;
        if (!eq || !field_name_valid(data, name))
            return PyErr_Format(PyExc_ValueError,
                                "invalid journal field %.80R: a name is 1 to 64 of A-Z, 0-9 and "
                                "_, not starting with a digit or _",
                                item);
        iov[static_cast<size_t>(i)] = {data, static_cast<size_t>(size)};
    }
    int r;
    {
        gil_released unlocked;
        r = sd_journal_sendv(iov.data(), static_cast<int>(count));
    }
    if (r < 0)
        return raise_errno(r, "cannot write to the journal");
    Py_RETURN_NONE;
}

}  // namespace vq::core
