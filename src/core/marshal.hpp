// Python values <-> D-Bus values, by signature, both ways.
//
// Writing is split in two so that the interpreter lock and the connection
// lock are never held together: with the interpreter lock, a `plan` is built
// from Python values (every value is checked here, and every refusal names
// its position and the expected type); then, without the interpreter lock
// and under the connection lock, the plan is appended to a message.  The
// plan holds references to the objects whose buffers it points into, and
// gives them back when it is cleared or destroyed (interpreter lock held).
//
// Reading needs only the interpreter lock: reading a received message does
// not touch its connection.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <systemd/sd-bus.h>

namespace vq::core {

// --- Names and signatures ------------------------------------------------------

// A D-Bus type as Python sees it: `code` is the type's code, or the
// prefix of a container's ("a{" a dict, "a" any other array, "(" a
// struct); `python` the annotation of the value it arrives as ("int",
// "dict"), `expected` what a value sent as it must be ("a signed 32-bit
// integer").
struct type_name {
    std::string_view code;
    bool basic;  // a basic type: may be a dict entry's key
    const char *python;
    const char *expected;
};
// Every type, the one table the package's names of types come from.
std::span<const type_name> type_names() noexcept;
// The entry of the complete type `type` starts with; null for none.
const type_name *type_name_of(std::string_view type) noexcept;

// Why a signature is not valid, and where: `at` is the byte offset of the
// offending code, of the '(' of a struct or of the '{' of a dict entry (the
// end for a missing type, 0 for a signature too long).  The texts are
// signature_problem_text's.
struct signature_problem {
    enum class kind : uint8_t {
        none,
        too_long,
        ends_early,
        not_a_type,
        closes_nothing,
        bare_dict_entry,
        empty_struct,
        unclosed_struct,
        dict_key,
        dict_entry_shape,
        arrays_too_deep,
        structs_too_deep,
    } what = kind::none;
    size_t at = 0;
};

// The length of the complete type that `sig` starts with, or 0 when it does
// not start with a valid one (nesting limits of D-Bus included).
size_t complete_type_length(std::string_view sig) noexcept;
// Whether `sig` is a valid signature: complete types, at most 255 bytes.
// Its complete types are appended to `types` and, when it is not valid,
// what is wrong is put in `why` (each when given).  Allocates only for
// `types`; out of memory ends the process (the modules' policy).
bool split_signature(std::string_view sig, std::vector<std::string_view> *types,
                     signature_problem *why) noexcept;
bool signature_is_valid(std::string_view sig) noexcept;
// The reason `why` as a str ("'z' at 1 is not a type code"), positions and
// characters as in the str `sig` came from; null with an exception set.
// Interpreter lock held.
PyObject *signature_problem_text(std::string_view sig, const signature_problem &why) noexcept;
// The number of complete types of a valid signature.
size_t complete_type_count(std::string_view sig) noexcept;
bool object_path_is_valid(std::string_view path) noexcept;
bool interface_name_is_valid(std::string_view name) noexcept;
bool member_name_is_valid(std::string_view name) noexcept;
// A unique (":1.42") or well-known ("org.example.Name") bus name.
bool bus_name_is_valid(std::string_view name) noexcept;

// The UTF-8 text of a str argument (NULs and all), or false with TypeError
// naming `what` (or the encoder's error, for a lone surrogate) set.  The
// text lives as long as `obj`.  Interpreter lock held.
// (Inline: every call's names come through here.)
inline bool text_argument(PyObject *obj, const char *what, std::string_view &text) noexcept {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", what, Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8)
        return false;
    text = std::string_view(utf8, static_cast<size_t>(size));
    return true;
}
// The UTF-8 text of a str argument for a name of the kind that `valid`
// checks (null: only that it holds no NUL), or null with ValueError or
// TypeError set naming `what`.  The text
// lives as long as `obj`.  Interpreter lock held.
const char *name_argument(PyObject *obj, const char *what, bool (*valid)(std::string_view),
                          bool none_allowed = false) noexcept;

// --- Writing ---------------------------------------------------------------------

class plan {
public:
    plan() noexcept = default;
    ~plan();  // interpreter lock held
    plan(const plan &) = delete;
    plan &operator=(const plan &) = delete;

    // Appends the values `values[0..n)` for the complete types of `sig`,
    // which must hold exactly n of them (TypeError otherwise).  `label`
    // names the values in messages ("argument" gives "argument 2",
    // "result" gives "result[1]" for n > 1, "result" for n == 1).  Returns
    // false with an exception set.  Interpreter lock held.
    bool add(std::string_view sig, PyObject *const *values, size_t n, const char *label) noexcept;

    // Appends the plan to `m`; 0 or a negative errno.  Without the
    // interpreter lock (the plan's buffers stay valid: the plan holds their
    // owners), under the lock of m's connection.
    int apply(sd_bus_message *m) const noexcept;

    // Gives back the references and buffers.  Interpreter lock held.
    void clear() noexcept;
    bool empty() const noexcept { return ops_.empty(); }

    struct op {
        enum class kind : uint8_t { basic, open, close, array } what;
        char code;  // the type code (container code for open/array)
        uint32_t text_len;  // strings: length; open: offset of contents in arena_
        union {
            int64_t i;
            uint64_t u;
            double d;
            int fd;
            int b;
            const char *text;  // NUL-terminated: a str's UTF-8 buffer
            const void *data;  // array: the bytes
        } v;
        size_t size;  // array: byte count
    };

private:
    // The operations in order: the first few inline, so that the values of
    // a call's arguments are planned without touching the heap.
    class op_list {
    public:
        op_list() noexcept = default;
        op_list(const op_list &) = delete;
        op_list &operator=(const op_list &) = delete;
        void push_back(const op &o) {
            if (size_ == capacity_)
                grow();
            data_[size_++] = o;
        }
        const op *begin() const noexcept { return data_; }
        const op *end() const noexcept { return data_ + size_; }
        bool empty() const noexcept { return size_ == 0; }
        void clear() noexcept { size_ = 0; }

    private:
        void grow() {
            auto bigger = std::make_unique<op[]>(capacity_ * 2);
            std::copy(data_, data_ + size_, bigger.get());
            heap_ = std::move(bigger);
            data_ = heap_.get();
            capacity_ *= 2;
        }
        static constexpr size_t inline_ops = 8;
        op inline_[inline_ops];
        std::unique_ptr<op[]> heap_;
        op *data_ = inline_;
        size_t size_ = 0;
        size_t capacity_ = inline_ops;
    };

    friend class writer;
    op_list ops_;
    std::string arena_;  // NUL-terminated container contents signatures
    std::vector<PyObject *> keep_;  // references owned until clear()
    std::vector<Py_buffer> views_;  // buffers held until clear()
};

// `text` (valid UTF-8) with each Unicode noncharacter replaced by U+FFFD:
// sd-bus refuses a message whose strings hold one, so free text such as an
// error reply's message is sent this way.
std::string without_noncharacters(std::string_view text);

// --- Reading ----------------------------------------------------------------------

// Every value of the message's body, as a tuple (() for none).  Received
// file descriptors are duplicated; the caller owns the copies.  Null with
// an exception set on failure.  Interpreter lock held.
PyObject *read_body(sd_bus_message *m) noexcept;

// One complete type at the message's read position, or null with an
// exception set.  Interpreter lock held.
PyObject *read_value(sd_bus_message *m, std::string_view sig) noexcept;

}  // namespace vq::core
