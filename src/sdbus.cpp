// Closing the client connection and the generic method call.  The service
// host, declared in sdbus.hpp as well, lives in service_host.cpp.
#include "sdbus.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "connect.hpp"
#include "owners.hpp"
#include "variant.hpp"
#include "vq_error_handling.hpp"

extern "C" void deinit_client(void) noexcept {
    // Under the client lock, so a call running on another thread finishes
    // before its connection is closed.
    vq::bus_guard lock(vq::client_bus_lock());
    client_bus_deinit();
    vq_clean_error();
}

// ---------------------------------------------------------------------------
// Generic method call.

namespace {

// The call always passes exactly two strings behind the caller's input
// signature.  Any signature but one or two string codes would make the
// library read other types from those pointers (an integer from a pointer,
// an array length from a pointer), so nothing else is accepted.
bool input_sig_accepted(const char *sig) noexcept {
    return sig && sig[0] == 's' && (sig[1] == '\0' || (sig[1] == 's' && sig[2] == '\0'));
}

int refuse_call(const char *why) noexcept {
    set_vq_error_msg(FAILED_TO_ISSUE_METHOD_CALL, why);
    return -EINVAL;
}

constexpr char input_sig_refused[] = "send accepts only the input signatures \"s\" and \"ss\"";

// Reads one value per character of output_sig from the reply into `out`.
// `status` is the call's; each read replaces it.  A status of 0 means the
// reply holds no further value: the element stays empty and decoding goes
// on.  A negative one ends decoding.
int decode_reply(sd_bus_message *reply, const char *output_sig, size_t n, variant_t *out,
                 int status) noexcept {
    for (size_t i = 0; i < n; ++i) {
        switch (output_sig[i]) {
        case SD_BUS_TYPE_INT32: {
            int32_t val = -1;
            status = sd_bus_message_read_basic(reply, SD_BUS_TYPE_INT32, &val);
            if (status > 0)
                variant_set_int(&out[i], val);
            break;
        }
        case SD_BUS_TYPE_STRING: {
            const char *text = nullptr;
            status = sd_bus_message_read_basic(reply, SD_BUS_TYPE_STRING, &text);
            if (status > 0 && text)
                variant_set_str(&out[i], text);
            break;
        }
        default:
            // Not decoded: the read position stays, so the next 'i' or 's'
            // reads the value this character stood for.
            continue;
        }
        // The library reports a read past the reply's last value as -ENXIO,
        // like a value of another type; past the end it is a reply that ran
        // out, which is status 0.
        if (status == -ENXIO && sd_bus_message_at_end(reply, 0) > 0)
            status = 0;
        if (status < 0) {
            set_vq_error(FAILED_TO_PARSE_REPLY);
            break;
        }
    }
    return status;
}

}  // namespace

extern "C" int b_client(sd_bus *bus, const char *s_name, const char *s_path, const char *i_name,
                        const char *m_name, const char *input_sig, const char *output_sig,
                        const char *first_arg, const char *second_arg,
                        variant_array_t *return_data) noexcept {
    if (!input_sig_accepted(input_sig))
        return refuse_call(input_sig_refused);
    if (!output_sig || !return_data)
        return refuse_call("no output signature or result array given");
    if (!bus) {
        // Opening the connection has failed (acquire_client_bus recorded it)
        // or a native caller passed none: no call without a connection.
        set_vq_error(FAILED_TO_CONNECT_TO_SYSTEM_BUS);
        return -ENOTCONN;
    }

    vq::bus_error error;
    vq::message_ptr reply;
    // An omitted value goes as the empty string, which is also what the
    // library makes of a null string.
    int r = sd_bus_call_method(bus, s_name, s_path, i_name, m_name, &error, vq::out(reply),
                               input_sig, first_arg ? first_arg : "", second_arg ? second_arg : "");
    if (r < 0) {
        set_vq_error_msg(FAILED_TO_ISSUE_METHOD_CALL, error.message);
        return r;
    }

    const size_t n = std::strlen(output_sig);
    allocate_variant_array(&return_data, n);
    if (n > 0 && !variant_array_is_allocated(*return_data)) {
        // No room for the result: a failure, never a result with unset values.
        set_vq_error(FAILED_TO_PARSE_REPLY);
        return -ENOMEM;
    }
    return decode_reply(reply.get(), output_sig, n, return_data->variants, r);
}

extern "C" int client(const char *s_name, const char *s_path, const char *i_name,
                      const char *m_name, const char *input_sig, const char *output_sig,
                      const char *first_arg, const char *second_arg,
                      variant_array_t *return_data) noexcept {
    // Refused before a connection is opened for it.
    if (!input_sig_accepted(input_sig))
        return refuse_call(input_sig_refused);
    vq::bus_guard lock(vq::client_bus_lock());
    const int r = b_client(acquire_client_bus(), s_name, s_path, i_name, m_name, input_sig,
                           output_sig, first_arg, second_arg, return_data);
    vq::drop_client_bus_if_closed();
    return r;
}
