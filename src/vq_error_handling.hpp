// The process-wide error state: the code of the last failure and, for failed
// bus calls, the bus library's message as a detail text.
#pragma once

typedef enum vq_error_codes {
    VQ_NO_ERROR = 0,
    BUS_VALUE_IS_NULL = 1,
    FUNC_ARG_IS_NULL = 2,
    FAILED_TO_PARSE_REPLY = 3,
    FAILED_TO_CONNECT_TO_SYSTEM_BUS = 4,
    FAILED_TO_GET_PROPERTY = 5,
    USER_DATA_IS_NULL = 6,
    FAILED_TO_PARSE_PARAMETERS = 7,
    FAILED_TO_PROCESS_BUS = 8,
    FAILED_TO_WAIT_BUS = 9,
    FAILED_TO_ISSUE_METHOD_CALL = 10,
    FAILED_TO_ACQUIRE_SERVICE_NAME = 11,
    FAILED_TO_CALL_METHOD = 12,
    FAILED_TO_ADD_OBJECT_VTABLE = 13,
    FAILED_TO_REPLY_METHOD_RETURN = 14,
    FAILED_TO_RUN_PYTHON_FUNCTION = 15,
    FAILED_TO_GET_SD_FD = 16,
    FAILED_EPOLL_CREATE = 17,
    FAILED_EPOLL_CTL = 18,
    VQ_ERROR_MAX = 19,
} vq_error_codes_t;

extern "C" {
#pragma GCC visibility push(default)

// The state itself, exported so that native code can read it by name.  Both
// are written only under the error state's own lock (see vq_error_handling.cpp).
extern vq_error_codes_t vq_error_code;
extern char *sd_error;

void set_vq_error(vq_error_codes_t err) noexcept;
void set_vq_error_msg(vq_error_codes_t er_code, const char *err) noexcept;
int vq_has_error(void) noexcept;
void vq_clean_error(void) noexcept;
void vq_error_init(void) noexcept;
// The composed last-error text for `code`; the caller frees it.  Clears the state.
char *get_last_error(int code) noexcept;

#pragma GCC visibility pop
}  // extern "C"
