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

std::string ssh_address(const char *host, const std::string &log) {
    std::string_view text(host);
    // [user@]: the user may not hold '@'; ssh takes the prefix as it is.
    const size_t at = text.rfind('@');
    const std::string_view user = at == std::string_view::npos ? "" : text.substr(0, at + 1);
    std::string_view rest = at == std::string_view::npos ? text : text.substr(at + 1);
    std::string_view name, port;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return {};
        name = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
        if (!rest.empty() && rest[0] != ':')
            return {};
        port = rest.empty() ? "" : rest.substr(1);
        if (rest.size() == 1)
            return {};
    } else {
        const size_t colon = rest.find(':');
        name = rest.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = rest.substr(colon + 1);
            if (port.empty())
                return {};
        }
    }
    if (name.empty() || (at != std::string_view::npos && at == 0))
        return {};
    for (char c : port)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return {};
    for (char c : name)
        if (std::isspace(static_cast<unsigned char>(c)))
            return {};

    // sh puts ssh's standard error into the file, then becomes ssh: sd-bus
    // ends and reaps the process it started as ever.
    std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" 2>\"$0\"", log, "ssh", "-xT"};
    if (!port.empty()) {
        argv.emplace_back("-p");
        argv.emplace_back(port);
    }
    argv.emplace_back("--");
    argv.emplace_back(std::string(user) + std::string(name));
    argv.emplace_back("systemd-stdio-bridge");
    std::string address = "unixexec:path=/bin/sh";
    for (size_t i = 0; i < argv.size(); ++i)
        address += ",argv" + std::to_string(i) + "=" + address_escape(argv[i].c_str());
    return address;
}

}  // namespace vq::core
