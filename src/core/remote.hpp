// Another host's system bus over SSH.  ssh runs systemd-stdio-bridge on the
// host, which relays the bus over ssh's standard input and output (the
// command sd-bus's own remote transport runs); ssh's standard error goes to
// a private file instead of the terminal, and a connection that fails says
// why with the file's last line ("ssh: Could not resolve hostname ...").
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vq::core {

// A private file for ssh's standard error, removed when this goes (ssh may
// go on writing to it, unseen).
class ssh_log {
public:
    ssh_log() noexcept;
    ~ssh_log();
    ssh_log(const ssh_log &) = delete;
    ssh_log &operator=(const ssh_log &) = delete;

    // Empty when the file could not be made (errno set).
    const std::string &path() const noexcept { return path_; }
    // The last line with text in it, without its line end; empty if none.
    std::string last_line() const;

private:
    std::string path_;
};

// What a host string means.  A D-Bus address ('unix:path=...',
// 'tcp:host=...,port=...'; entries separated by ';') is opened as it is;
// anything else names a host reached over SSH:
//   host, host:port, user@host, user@host:port
//   [v6-address], [v6-address]:port, user@[v6-address]:port
//   a bare IPv6 address (two or more ':', no port: '::1', 'fe80::1%eth0')
// as ssh itself reads them: the port goes to `-p`, the brackets go.
struct ssh_host {
    std::string_view user;  // empty when not given (the '@' is not part of it)
    std::string_view name;  // a host name or an IPv6 address, without brackets
    std::string_view port;  // 1 to 65535 in decimal; empty when not given
};

// Whether `text` has the form of a D-Bus address: entries separated by
// ';', each `transport:` followed by key=value pairs separated by ','
// (none for some transports).  Whether the transport is one sd-bus knows is
// left to sd-bus.
bool is_address(std::string_view text) noexcept;

// `text` read as a host for SSH; false when it is not of one of the forms
// above.  The parts point into `text`.
bool parse_host(std::string_view text, ssh_host &host) noexcept;

// ssh's command line up to the remote command:
// ssh -xT [-p PORT] -- [USER@]HOST.
std::vector<std::string> ssh_argv(const ssh_host &host);

// The unixexec address that runs ssh_argv(host) with systemd-stdio-bridge
// as the remote command (`systemd-stdio-bridge --user` for the user's own
// bus there, where the login's user manager is), ssh's standard error going
// into `log`.
std::string ssh_address(const ssh_host &host, const std::string &log, bool user);

// `text` as D-Bus writes values in addresses: bytes other than
// [-0-9A-Za-z_/.*] as %XX.
std::string address_escape(const char *text);

}  // namespace vq::core
