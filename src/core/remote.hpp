// Another host's system bus over SSH.  ssh runs systemd-stdio-bridge on the
// host, which relays the bus over ssh's standard input and output (the
// command sd-bus's own remote transport runs); ssh's standard error goes to
// a private file instead of the terminal, and a connection that fails says
// why with the file's last line ("ssh: Could not resolve hostname ...").
#pragma once

#include <string>

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

// The unixexec address that runs `ssh -xT [-p PORT] -- [USER@]HOST
// systemd-stdio-bridge` with ssh's standard error into `log`, for `host`
// given as '[user@]host[:port]' ('[user@][v6-address][:port]' for an IPv6
// address).  Empty when `host` is not of that form.
std::string ssh_address(const char *host, const std::string &log);

// `text` as D-Bus writes values in addresses: bytes other than
// [-0-9A-Za-z_/.*] as %XX.
std::string address_escape(const char *text);

}  // namespace vq::core
