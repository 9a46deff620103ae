#include "core/marshal.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "core/state.hpp"
#include "py_ref.hpp"

namespace vq::core {

namespace {

// --- Text of refusals --------------------------------------------------------------

// What a value of `type` must be, in the words of the type table.
const char *describe(std::string_view type) noexcept {
    const type_name *t = type_name_of(type);
    return t ? t->expected : "a value";
}

struct int_range {
    char code;
    long long min;
    unsigned long long max;
};
constexpr int_range int_ranges[] = {
    {'y', 0, 255ULL},     {'n', -32768, 32767ULL},
    {'q', 0, 65535ULL},   {'i', INT32_MIN, static_cast<unsigned long long>(INT32_MAX)},
    {'u', 0, UINT32_MAX}, {'x', INT64_MIN, static_cast<unsigned long long>(INT64_MAX)},
    {'t', 0, UINT64_MAX},
};

const int_range &range_of(char code) noexcept {
    for (const auto &r : int_ranges)
        if (r.code == code)
            return r;
    return int_ranges[0];
}

// The bus daemon disconnects a peer whose message nests containers (arrays,
// structs, dict entries and variants together) deeper than this.
constexpr unsigned max_depth = 64;

// The first Unicode noncharacter (U+FDD0..U+FDEF, U+xFFFE, U+xFFFF) in
// valid UTF-8 text, or 0.  sd-bus refuses them in strings both ways.
uint32_t first_noncharacter(std::string_view text) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    for (; p < end; ++p) {
        if (*p < 0xEF)
            continue;
        uint32_t c;
        if (*p == 0xEF && end - p >= 3) {
            c = (0xFU << 12) | ((p[1] & 0x3FU) << 6) | (p[2] & 0x3FU);
        } else if (*p >= 0xF0 && end - p >= 4) {
            c = ((p[0] & 0x07U) << 18) | ((p[1] & 0x3FU) << 12) | ((p[2] & 0x3FU) << 6) |
                (p[3] & 0x3FU);
        } else {
            continue;
        }
        if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE)
            return c;
    }
    return 0;
}

// The length of the noncharacter's UTF-8 sequence at the start of `text`, or
// 0 when it does not start with one.
size_t noncharacter_at(std::string_view text) noexcept {
    const uint32_t c = first_noncharacter(text.substr(0, text[0] == '\xEF' ? 3 : 4));
    if (!c)
        return 0;
    return c > 0xFFFF ? 4 : 3;
}

// Whether `v` has the attribute `name`: 1, 0, or -1 with the exception its
// lookup raised (only AttributeError means "no").
int has_attribute(PyObject *v, const char *name) noexcept {
    py_ref found(PyObject_GetAttrString(v, name));
    if (found)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
}

}  // namespace

std::string without_noncharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const size_t n = static_cast<unsigned char>(text[0]) >= 0xEF ? noncharacter_at(text) : 0;
        if (n) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(n);
        } else {
            out += text[0];
            text.remove_prefix(1);
        }
    }
    return out;
}

// --- Writing -----------------------------------------------------------------------

// Walks Python values along a signature, recording the plan's operations.
class writer {
public:
    writer(plan &p, const char *label, bool single) noexcept
        : p_(p), label_(label), single_(single) {}

    void set_position(size_t index) noexcept {
        index_ = index;
        path_.clear();
        depth_ = 0;
    }

