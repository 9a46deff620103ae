#include "core/daemon.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include "core/args.hpp"
#include "core/errors.hpp"
#include "gil.hpp"
#include "owners.hpp"
#include "py_ref.hpp"

namespace vq::core {
namespace {

// A function of the libsystemd this module is linked with, looked up at run
// time because it is newer than the oldest library the module supports;
// null when that library lacks it.  The module is loaded with RTLD_LOCAL, so
// its dependencies are not in the global scope: the library is found through
// a function it certainly has (under whatever file name a wheel gave it) and
// opened again without loading anything.
template <class F>
F library_function(const char *name) noexcept {
    static void *const library = []() noexcept -> void * {
        Dl_info info;
        if (!dladdr(reinterpret_cast<void *>(&sd_listen_fds), &info) || !info.dli_fname)
            return nullptr;
        return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    }();
    return library ? reinterpret_cast<F>(dlsym(library, name)) : nullptr;
}

using listen_fds_with_names_fn = int (*)(int, char ***);

// The filesystem of pidfds on kernels that give each process a unique inode
// number (6.9 and newer): there the inode number identifies the process.
constexpr long pidfs_magic = 0x50494446;

// Whether $LISTEN_PIDFDID, when the manager set it, names this process: the
// manager sets it beside $LISTEN_PID so that a process reusing the PID does
// not take the descriptors.  True when it is not set or cannot be checked
// here (no pidfs); false when it names another process.
bool pidfd_id_is_ours(const char *text) noexcept {
    char *end = nullptr;
    errno = 0;
    const unsigned long long wanted = std::strtoull(text, &end, 10);
    if (errno || end == text || *end)
        return false;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
    if (pidfd < 0)
        return true;
    struct statfs fs;
    struct stat st;
    bool ours = true;
    if (fstatfs(pidfd, &fs) == 0 && static_cast<long>(fs.f_type) == pidfs_magic &&
        fstat(pidfd, &st) == 0)
        ours = static_cast<unsigned long long>(st.st_ino) == wanted;
    ::close(pidfd);
    return ours;
}

// The names in $LISTEN_FDNAMES (split at ':'), or `n` times "unknown" when it
// is not set, as libsystemd names them; -EINVAL when the count differs.
int names_from_environment(int n, std::vector<std::string> &names) noexcept {
    const char *text = getenv("LISTEN_FDNAMES");
    if (!text) {
        names.assign(static_cast<size_t>(n), "unknown");
        return 0;
    }
    std::string all(text);
    size_t start = 0;
    for (;;) {
        const size_t colon = all.find(':', start);
        names.emplace_back(all.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return static_cast<int>(names.size()) == n ? 0 : -EINVAL;
}

// The descriptors for this process (from 3 on) and their names: the
// library's own reading where it has one, ours otherwise.  The count, or a
// negative errno.
int passed_descriptors(bool lookup, std::vector<std::string> &names) noexcept {
    const char *pidfd_id = getenv("LISTEN_PIDFDID");
    if (pidfd_id && getenv("LISTEN_PID") && !pidfd_id_is_ours(pidfd_id))
        return 0;
    const auto with_names =
        lookup ? library_function<listen_fds_with_names_fn>("sd_listen_fds_with_names") : nullptr;
    if (!with_names) {
        const int n = sd_listen_fds(0);
        return n > 0 ? (names_from_environment(n, names) < 0 ? -EINVAL : n) : n;
    }
    char **list = nullptr;
    const int n = with_names(0, &list);
    if (list) {
        for (char **name = list; *name; ++name) {
            names.emplace_back(*name);
            std::free(*name);
        }
        std::free(list);
    }
    if (n > 0 && static_cast<int>(names.size()) != n)
        names.assign(static_cast<size_t>(n), "unknown");
    return n;
}

}  // namespace

PyObject *daemon_notify(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) noexcept {
    static const char *const names[] = {"state", "fds"};
    PyObject *slots[2] = {};
    if (!parse_arguments("notify", args, nargs, kwnames, args + nargs, names, 2, 2, 1, slots))
        return nullptr;
    if (!PyUnicode_Check(slots[0]))
        return PyErr_Format(PyExc_TypeError, "state must be str, not %s",
                            Py_TYPE(slots[0])->tp_name);
    Py_ssize_t size = 0;
    const char *state = PyUnicode_AsUTF8AndSize(slots[0], &size);
    if (!state)
        return nullptr;
    if (std::strlen(state) != static_cast<size_t>(size))
        return PyErr_Format(PyExc_ValueError, "state contains a NUL character");
    std::vector<int> fds;
    if (slots[1]) {
        py_ref seq(PySequence_Fast(slots[1], "fds must be a sequence of descriptors"));
        if (!seq)
            return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            const long fd = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.get(), i));
            if (fd == -1 && PyErr_Occurred())
                return nullptr;
            if (fd < 0 || fd > INT_MAX)
                return PyErr_Format(PyExc_ValueError, "%ld is not a descriptor", fd);
            fds.push_back(static_cast<int>(fd));
        }
    }
    // `state` stays valid without the interpreter lock: the caller's
    // reference keeps the string alive.  The send can wait while the
    // manager's queue is full.
    int r;
    {
        gil_released unlocked;
        r = sd_pid_notify_with_fds(0, 0, state, fds.empty() ? nullptr : fds.data(),
                                   static_cast<unsigned>(fds.size()));
    }
    if (r < 0)
        return raise_errno(r, "cannot notify the service manager");
    return PyBool_FromLong(r > 0);
}

PyObject *daemon_listen_fds(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                            PyObject *kwnames) noexcept {
    static const char *const keywords[] = {"lookup"};
    PyObject *slots[1] = {};
    if (!parse_arguments("listen_fds", args, nargs, kwnames, args + nargs, keywords, 1, 1, 0,
                         slots))
        return nullptr;
    const int lookup = slots[0] ? PyObject_IsTrue(slots[0]) : 1;
    if (lookup < 0)
        return nullptr;
    // The environment is read with the interpreter lock held, as Python
    // code changes it (os.environ) only while holding it.
    std::vector<std::string> names;
    const int n = passed_descriptors(lookup != 0, names);
    if (n < 0)
        return raise_errno(n, "cannot read the descriptors passed by the service manager");
    py_ref list(PyList_New(n));
    if (!list)
        return nullptr;
    for (int i = 0; i < n; ++i) {
        PyObject *item =
            Py_BuildValue("(is)", SD_LISTEN_FDS_START + i, names[static_cast<size_t>(i)].c_str());
        if (!item)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

PyObject *daemon_watchdog_usec(PyObject *, PyObject *) noexcept {
    uint64_t usec = 0;
    const int r = sd_watchdog_enabled(0, &usec);
    if (r < 0)
        return raise_errno(r, "cannot read the watchdog's period");
    return PyLong_FromUnsignedLongLong(r > 0 ? usec : 0);
}

}  // namespace vq::core
