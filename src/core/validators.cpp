#include "core/marshal.hpp"

#include <cstring>

namespace vq::core {

namespace {

constexpr size_t max_signature = 255;
constexpr int max_array_depth = 32;
constexpr int max_struct_depth = 32;

bool is_basic(char c) noexcept {
    switch (c) {
    case 'y':
    case 'b':
    case 'n':
    case 'q':
    case 'i':
    case 'u':
    case 'x':
    case 't':
    case 'd':
    case 'h':
    case 's':
    case 'o':
    case 'g':
        return true;
    default:
        return false;
    }
}

// Length of the complete type at `s`, 0 when invalid.  `arrays` and
// `structs` are the enclosing depths (dict entries count as structs).
size_t type_length(std::string_view s, int arrays, int structs) noexcept {
    if (s.empty())
        return 0;
    const char c = s[0];
    if (is_basic(c) || c == 'v')
        return 1;
    if (c == 'a') {
        if (arrays + 1 > max_array_depth)
            return 0;
        if (s.size() > 1 && s[1] == '{') {
            // A dict entry: a basic key and one complete value.
            if (structs + 1 > max_struct_depth || s.size() < 5 || !is_basic(s[2]))
                return 0;
            const size_t value = type_length(s.substr(3), arrays + 1, structs + 1);
            if (value == 0 || 3 + value >= s.size() || s[3 + value] != '}')
                return 0;
            return 4 + value;
        }
        const size_t element = type_length(s.substr(1), arrays + 1, structs);
        return element ? 1 + element : 0;
    }
    if (c == '(') {
        if (structs + 1 > max_struct_depth)
            return 0;
        size_t at = 1;
        while (at < s.size() && s[at] != ')') {
            const size_t field = type_length(s.substr(at), arrays, structs + 1);
            if (field == 0)
                return 0;
            at += field;
        }
        if (at >= s.size() || at == 1)  // unterminated, or an empty struct
            return 0;
        return at + 1;
    }
    return 0;
}

bool name_element_char(char c, bool first, bool digits_first) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
           ((!first || digits_first) && c >= '0' && c <= '9');
}

// Dotted names: interface names, well-known bus names (which also allow
// '-'), unique names (elements may start with a digit).
bool dotted_name_is_valid(std::string_view name, bool dashes, bool digits_first) noexcept {
    if (name.empty() || name.size() > 255)
        return false;
    int elements = 0;
    bool first = true;
    for (char c : name) {
        if (c == '.') {
            if (first)
                return false;
            first = true;
            continue;
        }
        if (!(name_element_char(c, first, digits_first) || (dashes && c == '-')))
            return false;
        if (first)
            ++elements;
        first = false;
    }
    return !first && elements >= 2;
}

}  // namespace

// --- Names and signatures ----------------------------------------------------------

size_t complete_type_length(std::string_view sig) noexcept { return type_length(sig, 0, 0); }

bool signature_is_valid(std::string_view sig) noexcept {
    if (sig.size() > max_signature)
        return false;
    while (!sig.empty()) {
        const size_t n = complete_type_length(sig);
        if (n == 0)
            return false;
        sig.remove_prefix(n);
    }
    return true;
}

size_t complete_type_count(std::string_view sig) noexcept {
    size_t count = 0;
    while (!sig.empty()) {
        const size_t n = complete_type_length(sig);
        if (n == 0)
            break;
        sig.remove_prefix(n);
        ++count;
    }
    return count;
}

bool object_path_is_valid(std::string_view path) noexcept {
    if (path.empty() || path[0] != '/')
        return false;
    if (path.size() == 1)
        return true;
    bool slash = true;
    for (size_t i = 1; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '/') {
            if (slash)
                return false;
            slash = true;
        } else if (name_element_char(c, false, true)) {
            slash = false;
        } else {
            return false;
        }
    }
    return !slash;
}

bool interface_name_is_valid(std::string_view name) noexcept {
    return dotted_name_is_valid(name, false, false);
}

bool member_name_is_valid(std::string_view name) noexcept {
    if (name.empty() || name.size() > 255)
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (!name_element_char(name[i], i == 0, false))
            return false;
    return true;
}

bool bus_name_is_valid(std::string_view name) noexcept {
    if (!name.empty() && name[0] == ':')
        return dotted_name_is_valid(name.substr(1), true, true) && name.size() <= 255;
    return dotted_name_is_valid(name, true, false);
}

const char *name_argument(PyObject *obj, const char *what, bool (*valid)(std::string_view),
                          bool none_allowed) noexcept {
    if (obj == Py_None && none_allowed)
        return nullptr;
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", what, Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text)
        return nullptr;
    if (std::strlen(text) != static_cast<size_t>(size) ||
        (valid && !valid(std::string_view(text, static_cast<size_t>(size))))) {
        PyErr_Format(PyExc_ValueError, "%s %R is not valid", what, obj);
        return nullptr;
    }
    return text;
}

}  // namespace vq::core