    // Writes one value for the complete type `type`.
    bool write(std::string_view type, PyObject *v) noexcept {
        const char c = type[0];
        switch (c) {
        case 'y':
        case 'n':
        case 'q':
        case 'i':
        case 'u':
        case 'x':
        case 't':
            return write_int(c, v);
        case 'b': {
            if (!PyLong_Check(v))
                return wrong_type(type, v);
            // An int subclass's __bool__ may raise.
            const int truth = PyObject_IsTrue(v);
            if (truth < 0)
                return false;
            return push_basic(c, [&](plan::op &o) { o.v.b = truth; });
        }
        case 'd': {
            if (!PyFloat_Check(v) && !PyLong_Check(v))
                return wrong_type(type, v);
            const double d = PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred())
                return relabel(PyExc_OverflowError);
            return push_basic(c, [&](plan::op &o) { o.v.d = d; });
        }
        case 'h': {
            const int has_fileno = PyLong_Check(v) ? 1 : has_attribute(v, "fileno");
            if (has_fileno < 0)
                return false;
            if (!has_fileno)
                return wrong_type(type, v);
            const int fd = PyObject_AsFileDescriptor(v);
            if (fd < 0)
                return relabel(PyExc_ValueError);
            return push_basic(c, [&](plan::op &o) { o.v.fd = fd; });
        }
        case 's':
        case 'o':
        case 'g':
            return write_text(c, type, v);
        case 'v':
            return write_variant(type, v);
        case '(':
            return write_struct(type, v);
        case 'a':
            if (type[1] == '{')
                return write_dict(type, v);
            if (type[1] == 'y' && PyObject_CheckBuffer(v))
                return write_bytes(v);
            return write_array(type, v);
        default:
            PyErr_Format(PyExc_ValueError, "%s: invalid type code '%c'", position().c_str(), c);
            return false;
        }
    }

