#include "core/remote.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace vq::core {

std::string address_escape(const char *text) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char *c = text; *c; ++c) {
        const auto b = static_cast<unsigned char>(*c);
        if (std::isalnum(b) || std::strchr("-_/.*", b))
            out += *c;
        else
            out += {'%', hex[b >> 4], hex[b & 15]};
    }
    return out;
}

ssh_log::ssh_log() noexcept {
    const char *dir = secure_getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/vq-ssh-XXXXXX";
    const int fd = mkostemp(name.data(), O_CLOEXEC);  // mode 0600: ours alone
    if (fd < 0)
        return;
    ::close(fd);
    path_ = std::move(name);
}

ssh_log::~ssh_log() {
    if (!path_.empty())
        ::unlink(path_.c_str());
}

std::string ssh_log::last_line() const {
    if (path_.empty())
        return {};
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    // The end of the file is enough: ssh says why it gave up last.
    constexpr off_t tail = 16384;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    const off_t from = size > tail ? size - tail : 0;
    std::string text(static_cast<size_t>(size - from), '\0');
    const ssize_t n = size > 0 ? ::pread(fd, text.data(), text.size(), from) : 0;
    ::close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t end = rest.find_last_not_of(" \t\r\n");
        if (end == std::string_view::npos)
            break;
        rest = rest.substr(0, end + 1);
        const size_t start = rest.find_last_of("\r\n");
        const std::string_view line =
            start == std::string_view::npos ? rest : rest.substr(start + 1);
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string_view::npos)
            return std::string(line.substr(first));
        rest = rest.substr(0, start == std::string_view::npos ? 0 : start);
    }
    return {};
}

namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Characters no part of a host may hold: white space and control
// characters (ssh would take them apart or refuse them), and brackets
// outside the pair around an IPv6 address.
bool usable(std::string_view part) noexcept {
    for (char c : part) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b == 0x7f || c == '[' || c == ']')
            return false;
    }
    return !part.empty();
}

// An IPv6 address as ssh passes it to the resolver: hexadecimal groups
// separated by ':' (at least two), an IPv4 tail allowed, then an optional
// '%' and a zone (an interface name).
bool ipv6_like(std::string_view text) noexcept {
    const size_t zone = text.find('%');
    const std::string_view address = text.substr(0, zone);
    if (zone != std::string_view::npos && !usable(text.substr(zone + 1)))
        return false;
    size_t colons = 0;
    for (char c : address) {
        if (c == ':')
            ++colons;
        else if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '.')
            return false;
    }
    return colons >= 2;
}

bool port_valid(std::string_view port) noexcept {
    if (port.empty() || port.size() > 5 || port[0] == '0')
        return false;
    unsigned value = 0;
    for (char c : port) {
        if (!is_digit(c))
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value <= 65535;
}

}  // namespace

bool is_address(std::string_view text) noexcept {
    // A transport's name and a key: letters, digits, '-', '_', '.'.
    auto is_name = [](std::string_view name) {
        for (char c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
                return false;
        return true;
    };
    size_t entries = 0;
    while (!text.empty()) {
        const size_t end = text.find(';');
        std::string_view entry = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (entry.empty())
            continue;  // a trailing ';'
        const size_t colon = entry.find(':');
        if (colon == 0 || colon == std::string_view::npos || !is_name(entry.substr(0, colon)))
            return false;
        std::string_view pairs = entry.substr(colon + 1);
        while (!pairs.empty()) {
            const size_t comma = pairs.find(',');
            const std::string_view pair = pairs.substr(0, comma);
            pairs = comma == std::string_view::npos ? std::string_view() : pairs.substr(comma + 1);
            const size_t eq = pair.find('=');
            if (eq == 0 || eq == std::string_view::npos || !is_name(pair.substr(0, eq)))
                return false;
        }
        ++entries;
    }
    return entries > 0;
}

bool parse_host(std::string_view text, ssh_host &host) noexcept {
    // [user@]: the last '@' ends the user, as ssh splits it.
    const size_t at = text.rfind('@');
    std::string_view user, rest = text;
    if (at != std::string_view::npos) {
        user = text.substr(0, at);
        rest = text.substr(at + 1);
        if (!usable(user))
            return false;
    }
    std::string_view name, port;
    if (!rest.empty() && rest[0] == '[') {
        // [v6-address][:port]
        const size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return false;
        name = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty() && (after[0] != ':' || !port_valid(after.substr(1))))
            return false;
        port = after.empty() ? after : after.substr(1);
        if (!ipv6_like(name))
            return false;
    } else if (const size_t colon = rest.find(':'); colon == std::string_view::npos) {
        name = rest;
    } else if (rest.find(':', colon + 1) != std::string_view::npos) {
        // Two or more ':': a bare IPv6 address, all of it the host.
        name = rest;
        if (!ipv6_like(name))
            return false;
    } else {
        name = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (!port_valid(port))
            return false;
    }
    if (!usable(name))
        return false;
    host = {user, name, port};
    return true;
}

std::vector<std::string> ssh_argv(const ssh_host &host) {
    std::vector<std::string> argv = {"ssh", "-xT"};
    if (!host.port.empty()) {
        argv.emplace_back("-p");
        argv.emplace_back(host.port);
    }
    argv.emplace_back("--");
    std::string target;
    if (!host.user.empty()) {
        target = host.user;
        target += '@';
    }
    target += host.name;
    argv.push_back(std::move(target));
    return argv;
}

std::string ssh_address(const ssh_host &host, const std::string &log, bool user) {
    // sh puts ssh's standard error into the file, then becomes ssh: sd-bus
    // ends and reaps the process it started as ever.
    std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" 2>\"$0\"", log};
    for (auto &arg : ssh_argv(host))
        argv.push_back(std::move(arg));
    argv.emplace_back("systemd-stdio-bridge");
    // The user's bus, named by its path: systemd-stdio-bridge's own --user
    // leaves it on the system bus up to systemd 252 at least (seen on the
    // remote tier: a run meant for root's own manager reached PID 1).  The
    // remote shell expands the runtime folder its login has.
    if (user)
        argv.emplace_back("--bus-path=unix:path=$XDG_RUNTIME_DIR/bus");
    std::string address = "unixexec:path=/bin/sh";
    for (size_t i = 0; i < argv.size(); ++i)
        address += ",argv" + std::to_string(i) + "=" + address_escape(argv[i].c_str());
    return address;
}

}  // namespace vq::core
