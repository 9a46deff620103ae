#include "vq_error_handling.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <type_traits>

// glibc's strerror_r is the GNU form under _GNU_SOURCE (which g++ always
// defines); the XSI form, which always writes into the buffer and returns an
// int, is exported as __xpg_strerror_r.
#if defined(__GLIBC__)
extern "C" int __xpg_strerror_r(int errnum, char *buf, size_t buflen) noexcept;
#define vq_xsi_strerror_r __xpg_strerror_r
#else
#define vq_xsi_strerror_r strerror_r
#endif

extern "C" {
vq_error_codes_t vq_error_code = VQ_NO_ERROR;
char *sd_error = nullptr;
}

namespace {

// Guards vq_error_code and sd_error together, so that a code and its detail
// text are always recorded and read as one, and a detail text is freed once.
// A leaf lock: nothing else is taken while it is held and it is held only for
// a few instructions, so it may be taken with or without the interpreter lock.
std::mutex g_error_lock;

constexpr std::string_view strings[VQ_ERROR_MAX] = {
    "",
    "bus value is NULL",
    "func arg is NULL",
    "Failed to parse response message",
    "Failed to connect to system bus",
    "Failed to get property",
    "User data is null",
    "Failed to parse parameters",
    "Failed to process bus",
    "Failed to wait bus",
    "Failed to issue method call",
    "Failed to acquire service name",
    "Failed to call method",
    "Failed to add object vtable",
    "Failed to reply method return",
    "Failed to run python function",
    "Failed to get bus file descriptor",
    "Failed to call epoll_create()",
    "Failed to call epoll_ctl()",
};

using code_number = std::underlying_type_t<vq_error_codes_t>;

// The recorded code as a plain number.  A native caller may have recorded a
// number outside the enumeration, and reading that as a vq_error_codes_t
// would be undefined: the bytes are read as the underlying integer instead.
// Must be called with g_error_lock held.
code_number recorded_code_locked() noexcept {
    code_number code;
    std::memcpy(&code, &vq_error_code, sizeof code);
    return code;
}

// The message row for the code `err`.  Codes outside the table can only
// come from native callers; they read as the empty row.
const char *enum_to_str(code_number err) noexcept {
    const auto row = static_cast<std::make_unsigned_t<code_number>>(err);  // negatives: outside
    return row < VQ_ERROR_MAX ? strings[row].data() : strings[0].data();
}

// Must be called with g_error_lock held; returns the detail text to free
// once the lock is dropped.
char *take_detail_locked() noexcept {
    char *old = sd_error;
    sd_error = nullptr;
    return old;
}

}  // namespace

extern "C" void set_vq_error(vq_error_codes_t err) noexcept {
    std::lock_guard lock(g_error_lock);
    vq_error_code = err;
}

extern "C" void set_vq_error_msg(vq_error_codes_t er_code, const char *err) noexcept {
    // Copy before taking the lock and free after dropping it.  A copy that
    // cannot be made records the code without a detail text.
    char *copy = err ? strdup(err) : nullptr;
    char *old;
    {
        std::lock_guard lock(g_error_lock);
        vq_error_code = er_code;
        old = take_detail_locked();
        sd_error = copy;
    }
    std::free(old);
}

extern "C" int vq_has_error(void) noexcept {
    std::lock_guard lock(g_error_lock);
    return recorded_code_locked() != VQ_NO_ERROR ? 1 : 0;
}

extern "C" void vq_clean_error(void) noexcept {
    char *old;
    {
        std::lock_guard lock(g_error_lock);
        vq_error_code = VQ_NO_ERROR;
        old = take_detail_locked();
    }
    std::free(old);
}

extern "C" void vq_error_init(void) noexcept {}

extern "C" char *get_last_error(int code) noexcept {
    // The error number is minus the caller's status.  Negating in unsigned
    // arithmetic keeps INT_MIN defined: it stays INT_MIN, an unknown number.
    const int errnum = static_cast<int>(0u - static_cast<unsigned>(code));
    char strerr_buf[1024] = {};
    (void)vq_xsi_strerror_r(errnum, strerr_buf, sizeof strerr_buf);

    char *old;
    char *buf;
    {
        std::lock_guard lock(g_error_lock);
        const char *vq_err_str = enum_to_str(recorded_code_locked());
        const size_t msg_len = std::strlen(vq_err_str);
        if (sd_error) {
            const size_t size = msg_len + std::strlen(sd_error) + 1024;
            buf = static_cast<char *>(std::calloc(size, 1));
            if (buf)
                std::snprintf(buf, size, "%s, %s, %s", vq_err_str, sd_error, strerr_buf);
        } else {
            const size_t size = msg_len + 1024;
            buf = static_cast<char *>(std::calloc(size, 1));
            if (buf)
                std::snprintf(buf, size, "%s, %s", vq_err_str, strerr_buf);
        }
        // Without memory for the text the state is kept, so that the cause
        // can still be read once memory is available again.
        if (!buf)
            return nullptr;
        vq_error_code = VQ_NO_ERROR;
        old = take_detail_locked();
    }
    std::free(old);
    return buf;
}