private:
    struct step {
        Py_ssize_t index;  // -1: a dict key follows
        PyObject *key;  // borrowed, alive while the walk lasts
    };

    template <class F>
    bool push_basic(char code, F &&fill) {
        plan::op o{};
        o.what = plan::op::kind::basic;
        o.code = code;
        fill(o);
        p_.ops_.push_back(o);
        return true;
    }

    // One container deeper: a value nested past what the bus carries is
    // refused before anything is sent.
    bool deeper() {
        if (++depth_ <= max_depth)
            return true;
        PyErr_Format(PyExc_ValueError,
                     "%s: nested %u containers deep (variants included), past the bus's "
                     "limit of %u",
                     position().c_str(), depth_, max_depth);
        return false;
    }

    bool enter(char code, uint32_t contents) {
        if (!deeper())
            return false;
        push(plan::op::kind::open, code, contents);
        return true;
    }

    void leave(char code) {
        --depth_;
        push(plan::op::kind::close, code);
    }

    void push(plan::op::kind what, char code, uint32_t contents = 0) {
        plan::op o{};
        o.what = what;
        o.code = code;
        o.text_len = contents;
        p_.ops_.push_back(o);
    }

    // The offset in the arena of `contents` as a NUL-terminated text; one
    // copy per place in a signature, however many elements use it.
    uint32_t contents_offset(std::string_view contents) {
        auto found = offsets_.find(contents.data());
        if (found != offsets_.end())
            return found->second;
        const auto at = static_cast<uint32_t>(p_.arena_.size());
        p_.arena_.append(contents);
        p_.arena_.push_back('\0');
        offsets_.emplace(contents.data(), at);
        return at;
    }

    bool write_int(char c, PyObject *v) {
        if (!PyLong_Check(v))
            return wrong_type(std::string_view(&c, 1), v);
        const int_range &r = range_of(c);
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (s == -1 && PyErr_Occurred())
            return false;
        bool fits;
        unsigned long long u = 0;
        if (overflow > 0 && c == 't') {
            u = PyLong_AsUnsignedLongLong(v);
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                fits = false;
            } else {
                fits = true;
            }
        } else {
            fits = overflow == 0 && s >= r.min &&
                   (s < 0 || static_cast<unsigned long long>(s) <= r.max);
            u = static_cast<unsigned long long>(s);
        }
        if (!fits) {
            PyErr_Format(PyExc_OverflowError, "%s: %R does not fit '%c' (%s: %lld to %llu)",
                         position().c_str(), v, c, describe(std::string_view(&c, 1)), r.min, r.max);
            return false;
        }
        return push_basic(c, [&](plan::op &o) { o.v.u = u; });
    }

    bool write_text(char c, std::string_view type, PyObject *v) {
        if (!PyUnicode_Check(v))
            return wrong_type(type, v);
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(v, &size);
        if (!text) {
            // A lone surrogate: the strict UTF-8 encoder's error, with the
            // position added as a note.
            add_note();
            return false;
        }
        const std::string_view view(text, static_cast<size_t>(size));
        if (view.find('\0') != std::string_view::npos) {
            PyErr_Format(PyExc_ValueError, "%s: a str for '%c' must not contain NUL",
                         position().c_str(), c);
            return false;
        }
        // Only text beyond Latin-1 can hold a noncharacter.
        if (c == 's' && PyUnicode_KIND(v) != PyUnicode_1BYTE_KIND) {
            if (const uint32_t bad = first_noncharacter(view)) {
                char code_point[16];
                std::snprintf(code_point, sizeof code_point, "U+%04X", bad);
                PyErr_Format(PyExc_ValueError,
                             "%s: %s is a Unicode noncharacter, which D-Bus strings cannot "
                             "carry",
                             position().c_str(), code_point);
                return false;
            }
        }
        if ((c == 'o' && !object_path_is_valid(view)) || (c == 'g' && !signature_is_valid(view))) {
            PyErr_Format(PyExc_ValueError, "%s: %R is not a valid %s", position().c_str(), v,
                         c == 'o' ? "object path" : "signature");
            return false;
        }
        Py_INCREF(v);
        p_.keep_.push_back(v);
        plan::op o{};
        o.what = plan::op::kind::basic;
        o.code = c;
        o.v.text = text;
        o.text_len = static_cast<uint32_t>(size);
        p_.ops_.push_back(o);
        return true;
    }

    bool write_variant(std::string_view type, PyObject *v) {
        PyObject *variant = state().variant_type;
        if (!variant || !PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(variant)) ||
            PyTuple_GET_SIZE(v) != 2)
            return wrong_type(type, v);
        PyObject *sig = PyTuple_GET_ITEM(v, 0);
        if (!PyUnicode_Check(sig)) {
            PyErr_Format(PyExc_TypeError, "%s: a Variant's signature must be a str, not %.200s",
                         position().c_str(), Py_TYPE(sig)->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(sig, &size);
        if (!text)
            return false;
        const std::string_view inner(text, static_cast<size_t>(size));
        if (inner.empty() || complete_type_length(inner) != inner.size() ||
            std::strlen(text) != inner.size()) {
            PyErr_Format(PyExc_ValueError,
                         "%s: a Variant's signature must be one complete type, not %R",
                         position().c_str(), sig);
            return false;
        }
        Py_INCREF(sig);  // the arena copy is made now, but the walk reads the text
        p_.keep_.push_back(sig);
        if (!enter('v', contents_offset(inner)) || !write(inner, PyTuple_GET_ITEM(v, 1)))
            return false;
        leave('v');
        return true;
    }

    bool write_struct(std::string_view type, PyObject *v) {
        if (!PyTuple_Check(v))
            return wrong_type(type, v);
        const std::string_view inner = type.substr(1, type.size() - 2);
        const size_t fields = complete_type_count(inner);
        if (static_cast<size_t>(PyTuple_GET_SIZE(v)) != fields) {
            PyErr_Format(PyExc_TypeError, "%s: expected a tuple of %zu items for '%s', got %zd",
                         position().c_str(), fields, std::string(type).c_str(),
                         PyTuple_GET_SIZE(v));
            return false;
        }
        if (!enter('r', contents_offset(inner)))
            return false;
        std::string_view rest = inner;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
            const size_t n = complete_type_length(rest);
            path_.push_back({i, nullptr});
            const bool ok = write(rest.substr(0, n), PyTuple_GET_ITEM(v, i));
            path_.pop_back();
            if (!ok)
                return false;
            rest.remove_prefix(n);
        }
        leave('r');
        return true;
    }

    bool write_bytes(PyObject *v) {
        if (PyUnicode_Check(v))
            return wrong_type("ay", v);
        // The array is one container deeper, although written at once.
        if (!deeper())
            return false;
        --depth_;
        Py_buffer view;
        if (PyObject_GetBuffer(v, &view, PyBUF_SIMPLE) < 0)
            return relabel(PyExc_TypeError);
        p_.views_.push_back(view);
        plan::op o{};
        o.what = plan::op::kind::array;
        o.code = 'y';
        o.v.data = view.buf;
        o.size = static_cast<size_t>(view.len);
        p_.ops_.push_back(o);
        return true;
    }

    bool write_array(std::string_view type, PyObject *v) {
        // A str, bytes or a mapping is never taken as a sequence of
        // elements: each is almost always a mistake for these types.
        if (PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v) || PyDict_Check(v))
            return wrong_type(type, v);
        const std::string_view element = type.substr(1);
        py_ref items(PySequence_Fast(v, ""));
        if (!items) {
            // Not iterable; an error raised while iterating stays as it is.
            if (!PyErr_ExceptionMatches(PyExc_TypeError))
                return false;
            PyErr_Clear();
            return wrong_type(type, v);
        }
        if (!enter('a', contents_offset(element)))
            return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            path_.push_back({i, nullptr});
            // A list may change under a callable run by the walk (an
            // object's __index__): read each item afresh.
            if (i >= PySequence_Fast_GET_SIZE(items.get())) {
                path_.pop_back();
                PyErr_Format(PyExc_RuntimeError, "%s: the sequence changed while it was read",
                             position().c_str());
                return false;
            }
            py_ref item = py_ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
            const bool ok = write(element, item.get());
            path_.pop_back();
            if (!ok)
                return false;
        }
        leave('a');
        return true;
    }

    bool write_dict(std::string_view type, PyObject *v) {
        py_ref pairs;
        const int has_items = PyDict_Check(v) || PyUnicode_Check(v) ? 0 : has_attribute(v, "items");
        if (has_items < 0)
            return false;
        if (PyDict_Check(v)) {
            pairs.reset(PyDict_Items(v));
        } else if (has_items) {
            py_ref items(PyObject_CallMethod(v, "items", nullptr));
            if (!items)
                return false;
            pairs.reset(PySequence_List(items.get()));
        } else {
            return wrong_type(type, v);
        }
        if (!pairs)
            return false;
        const std::string_view entry = type.substr(2, type.size() - 3);  // inside the braces
        const std::string_view key_type = entry.substr(0, 1);
        const std::string_view value_type = entry.substr(1);
        if (!enter('a', contents_offset(type.substr(1))))
            return false;
        const uint32_t entry_at = contents_offset(entry);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
            PyObject *pair = PyList_GET_ITEM(pairs.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_Format(PyExc_TypeError, "%s: items() must give (key, value) pairs",
                             position().c_str());
                return false;
            }
            PyObject *key = PyTuple_GET_ITEM(pair, 0);
            if (!enter('e', entry_at))
                return false;
            path_.push_back({-1, key});
            bool ok = write(key_type, key);
            if (ok)
                ok = write(value_type, PyTuple_GET_ITEM(pair, 1));
            path_.pop_back();
            if (!ok)
                return false;
            leave('e');
        }
        leave('a');
        return true;
    }

    bool wrong_type(std::string_view type, PyObject *v) {
        const size_t n = complete_type_length(type);
        PyErr_Format(PyExc_TypeError, "%s: expected %s for '%s', got %.200s", position().c_str(),
                     describe(type), std::string(type.substr(0, n ? n : 1)).c_str(),
                     Py_TYPE(v)->tp_name);
        return false;
    }

    // Replaces the pending exception by one of `type` whose text names the
    // position, keeping the original text.
    bool relabel(PyObject *type) {
        vq::fetched_exception raised = vq::fetched_exception::take();
        raised.normalize();
        py_ref text(raised.value() ? PyObject_Str(raised.value()) : nullptr);
        PyErr_Clear();
        PyObject *raise_as =
            raised.type() && PyErr_GivenExceptionMatches(raised.type(), PyExc_OverflowError)
                ? PyExc_OverflowError
                : type;
        if (text)
            PyErr_Format(raise_as, "%s: %U", position().c_str(), text.get());
        else
            PyErr_Format(raise_as, "%s: invalid value", position().c_str());
        return false;
    }

    void add_note() {
        vq::saved_exception raised;
        raised.held().normalize();
        if (PyObject *value = raised.held().value()) {
            py_ref note(PyUnicode_FromFormat("at %s", position().c_str()));
            if (note)
                py_ref(PyObject_CallMethod(value, "add_note", "O", note.get()));
        }
    }

    std::string position() const {
        std::string out = label_;
        if (!single_ || std::strcmp(label_, "argument") == 0) {
            if (std::strcmp(label_, "argument") == 0)
                out += " " + std::to_string(index_ + 1);
            else
                out += "[" + std::to_string(index_) + "]";
        }
        for (const step &s : path_) {
            if (s.key) {
                py_ref r(PyObject_Repr(s.key));
                const char *text = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
                if (!text)
                    PyErr_Clear();
                out += "[";
                out += text ? text : "?";
                out += "]";
            } else {
                out += "[" + std::to_string(s.index) + "]";
            }
        }
        return out;
    }

    plan &p_;
    const char *label_;
    bool single_;
    size_t index_ = 0;
    unsigned depth_ = 0;  // containers open around the value being written
    std::vector<step> path_;
    std::unordered_map<const char *, uint32_t> offsets_;
};

