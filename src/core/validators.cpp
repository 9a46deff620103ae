#include "core/marshal.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "py_ref.hpp"

namespace vq::core {

// --- The types ---------------------------------------------------------------------

// Each D-Bus type as Python sees it.  The basic types first, then the
// variant, then the containers by the prefix of their code ("ay" before
// "a", which it also starts with).
constexpr type_name type_table[] = {
    {"y", true, "int", "an unsigned 8-bit integer"},
    {"b", true, "bool", "a bool"},
    {"n", true, "int", "a signed 16-bit integer"},
    {"q", true, "int", "an unsigned 16-bit integer"},
    {"i", true, "int", "a signed 32-bit integer"},
    {"u", true, "int", "an unsigned 32-bit integer"},
    {"x", true, "int", "a signed 64-bit integer"},
    {"t", true, "int", "an unsigned 64-bit integer"},
    {"d", true, "float", "a float"},
    {"h", true, "int", "a file descriptor (int)"},
    {"s", true, "str", "a str"},
    {"o", true, "str", "an object path (str)"},
    {"g", true, "str", "a signature (str)"},
    {"v", false, "typing.Any", "a varquin.Variant"},
    {"ay", false, "bytes", "bytes"},
    {"a{", false, "dict", "a mapping"},
    {"a", false, "list", "an iterable"},
    {"(", false, "tuple", "a tuple"},
};

std::span<const type_name> type_names() noexcept { return type_table; }

const type_name *type_name_of(std::string_view type) noexcept {
    for (const auto &t : type_table)
        if (type.starts_with(t.code))
            return &t;
    return nullptr;
}

namespace {

constexpr size_t max_signature = 255;
constexpr int max_array_depth = 32;
constexpr int max_struct_depth = 32;

// The table by byte, for the codes that are a complete type by themselves:
// 1 for a basic type, 2 for the variant, 0 for anything else.
constexpr std::array<uint8_t, 256> single_codes = [] {
    std::array<uint8_t, 256> table{};
    for (const auto &t : type_table)
        if (t.basic || t.code == "v")
            table[static_cast<unsigned char>(t.code[0])] = t.basic ? 1 : 2;
    return table;
}();

bool is_basic(char c) noexcept { return single_codes[static_cast<unsigned char>(c)] == 1; }

constexpr size_t bad = std::string_view::npos;

// Where the complete type that starts at `sig[at]` ends (one past it), or
// `bad`, with what is wrong and where in `why` when it is given.  `arrays`
// and `structs` are the enclosing depths (dict entries count as structs).
size_t type_end(std::string_view sig, size_t at, int arrays, int structs,
                signature_problem *why) noexcept {
    using kind = signature_problem::kind;
    auto fail = [why](kind what, size_t where) noexcept {
        if (why)
            *why = {what, where};
        return bad;
    };
    if (at >= sig.size())
        return fail(kind::ends_early, at);
    const char c = sig[at];
    if (single_codes[static_cast<unsigned char>(c)] != 0)
        return at + 1;
    switch (c) {
    case 'a': {
        if (arrays == max_array_depth)
            return fail(kind::arrays_too_deep, at);
        if (at + 1 >= sig.size() || sig[at + 1] != '{')
            return type_end(sig, at + 1, arrays + 1, structs, why);
        // A dict entry: a basic key and one complete value, then '}'.
        if (structs == max_struct_depth)
            return fail(kind::structs_too_deep, at);
        if (at + 2 >= sig.size() || !is_basic(sig[at + 2]))
            return fail(kind::dict_key, at + 1);
        const size_t end = type_end(sig, at + 3, arrays + 1, structs + 1, why);
        if (end == bad)
            return bad;
        if (end >= sig.size() || sig[end] != '}')
            return fail(kind::dict_entry_shape, at + 1);
        return end + 1;
    }
    case '(': {
        if (structs == max_struct_depth)
            return fail(kind::structs_too_deep, at);
        if (at + 1 < sig.size() && sig[at + 1] == ')')
            return fail(kind::empty_struct, at);
        size_t end = at + 1;
        while (end < sig.size() && sig[end] != ')') {
            end = type_end(sig, end, arrays, structs + 1, why);
            if (end == bad)
                return bad;
        }
        if (end >= sig.size())
            return fail(kind::unclosed_struct, at);
        return end + 1;
    }
    case '{':
        return fail(kind::bare_dict_entry, at);
    case ')':
    case '}':
        return fail(kind::closes_nothing, at);
    default:
        return fail(kind::not_a_type, at);
    }
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

size_t complete_type_length(std::string_view sig) noexcept {
    // Most types a call meets are one code: measured without the walk.
    if (!sig.empty() && single_codes[static_cast<unsigned char>(sig[0])] != 0)
        return 1;
    const size_t end = type_end(sig, 0, 0, 0, nullptr);
    return end == bad ? 0 : end;
}

bool split_signature(std::string_view sig, std::vector<std::string_view> *types,
                     signature_problem *why) noexcept {
    if (sig.size() > max_signature) {
        if (why)
            *why = {signature_problem::kind::too_long, 0};
        return false;
    }
    size_t at = 0;
    while (at < sig.size()) {
        const size_t end = type_end(sig, at, 0, 0, why);
        if (end == bad)
            return false;
        if (types)
            types->push_back(sig.substr(at, end - at));
        at = end;
    }
    return true;
}

bool signature_is_valid(std::string_view sig) noexcept {
    return split_signature(sig, nullptr, nullptr);
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

PyObject *signature_problem_text(std::string_view sig, const signature_problem &why) noexcept {
    using kind = signature_problem::kind;
    const auto at = static_cast<Py_ssize_t>(why.at);
    // The character a reason names, as repr() shows it: the whole UTF-8
    // sequence there ('' past the end).  Everything before it is ASCII, as
    // the scan stops at the first byte that is not a type code, so its byte
    // offset is also its index in the str.
    auto char_at = [&](size_t i) noexcept -> PyObject * {
        size_t n = i < sig.size() ? 1 : 0;
        while (i + n < sig.size() && (static_cast<unsigned char>(sig[i + n]) & 0xc0) == 0x80)
            ++n;
        return PyUnicode_DecodeUTF8(sig.data() + std::min(i, sig.size()),
                                    static_cast<Py_ssize_t>(n), "replace");
    };
    switch (why.what) {
    case kind::too_long:
        return PyUnicode_FromString("it is longer than 255 bytes");
    case kind::ends_early:
        return PyUnicode_FromString("it ends where a type is expected");
    case kind::arrays_too_deep:
        return PyUnicode_FromString("arrays nest deeper than 32");
    case kind::structs_too_deep:
        return PyUnicode_FromString("structs and dict entries nest deeper than 32");
    case kind::empty_struct:
        return PyUnicode_FromFormat("the struct at %zd is empty", at);
    case kind::unclosed_struct:
        return PyUnicode_FromFormat("the struct opened at %zd is not closed", at);
    case kind::dict_entry_shape:
        return PyUnicode_FromFormat("the dict entry at %zd holds one key and one value, then '}'",
                                    at);
    case kind::bare_dict_entry:
        return PyUnicode_FromFormat(
            "a dict entry (at %zd) is only the element of an array: 'a{..}'", at);
    case kind::dict_key:
    case kind::closes_nothing:
    case kind::not_a_type:
    case kind::none:
        break;
    }
    py_ref c(char_at(why.what == kind::dict_key ? why.at + 1 : why.at));
    if (!c)
        return nullptr;
    if (why.what == kind::dict_key)
        return PyUnicode_FromFormat("the key of the dict entry at %zd must be a basic type, not %R",
                                    at, c.get());
    return PyUnicode_FromFormat(why.what == kind::closes_nothing ? "%R at %zd closes nothing"
                                                                 : "%R at %zd is not a type code",
                                c.get(), at);
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
    std::string_view text;
    if (!text_argument(obj, what, text))
        return nullptr;
    if (text.find('\0') != std::string_view::npos || (valid && !valid(text))) {
        PyErr_Format(PyExc_ValueError, "%s %R is not valid", what, obj);
        return nullptr;
    }
    return text.data();  // NUL-terminated: the str's own UTF-8 buffer
}

}  // namespace vq::core
