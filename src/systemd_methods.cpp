#include "systemd_methods.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "connect.hpp"
#include "owners.hpp"
#include "vq_error_handling.hpp"

namespace {

// Where a call goes.
struct target {
    const char *destination;
    const char *path;
    const char *interface;
};

constexpr target manager{"org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                         "org.freedesktop.systemd1.Manager"};
constexpr target hostnamed{"org.freedesktop.hostname1", "/org/freedesktop/hostname1",
                           "org.freedesktop.hostname1"};
constexpr target timedated{"org.freedesktop.timedate1", "/org/freedesktop/timedate1",
                           "org.freedesktop.timedate1"};
constexpr target logind{"org.freedesktop.login1", "/org/freedesktop/login1",
                        "org.freedesktop.login1.Manager"};

constexpr char properties_interface[] = "org.freedesktop.DBus.Properties";
constexpr char unit_path_prefix[] = "/org/freedesktop/systemd1/unit/";

// Runs `use(bus)` on the client connection, holding the connection's lock
// for the whole use so that no other thread's call, reply read or close
// interleaves.  Without a connection the result is 0: the failed open has
// recorded FAILED_TO_CONNECT_TO_SYSTEM_BUS, and nothing is sent.  A
// connection that the bus closed meanwhile is dropped afterwards.
template <class F>
int with_client_bus(F &&use) noexcept {
    vq::bus_guard lock(vq::client_bus_lock());
    sd_bus *bus = acquire_client_bus();
    const int ok = bus ? use(bus) : 0;
    vq::drop_client_bus_if_closed();
    return ok;
}

// One blocking method call, keeping the reply in `reply` when one is asked
// for.  A failed call records `failure` with the bus error's message as the
// detail text (no detail when the error carries no message) and gives 0.
template <class... Args>
int call_method(sd_bus *bus, const target &to, const char *member, vq_error_codes_t failure,
                vq::message_ptr *reply, const char *types, Args... args) noexcept {
    vq::bus_error error;
    sd_bus_message *m = nullptr;
    const int r = sd_bus_call_method(bus, to.destination, to.path, to.interface, member, &error,
                                     reply ? &m : nullptr, types, args...);
    if (reply)
        reply->reset(m);
    if (r < 0) {
        set_vq_error_msg(failure, error.message);
        return 0;
    }
    return 1;
}

// A call whose reply only says that it worked: the manager's Reload and the
// setters of hostnamed, timedated and logind.
template <class... Args>
int call_for_success(const target &to, const char *member, const char *types,
                     Args... args) noexcept {
    return with_client_bus([&](sd_bus *bus) {
        return call_method(bus, to, member, FAILED_TO_CALL_METHOD, nullptr, types, args...);
    });
}

// Puts a heap copy of `s` into *slot; a null `s` leaves the slot as it is,
// and so does a copy that cannot be made.
void copy_into(char **slot, const char *s) noexcept {
    if (s)
        *slot = strdup(s);
}

// Reads one value of the string-like `type` ("s", "o") from `reply` into a
// heap copy at *out and gives 1; a failed read records FAILED_TO_PARSE_REPLY
// and gives 0.  A read that yields no string leaves *out as it is.
int read_copy(sd_bus_message *reply, const char *type, char **out) noexcept {
    const char *value = nullptr;
    if (sd_bus_message_read(reply, type, &value) < 0) {
        set_vq_error(FAILED_TO_PARSE_REPLY);
        return 0;
    }
    copy_into(out, value);
    return 1;
}

// The unit file calls differ only in these.
struct unit_file_call {
    const char *member;
    // "asbb" members take force after runtime; "asb" members do not.
    const char *types;
    // EnableUnitFiles answers (b, a(sss)): whether the unit carries install
    // information, then the changes.  The others answer a(sss).
    bool leading_boolean;
};

constexpr unit_file_call enable_call{"EnableUnitFiles", "asbb", true};
constexpr unit_file_call disable_call{"DisableUnitFiles", "asb", false};
constexpr unit_file_call mask_call{"MaskUnitFiles", "asbb", false};
constexpr unit_file_call unmask_call{"UnmaskUnitFiles", "asb", false};

// Asks the manager for one unit file change and copies the first entry of
// the changes it reports into return_data[0..2] (type, file name, link
// destination).
int change_unit_files(const unit_file_call &call, const char *unit_name,
                      char **return_data) noexcept {
    return with_client_bus([&](sd_bus *bus) {
        vq::message_ptr reply;
        // A string array of one element, runtime = false, force = false.
        // sd-bus takes as many arguments as the signature names, so the
        // second false goes unread for the "asb" members.
        if (!call_method(bus, manager, call.member, FAILED_TO_ISSUE_METHOD_CALL, &reply, call.types,
                         1, unit_name, 0, 0))
            return 0;
        sd_bus_message *m = reply.get();
        if (call.leading_boolean) {
            // Read past it; its value does not change the result.
            int carries_install_info = -1;
            (void)sd_bus_message_read(m, "b", &carries_install_info);
        }
        const char *type = nullptr;
        const char *path = nullptr;
        const char *source = nullptr;
        if (sd_bus_message_enter_container(m, 'a', "(sss)") < 0 ||
            sd_bus_message_read(m, "(sss)", &type, &path, &source) < 0) {
            set_vq_error(FAILED_TO_PARSE_REPLY);
            return 0;
        }
        // An empty array (nothing changed) reads as 0 and gives no strings.
        copy_into(&return_data[0], type);
        copy_into(&return_data[1], path);
        copy_into(&return_data[2], source);
        // Only the first change is reported, but one unit may bring several
        // (an Alias= link besides the WantedBy= link), and sd-bus refuses to
        // leave an array whose entries were not all read: skip the rest.
        while (sd_bus_message_skip(m, "(sss)") > 0) {
        }
        return sd_bus_message_exit_container(m) >= 0 ? 1 : 0;
    });
}

// The slot of the unit state property `name`, or -1 for any other property.
int state_slot(const char *name) noexcept {
    static constexpr const char *names[] = {"LoadState", "ActiveState", "SubState"};
    for (int i = 0; i < 3; ++i)
        if (std::strcmp(name, names[i]) == 0)
            return i;
    return -1;
}

// Reads the unit's properties from a GetAll reply, a{sv}, into the three
// state slots; properties of any other name or type are skipped.
int read_unit_states(sd_bus_message *m, char **return_data) noexcept {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
        set_vq_error(FAILED_TO_PARSE_REPLY);
        return 0;
    }
    // Each pass enters one entry and leaves it fully read; a status of 0
    // means the end of the array.
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char *name = nullptr;
        const char *contents = nullptr;
        (void)sd_bus_message_read(m, "s", &name);
        if (sd_bus_message_peek_type(m, nullptr, &contents) <= 0 || !contents)
            break;  // a broken entry: leaving the array below then fails
        (void)sd_bus_message_enter_container(m, 'v', contents);
        const int slot = contents[0] == 's' && name ? state_slot(name) : -1;
        if (slot >= 0) {
            const char *s = nullptr;
            if (sd_bus_message_read(m, "s", &s) > 0 && s) {
                // A reply that names a property twice: the later value wins,
                // and the earlier copy is not leaked.
                std::free(return_data[slot]);
                return_data[slot] = nullptr;
                copy_into(&return_data[slot], s);
            }
        } else {
            (void)sd_bus_message_skip(m, contents);
        }
        (void)sd_bus_message_exit_container(m);  // the variant
        (void)sd_bus_message_exit_container(m);  // the entry
    }
    return sd_bus_message_exit_container(m) >= 0 ? 1 : 0;
}