plan::~plan() { clear(); }

void plan::clear() noexcept {
    for (PyObject *o : keep_)
        Py_DECREF(o);
    keep_.clear();
    for (Py_buffer &view : views_)
        PyBuffer_Release(&view);
    views_.clear();
    ops_.clear();
    arena_.clear();
}

bool plan::add(std::string_view sig, PyObject *const *values, size_t n,
               const char *label) noexcept {
    // One walk over the signature checks it, counts its complete types and
    // notes where each ends (a call's signature has few: the first 16 are
    // kept, any further ones are measured again while writing).
    constexpr size_t noted = 16;
    uint8_t lengths[noted];
    size_t types = 0;
    bool valid = sig.size() <= 255;
    for (std::string_view rest = sig; valid && !rest.empty(); ++types) {
        const size_t len = complete_type_length(rest);
        valid = len != 0;
        if (types < noted)
            lengths[types] = static_cast<uint8_t>(len);
        rest.remove_prefix(len);
    }
    if (!valid) {
        signature_problem why;
        split_signature(sig, nullptr, &why);
        py_ref reason(signature_problem_text(sig, why));
        if (reason)
            PyErr_Format(PyExc_ValueError, "invalid signature '%s': %S", std::string(sig).c_str(),
                         reason.get());
        return false;
    }
    if (types != n) {
        PyErr_Format(PyExc_TypeError, "signature '%s' takes %zu value%s, %zu given",
                     std::string(sig).c_str(), types, types == 1 ? "" : "s", n);
        return false;
    }
    writer w(*this, label, n == 1);
    for (size_t i = 0; i < n; ++i) {
        const size_t len = i < noted ? lengths[i] : complete_type_length(sig);
        w.set_position(i);
        if (!w.write(sig.substr(0, len), values[i]))
            return false;
        sig.remove_prefix(len);
    }
    return true;
}

