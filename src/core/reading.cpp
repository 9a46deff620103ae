#include "core/marshal.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "core/errors.hpp"
#include "py_ref.hpp"

namespace vq::core {

// --- Reading -----------------------------------------------------------------------

namespace {

// Why sd-bus refused a value of type `code`: it checks each string as it is
// read, and refuses text that is not UTF-8 or holds a Unicode noncharacter
// (which other peers and the bus daemon pass).
const char *refusal(int r, char code) noexcept {
    if (r != -EBADMSG)
        return std::strerror(-r);
    switch (code) {
    case 's':
        return "a string is not valid UTF-8 or holds a Unicode noncharacter "
               "(U+FDD0..U+FDEF, U+xFFFE, U+xFFFF)";
    case 'o':
        return "an object path is not valid";
    case 'g':
        return "a signature is not valid";
    default:
        return "the body does not match its signature";
    }
}

// varquin.BadMessage for a received message whose body cannot be read:
// which message (its kind, member, sender and signature) and why.  Only
// that message is refused; the connection goes on.
PyObject *read_failed(sd_bus_message *m, int r, char code) noexcept {
    uint8_t type = 0;
    (void)sd_bus_message_get_type(m, &type);
    const char *kind = type == SD_BUS_MESSAGE_METHOD_CALL     ? "the call"
                       : type == SD_BUS_MESSAGE_METHOD_RETURN ? "the reply"
                       : type == SD_BUS_MESSAGE_METHOD_ERROR  ? "the error reply"
                                                              : "the signal";
    const char *iface = sd_bus_message_get_interface(m);
    const char *member = sd_bus_message_get_member(m);
    const char *sender = sd_bus_message_get_sender(m);
    const char *sig = sd_bus_message_get_signature(m, 1);
    py_ref text(PyUnicode_FromFormat(
        "cannot read %s%s%s%s%s from %s (signature '%s'): %s", kind, member ? " " : "",
        iface ? iface : "", iface && member ? "." : "", member ? member : "",
        sender ? sender : "a direct peer", sig ? sig : "", refusal(r, code)));
    return text ? raise_bad_message(-r, text.get()) : nullptr;
}

// A NUL-terminated copy of a container's contents signature.
struct contents_text {
    explicit contents_text(std::string_view s) noexcept {
        const size_t n = s.size() < sizeof buf - 1 ? s.size() : sizeof buf - 1;
        std::memcpy(buf, s.data(), n);
        buf[n] = '\0';
    }
    char buf[256];
};

template <class T>
PyObject *fixed_array(const void *data, size_t size, PyObject *(*make)(T)) noexcept {
    const size_t n = size / sizeof(T);
    py_ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list)
        return nullptr;
    const T *items = static_cast<const T *>(data);
    for (size_t i = 0; i < n; ++i) {
        PyObject *item = make(items[i]);
        if (!item)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject *from_i16(int16_t v) { return PyLong_FromLong(v); }
PyObject *from_u16(uint16_t v) { return PyLong_FromLong(v); }
PyObject *from_i32(int32_t v) { return PyLong_FromLong(v); }
PyObject *from_u32(uint32_t v) { return PyLong_FromUnsignedLong(v); }
PyObject *from_i64(int64_t v) { return PyLong_FromLongLong(v); }
PyObject *from_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject *from_double(double v) { return PyFloat_FromDouble(v); }
PyObject *from_bool(int32_t v) { return PyBool_FromLong(v); }

// An array of bytes read one by one (see read_array).
PyObject *read_bytes_one_by_one(sd_bus_message *m) noexcept {
    int r = sd_bus_message_enter_container(m, 'a', "y");
    if (r < 0)
        return read_failed(m, r, 'y');
    py_ref bytes(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!bytes)
        return nullptr;
    uint8_t b = 0;
    while ((r = sd_bus_message_read_basic(m, 'y', &b)) > 0) {
        const Py_ssize_t n = PyByteArray_GET_SIZE(bytes.get());
        if (PyByteArray_Resize(bytes.get(), n + 1) < 0)
            return nullptr;
        PyByteArray_AS_STRING(bytes.get())[n] = static_cast<char>(b);
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return read_failed(m, r, 'y');
    return PyBytes_FromStringAndSize(PyByteArray_AS_STRING(bytes.get()),
                                     PyByteArray_GET_SIZE(bytes.get()));
}

// `whole`: an array of fixed-size values is taken at once where sd-bus can.
PyObject *read_array(sd_bus_message *m, std::string_view type, bool whole = true) noexcept {
    const std::string_view element = type.substr(1);
    if (whole && element.size() == 1 && std::strchr("ybnqiuxtd", element[0])) {
        const void *data = nullptr;
        size_t size = 0;
        const int r = sd_bus_message_read_array(m, element[0], &data, &size);
        // sd-bus gives a whole array only from a message in the host's byte
        // order: one in the other order is read element by element, each
        // value swapped by sd-bus.
        if (r == -EOPNOTSUPP)
            return element[0] == 'y' ? read_bytes_one_by_one(m) : read_array(m, type, false);
        if (r < 0)
            return read_failed(m, r, element[0]);
        switch (element[0]) {
        case 'y':
            return PyBytes_FromStringAndSize(static_cast<const char *>(data),
                                             static_cast<Py_ssize_t>(size));
        case 'b':
            return fixed_array<int32_t>(data, size, from_bool);
        case 'n':
            return fixed_array<int16_t>(data, size, from_i16);
        case 'q':
            return fixed_array<uint16_t>(data, size, from_u16);
        case 'i':
            return fixed_array<int32_t>(data, size, from_i32);
        case 'u':
            return fixed_array<uint32_t>(data, size, from_u32);
        case 'x':
            return fixed_array<int64_t>(data, size, from_i64);
        case 't':
            return fixed_array<uint64_t>(data, size, from_u64);
        default:
            return fixed_array<double>(data, size, from_double);
        }
    }
    const contents_text contents(element);
    int r = sd_bus_message_enter_container(m, 'a', contents.buf);
    if (r < 0)
        return read_failed(m, r, 'a');
    py_ref out;
    if (element[0] == '{') {
        out.reset(PyDict_New());
        if (!out)
            return nullptr;
        const std::string_view entry = element.substr(1, element.size() - 2);
        const contents_text entry_text(entry);
        for (;;) {
            r = sd_bus_message_enter_container(m, 'e', entry_text.buf);
            if (r < 0)
                return read_failed(m, r, 'a');
            if (r == 0)
                break;
            py_ref key(read_value(m, entry.substr(0, 1)));
            if (!key)
                return nullptr;
            py_ref value(read_value(m, entry.substr(1)));
            if (!value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0)
                return nullptr;
            r = sd_bus_message_exit_container(m);
            if (r < 0)
                return read_failed(m, r, 'a');
        }
    } else {
        out.reset(PyList_New(0));
        if (!out)
            return nullptr;
        while ((r = sd_bus_message_at_end(m, 0)) == 0) {
            py_ref item(read_value(m, element));
            if (!item || PyList_Append(out.get(), item.get()) < 0)
                return nullptr;
        }
        if (r < 0)
            return read_failed(m, r, 'a');
    }
    r = sd_bus_message_exit_container(m);
    if (r < 0)
        return read_failed(m, r, 'a');
    return out.release();
}

}  // namespace

PyObject *read_value(sd_bus_message *m, std::string_view type) noexcept {
    const char c = type[0];
    int r;
    switch (c) {
    case 'y': {
        uint8_t v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyLong_FromLong(v);
    }
    case 'b': {
        int v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyBool_FromLong(v);
    }
    case 'n': {
        int16_t v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyLong_FromLong(v);
    }
    case 'q': {
        uint16_t v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyLong_FromLong(v);
    }
    case 'i': {
        int32_t v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyLong_FromLong(v);
    }
    case 'u': {
        uint32_t v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyLong_FromUnsignedLong(v);
    }
    case 'x': {
        int64_t v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyLong_FromLongLong(v);
    }
    case 't': {
        uint64_t v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyLong_FromUnsignedLongLong(v);
    }
    case 'd': {
        double v = 0;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyFloat_FromDouble(v);
    }
    case 'h': {
        int fd = -1;
        if ((r = sd_bus_message_read_basic(m, c, &fd)) < 0)
            return read_failed(m, r, c);
        // The message keeps its own descriptor: the caller gets a copy.
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (copy < 0)
            return PyErr_SetFromErrno(PyExc_OSError);
        PyObject *out = PyLong_FromLong(copy);
        if (!out)
            close(copy);
        return out;
    }
    case 's':
    case 'o':
    case 'g': {
        const char *v = nullptr;
        if ((r = sd_bus_message_read_basic(m, c, &v)) < 0)
            return read_failed(m, r, c);
        return PyUnicode_DecodeUTF8(v, static_cast<Py_ssize_t>(std::strlen(v)), "strict");
    }
    case 'v': {
        char kind = 0;
        const char *contents = nullptr;
        if ((r = sd_bus_message_peek_type(m, &kind, &contents)) < 0)
            return read_failed(m, r, c);
        if (kind != 'v' || !contents)
            return read_failed(m, -EBADMSG, c);
        // `contents` points into the message; copy before the read moves on.
        const contents_text inner(contents);
        if ((r = sd_bus_message_enter_container(m, 'v', inner.buf)) < 0)
            return read_failed(m, r, c);
        py_ref value(read_value(m, inner.buf));
        if (!value)
            return nullptr;
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return read_failed(m, r, c);
        return value.release();
    }
    case '(': {
        const std::string_view inner = type.substr(1, complete_type_length(type) - 2);
        const contents_text text(inner);
        if ((r = sd_bus_message_enter_container(m, 'r', text.buf)) < 0)
            return read_failed(m, r, c);
        py_ref out(PyTuple_New(static_cast<Py_ssize_t>(complete_type_count(inner))));
        if (!out)
            return nullptr;
        std::string_view rest = inner;
        for (Py_ssize_t i = 0; !rest.empty(); ++i) {
            const size_t n = complete_type_length(rest);
            PyObject *item = read_value(m, rest.substr(0, n));
            if (!item)
                return nullptr;
            PyTuple_SET_ITEM(out.get(), i, item);
            rest.remove_prefix(n);
        }
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return read_failed(m, r, c);
        return out.release();
    }
    case 'a':
        return read_array(m, type.substr(0, complete_type_length(type)));
    default:
        return read_failed(m, -EBADMSG, c);
    }
}

PyObject *read_body(sd_bus_message *m) noexcept {
    const char *sig = sd_bus_message_get_signature(m, 1);
    const std::string_view all = sig ? sig : "";
    py_ref out(PyTuple_New(static_cast<Py_ssize_t>(complete_type_count(all))));
    if (!out)
        return nullptr;
    std::string_view rest = all;
    for (Py_ssize_t i = 0; !rest.empty(); ++i) {
        const size_t n = complete_type_length(rest);
        if (n == 0)
            return read_failed(m, -EBADMSG, 0);
        PyObject *item = read_value(m, rest.substr(0, n));
        if (!item)
            return nullptr;
        PyTuple_SET_ITEM(out.get(), i, item);
        rest.remove_prefix(n);
    }
    return out.release();
}

}  // namespace vq::core
