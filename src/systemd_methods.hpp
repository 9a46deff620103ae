// Client calls to the systemd services over the client connection: the
// manager (reload, unit jobs, unit files, unit status), hostnamed, timedated
// and logind.
//
// Every operation returns 1 for success and 0 for failure and records the
// cause of a failure in the error state.  Strings handed back through an
// out-parameter are malloc'ed copies that the caller frees; an out-parameter
// is only ever written with such a copy, so the caller sets it to null first.
#pragma once

extern "C" {
#pragma GCC visibility push(default)

// The manager.
int daemon_reload(void) noexcept;
// Calls the manager's member `action` with (unit_name, "replace"); on success
// *return_data receives the queued job's object path.
int unit_control(const char *unit_name, const char *action, char **return_data) noexcept;

// hostnamed, logind and timedated.
int set_hostname(const char *method, const char *value) noexcept;
int get_hostname(const char *attr, char **ret) noexcept;
int set_wall_message(const char *wall_message) noexcept;
// Sets the wall message first when it is not null (its failure stays
// recorded but does not stop the request), then calls logind's `method`.
int logind_method(const char *method, const char *wall_message) noexcept;
int set_timezone(const char *timezone) noexcept;
int machine_reboot(const char *wall_message) noexcept;
int machine_poweroff(const char *wall_message) noexcept;

// Unit files.  `return_data` is three slots: the first change's type, file
// name and link destination.
int unit_enable(const char *unit_name, char **return_data) noexcept;
int unit_disable(const char *unit_name, char **return_data) noexcept;
int unit_mask(const char *unit_name, char **return_data) noexcept;
int unit_unmask(const char *unit_name, char **return_data) noexcept;

// Unit status.  `return_data` is three slots: LoadState, ActiveState and
// SubState.
int unit_status(const char *unit_name, char **return_data) noexcept;

// The lowercase hexadecimal digit of the low four bits of `x`.
char hexchar(int x) noexcept;
// `s` as one object path element: ASCII letters, and digits other than a
// leading one, stay; every other byte becomes "_" and two hex digits.  A new
// malloc'ed string, or null when memory is exhausted.
char *bus_label_escape(const char *s) noexcept;

#pragma GCC visibility pop
}  // extern "C"