// The unit's object path: the prefix and the escaped name.  Null when
// memory is exhausted.
char *unit_object_path(const char *unit_name) noexcept {
    vq::heap_str label(bus_label_escape(unit_name));
    if (!label)
        return nullptr;
    const size_t prefix_len = sizeof unit_path_prefix - 1;
    const size_t label_len = std::strlen(label.get());
    char *path = static_cast<char *>(std::malloc(prefix_len + label_len + 1));
    if (!path)
        return nullptr;
    std::memcpy(path, unit_path_prefix, prefix_len);
    std::memcpy(path + prefix_len, label.get(), label_len + 1);
    return path;
}

bool is_ascii_letter(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_ascii_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

// ---------------------------------------------------------------------------
// The manager.

extern "C" int daemon_reload(void) noexcept { return call_for_success(manager, "Reload", nullptr); }

extern "C" int unit_control(const char *unit_name, const char *action,
                            char **return_data) noexcept {
    return with_client_bus([&](sd_bus *bus) {
        vq::message_ptr reply;
        // A null action names no member; sd-bus refuses to build the call
        // and says so in the error record, which is recorded like a refusal.
        if (!call_method(bus, manager, action, FAILED_TO_ISSUE_METHOD_CALL, &reply, "ss", unit_name,
                         "replace"))
            return 0;
        return read_copy(reply.get(), "o", return_data);
    });
}

// ---------------------------------------------------------------------------
// Host settings and power.  The boolean sent with hostnamed's setters,
// SetTimezone, Reboot and PowerOff is the interactive-authorisation flag,
// always false; the one sent with SetWallMessage enables the message.

extern "C" int set_hostname(const char *method, const char *value) noexcept {
    // A null value goes out as the empty string (sd-bus appends null "s"
    // values that way).
    return call_for_success(hostnamed, method, "sb", value, 0);
}

extern "C" int get_hostname(const char *attr, char **ret) noexcept {
    return with_client_bus([&](sd_bus *bus) {
        vq::bus_error error;
        vq::message_ptr reply;
        // A failed read, a missing property and a value that is not a string
        // all fail here, and only the code is recorded.
        if (sd_bus_get_property(bus, hostnamed.destination, hostnamed.path, hostnamed.interface,
                                attr, &error, vq::out(reply), "s") < 0) {
            set_vq_error(FAILED_TO_GET_PROPERTY);
            return 0;
        }
        return read_copy(reply.get(), "s", ret);
    });
}

extern "C" int set_wall_message(const char *wall_message) noexcept {
    return call_for_success(logind, "SetWallMessage", "sb", wall_message, 1);
}

extern "C" int logind_method(const char *method, const char *wall_message) noexcept {
    return with_client_bus([&](sd_bus *) {
        // The lock is held across both calls, so no other call of this
        // process comes between the wall message and the request.  The
        // request goes ahead whether the wall message was taken or not.
        if (wall_message)
            (void)set_wall_message(wall_message);
        return call_for_success(logind, method, "b", 0);
    });
}

extern "C" int set_timezone(const char *timezone) noexcept {
    return call_for_success(timedated, "SetTimezone", "sb", timezone, 0);
}

extern "C" int machine_reboot(const char *wall_message) noexcept {
    return logind_method("Reboot", wall_message);
}

extern "C" int machine_poweroff(const char *wall_message) noexcept {
    return logind_method("PowerOff", wall_message);
}

// ---------------------------------------------------------------------------
// Unit files.

extern "C" int unit_enable(const char *unit_name, char **return_data) noexcept {
    return change_unit_files(enable_call, unit_name, return_data);
}

extern "C" int unit_disable(const char *unit_name, char **return_data) noexcept {
    return change_unit_files(disable_call, unit_name, return_data);
}

extern "C" int unit_mask(const char *unit_name, char **return_data) noexcept {
    return change_unit_files(mask_call, unit_name, return_data);
}

extern "C" int unit_unmask(const char *unit_name, char **return_data) noexcept {
    return change_unit_files(unmask_call, unit_name, return_data);
}

// ---------------------------------------------------------------------------
// Unit status.

extern "C" char hexchar(int x) noexcept {
    static constexpr char table[] = "0123456789abcdef";
    return table[x & 15];
}

extern "C" char *bus_label_escape(const char *s) noexcept {
    if (!s)
        return nullptr;
    if (!*s)
        return strdup("_");
    const size_t n = std::strlen(s);
    if (n > (SIZE_MAX - 1) / 3)
        return nullptr;
    char *r = static_cast<char *>(std::malloc(3 * n + 1));
    if (!r)
        return nullptr;
    char *t = r;
    for (size_t i = 0; i < n; ++i) {
        // Bytes of 0x80 and above count by their unsigned value, so each
        // byte of a multi-byte character is escaped by itself.
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (is_ascii_letter(c) || (i > 0 && is_ascii_digit(c))) {
            *t++ = static_cast<char>(c);
        } else {
            *t++ = '_';
            *t++ = hexchar(c >> 4);
            *t++ = hexchar(c);
        }
    }
    *t = '\0';
    return r;
}

extern "C" int unit_status(const char *unit_name, char **return_data) noexcept {
    // Without memory for the path nothing is sent: the call would go to a
    // wrong object.  No error code fits, so the state stays as it was and
    // the result alone tells the failure.
    vq::heap_str path(unit_object_path(unit_name));
    if (!path)
        return 0;
    const target unit{manager.destination, path.get(), properties_interface};
    return with_client_bus([&](sd_bus *bus) {
        vq::message_ptr reply;
        // The empty interface name asks for the properties of every
        // interface of the unit's object.
        if (!call_method(bus, unit, "GetAll", FAILED_TO_ISSUE_METHOD_CALL, &reply, "s", ""))
            return 0;
        return read_unit_states(reply.get(), return_data);
    });
}