int plan::apply(sd_bus_message *m) const noexcept {
    int r = 0;
    for (const op &o : ops_) {
        switch (o.what) {
        case op::kind::basic:
            switch (o.code) {
            case 'y': {
                const uint8_t x = static_cast<uint8_t>(o.v.u);
                r = sd_bus_message_append_basic(m, 'y', &x);
                break;
            }
            case 'n':
            case 'q': {
                const uint16_t x = static_cast<uint16_t>(o.v.u);
                r = sd_bus_message_append_basic(m, o.code, &x);
                break;
            }
            case 'i':
            case 'u': {
                const uint32_t x = static_cast<uint32_t>(o.v.u);
                r = sd_bus_message_append_basic(m, o.code, &x);
                break;
            }
            case 'x':
            case 't':
                r = sd_bus_message_append_basic(m, o.code, &o.v.u);
                break;
            case 'b':
                r = sd_bus_message_append_basic(m, 'b', &o.v.b);
                break;
            case 'd':
                r = sd_bus_message_append_basic(m, 'd', &o.v.d);
                break;
            case 'h':
                r = sd_bus_message_append_basic(m, 'h', &o.v.fd);
                break;
            default:  // s, o, g
                r = sd_bus_message_append_basic(m, o.code, o.v.text);
                break;
            }
            break;
        case op::kind::open:
            r = sd_bus_message_open_container(m, o.code, arena_.data() + o.text_len);
            break;
        case op::kind::close:
            r = sd_bus_message_close_container(m);
            break;
        case op::kind::array:
            r = sd_bus_message_append_array(m, o.code, o.v.data, o.size);
            break;
        }
        if (r < 0)
            return r;
    }
    return 0;
}

}  // namespace vq::core
