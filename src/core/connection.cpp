#include "core/connection.hpp"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <new>
#include <utility>

namespace vq::core {

namespace {

// Messages processed per hold of the lock before it is let go for a moment,
// so that a flood of incoming messages cannot keep senders out.
constexpr int process_batch = 64;

timespec to_monotonic_timespec(steady::time_point t) noexcept {
    // sem_clockwait takes a CLOCK_MONOTONIC timespec; steady_clock is
    // CLOCK_MONOTONIC on Linux.
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

// Forks this process has made since the module was loaded, counted in the
// child by pthread_atfork's handler.  A connection made under another count
// belongs to the parent: its lock may be held by a thread that does not
// exist here, and sd-bus refuses it anyway.
std::atomic<unsigned> fork_count{0};

void count_fork() noexcept { fork_count.fetch_add(1, std::memory_order_relaxed); }

// Milliseconds from now until `t` for poll (rounded up, -1: no limit).
int poll_ms(steady::time_point t) noexcept {
    if (t == steady::time_point::max())
        return -1;
    const auto left = t - steady::now();
    if (left <= steady::duration::zero())
        return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// sd-bus's next timeout (absolute CLOCK_MONOTONIC microseconds) as a point
// of steady_clock.
steady::time_point from_usec(uint64_t usec) noexcept {
    if (usec == UINT64_MAX)
        return steady::time_point::max();
    return steady::time_point(std::chrono::microseconds(usec));
}

}  // namespace

steady::time_point deadline_after(double seconds) noexcept {
    if (seconds < 0 || std::isinf(seconds))
        return steady::time_point::max();
    const auto now = steady::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::duration<double>>(steady::time_point::max() - now);
    if (seconds >= room.count())
        return steady::time_point::max();
    return now +
           std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
}

connection::connection(sd_bus *bus, int wake_fd) noexcept
    : bus_(bus), wake_fd_(wake_fd), born_(fork_count.load(std::memory_order_relaxed)) {}

bool connection::inherited() const noexcept {
    return fork_count.load(std::memory_order_relaxed) != born_;
}

connection *connection::adopt(sd_bus *bus) noexcept {
    // Registered once, before the first connection exists.
    static const int counting = pthread_atfork(nullptr, nullptr, count_fork);
    if (counting != 0) {
        errno = counting;
        return nullptr;
    }
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return nullptr;
    auto *c = new (std::nothrow) connection(bus, fd);
    if (!c) {
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    // The reader waits on one epoll set holding the connection and the
    // wake-up: registered once, not at every wait as poll would.
    int r = (c->epoll_fd_ = epoll_create1(EPOLL_CLOEXEC)) < 0 ? -errno : 0;
    if (r == 0) {
        epoll_event wake = {EPOLLIN, {.u32 = 1}};
        epoll_event input = {EPOLLIN, {.u32 = 0}};
        const int bus_fd = sd_bus_get_fd(bus);
        if (bus_fd < 0)
            r = bus_fd;
        else if (epoll_ctl(c->epoll_fd_, EPOLL_CTL_ADD, fd, &wake) < 0 ||
                 epoll_ctl(c->epoll_fd_, EPOLL_CTL_ADD, bus_fd, &input) < 0)
            r = -errno;
        c->watched_ = EPOLLIN;
    }
    if (r == 0)
        r = sd_bus_add_filter(bus, &c->filter_slot_, on_message, c);
    if (r < 0) {
        c->bus_ = nullptr;  // the caller keeps the bus
        delete c;
        errno = -r;
        return nullptr;
    }
    return c;
}

connection::~connection() {
    // Nobody else uses the connection any more; the lock is taken all the
    // same for the references released here.
    std::lock_guard<std::mutex> hold(lock_);
    empty_trash();
    filter_slot_ = sd_bus_slot_unref(filter_slot_);
    if (bus_) {
        if (!closed_)
            sd_bus_close(bus_);
        sd_bus_unref(bus_);
    }
    ::close(wake_fd_);
    if (timer_fd_ >= 0)
        ::close(timer_fd_);
    if (epoll_fd_ >= 0)
        ::close(epoll_fd_);
}

void connection::set_filter(message_filter fn, void *data) noexcept {
    filter_ = fn;
    filter_data_ = data;
}

// --- Calls ---------------------------------------------------------------------------

// Replies are matched to their calls here rather than by sd-bus's reply
// callbacks: processing hands back every message nothing else took, and a
// call costs no callback slot of its own.
int connection::start_call(sd_bus_message *m, pending_call &p) noexcept {
    if (trash_.load(std::memory_order_relaxed))
        empty_trash();
    p.conn = this;
    p.completed = false;
    p.timed_out = false;
    if (calls_.size() >= max_in_flight_ || !queued_.empty()) {
        // Sent once a reply frees a place; its deadline runs from now.
        p.held = sd_bus_message_ref(m);
        queued_.push_back(&p);
        if (!p.w && p.deadline < timer_at_)
            arm_loop_timer(p.deadline);
        return 0;
    }
    uint64_t cookie = 0;
    const int r = sd_bus_send(bus_, m, &cookie);
    if (r < 0)
        return r;
    p.cookie = cookie;
    calls_.push_back(&p);
    if (!p.w && p.deadline < timer_at_)
        arm_loop_timer(p.deadline);
    // sd-bus writes at once when it can; output it could not write yet has
    // to be waited for by the reader (polling without knowing) or the loop.
    // A thread that waits for the reply becomes the reader when there is
    // none, and writes it then.
    if (reader_ || loop_driven_) {
        p.output_waiting = output_pending();
        if (p.output_waiting)
            output_queued();
    }
    return 0;
}

void connection::set_max_in_flight(size_t n) noexcept {
    max_in_flight_ = n < 1 ? 1 : n;
    send_queued();
}

// Sends queued calls while there is room among the calls in flight.  A
// send that fails means the connection is lost: it fails, and every
// waiter (and the loop) learns it; the queued calls are forgotten by their
// owners then.
void connection::send_queued() noexcept {
    bool sent = false;
    while (!queued_.empty() && calls_.size() < max_in_flight_ && !error_ && !closed_) {
        pending_call *p = queued_.front();
        uint64_t cookie = 0;
        const int r = sd_bus_send(bus_, p->held, &cookie);
        if (r < 0) {
            fail(r);
            break;
        }
        queued_.pop_front();
        p->held = sd_bus_message_unref(p->held);
        p->cookie = cookie;
        calls_.push_back(p);
        sent = true;
    }
    if (sent && (reader_ || loop_driven_) && output_pending())
        output_queued();
}

void connection::forget(pending_call &p) noexcept {
    if (p.held) {
        for (auto it = queued_.begin(); it != queued_.end(); ++it)
            if (*it == &p) {
                queued_.erase(it);
                break;
            }
        p.held = sd_bus_message_unref(p.held);
        return;
    }
    if (!p.cookie)
        return;
    for (size_t i = 0; i < calls_.size(); ++i)
        if (calls_[i] == &p) {
            calls_[i] = calls_.back();
            calls_.pop_back();
            break;
        }
    p.cookie = 0;
    if (!queued_.empty())
        send_queued();
}

void connection::complete(pending_call &p) noexcept {
    forget(p);
    p.completed = true;
    if (p.w) {
        wake(*p.w);
    } else {
        p.next_done = completed_;
        completed_ = &p;
    }
}

// A message that processing handed back: a reply to one of our calls (or
// to a call given up: dropped), or a method call nothing served, answered
// as sd-bus answers it.  Takes over `m`.
void connection::claim(sd_bus_message *m) noexcept {
    uint8_t type = 0;
    (void)sd_bus_message_get_type(m, &type);
    if (type == SD_BUS_MESSAGE_METHOD_RETURN || type == SD_BUS_MESSAGE_METHOD_ERROR) {
        uint64_t cookie = 0;
        if (sd_bus_message_get_reply_cookie(m, &cookie) >= 0)
            for (pending_call *p : calls_)
                if (p->cookie == cookie) {
                    p->reply = sd_bus_message_ref(m);
                    complete(*p);
                    break;
                }
    } else if (type == SD_BUS_MESSAGE_METHOD_CALL && sd_bus_message_get_expect_reply(m)) {
        (void)sd_bus_reply_method_errorf(m, SD_BUS_ERROR_UNKNOWN_OBJECT, "Unknown object '%s'.",
                                         sd_bus_message_get_path(m));
    }
    sd_bus_message_unref(m);
}

int connection::send(sd_bus_message *m) noexcept {
    if (trash_.load(std::memory_order_relaxed))
        empty_trash();
    int r = sd_bus_send(bus_, m, nullptr);
    if (r < 0)
        return r;
    if ((reader_ || loop_driven_) && output_pending())
        output_queued();
    return 0;
}

bool connection::output_pending() noexcept {
    const int events = sd_bus_get_events(bus_);
    return events > 0 && (events & POLLOUT);
}

// Output waits: the reader polls without knowing, and the event loop reads
// the wake-up descriptor, then arms its writer.
void connection::output_queued() noexcept { wake_reader(); }

// The output is written: wake the threads waiting for that.  Under the lock.
void connection::notify_written() noexcept {
    for (waiter *w = waiters_; w; w = w->next)
        if (w->until_written) {
            w->done = true;
            sem_post(&w->sem);
        }
}

void connection::cancel(pending_call &p) noexcept { forget(p); }

// --- Waiting -----------------------------------------------------------------------

void connection::link(waiter &w) noexcept {
    w.prev = nullptr;
    w.next = waiters_;
    if (waiters_)
        waiters_->prev = &w;
    waiters_ = &w;
    w.linked = true;
    if (w.until_written)
        ++writers_;
}

void connection::unlink(waiter &w) noexcept {
    if (!w.linked)
        return;
    if (w.prev)
        w.prev->next = w.next;
    else
        waiters_ = w.next;
    if (w.next)
        w.next->prev = w.prev;
    w.prev = w.next = nullptr;
    w.linked = false;
    if (w.until_written)
        --writers_;
}

void connection::wake(waiter &w) noexcept {
    w.done = true;
    sem_post(&w.sem);
    // A reader that is polling must be woken; one that is draining for
    // itself (this very thread, in a callback) sees `done` when the callback
    // returns.  Processing run by the event loop or a flush while a reader
    // polls does not end the reader's poll: it is woken.
    if (reader_ == &w && !(draining_ && draining_for_ == &w))
        wake_reader();
}

void connection::wake_reader() noexcept {
    const uint64_t one = 1;
    ssize_t n = ::write(wake_fd_, &one, sizeof one);
    (void)n;  // a full counter already wakes the reader
}

void connection::leave_reader() noexcept {
    reader_ = nullptr;
    // The event loop took over while this thread read: output this thread
    // would have written is the loop's now.
    if (loop_driven_ && output_pending())
        output_queued();
    if (closed_)
        reader_left_.notify_all();
}

// No one is reading: let a waiter that still waits take the reader's role.
void connection::hand_off() noexcept {
    if (reader_)
        return;
    for (waiter *w = waiters_; w; w = w->next)
        if (!w->done) {
            sem_post(&w->sem);
            return;
        }
}

void connection::fail(int r) noexcept {
    if (error_ == 0)
        error_ = r;
    for (waiter *w = waiters_; w; w = w->next)
        sem_post(&w->sem);
    wake_reader();
}

// Whether sd-bus holds no message it has read (it reads one at a time,
// and reports queued ones as a timeout of zero) and the socket holds no
// bytes.  Under the lock.
bool connection::nothing_waiting() noexcept {
    uint64_t until = 0;
    int bytes = 0;
    return sd_bus_get_timeout(bus_, &until) >= 0 && until != 0 &&
           ioctl(sd_bus_get_fd(bus_), FIONREAD, &bytes) == 0 && bytes == 0;
}

// Processes what has arrived until sd-bus has nothing left to do, `w` is
// done, or the connection fails.  Under the lock.
int connection::drain(waiter *w) noexcept {
    int r;
    int in_batch = 0;
    draining_ = true;
    draining_for_ = w;
    idle_ = false;
    sd_bus_message *m = nullptr;
    int gathered = 0;
    while ((r = sd_bus_process(bus_, &m)) > 0) {
        if (m)
            claim(std::exchange(m, nullptr));
        if (w && w->done && (!w->greedy || ++gathered == process_batch))
            break;
        // The event loop wakes again for what arrives later: once neither
        // sd-bus nor the socket holds anything, another round would only
        // find the socket empty (a read that fails, and sd-bus's work
        // around it).
        if (!w && loop_driven_ && nothing_waiting())
            break;
        if (++in_batch == process_batch) {
            in_batch = 0;
            draining_ = false;
            lock_.unlock();
            lock_.lock();
            draining_ = true;
            if (closed_)
                break;
        }
    }
    draining_ = false;
    draining_for_ = nullptr;
    if (writers_ > 0 && !output_pending())
        notify_written();
    // Idle: sd-bus holds nothing that it read and did not process.  It
    // reads exactly one message at a time, so after stopping early that is
    // so unless messages wait in its queue, which it reports as a timeout
    // of zero.
    uint64_t until = 0;
    idle_ = r == 0 || (r > 0 && sd_bus_get_timeout(bus_, &until) >= 0 && until != 0);
    return r > 0 ? 0 : r;
}

wait_status connection::wait(waiter &w, steady::time_point deadline) noexcept {
    std::unique_lock<std::mutex> hold(lock_);
    link(w);
    wait_status status;
    for (;;) {
        if (w.until_written && !w.done && !output_pending())
            w.done = true;
        if (w.done) {
            status = wait_status::done;
            break;
        }
        if (closed_) {
            status = wait_status::closed;
            break;
        }
        if (error_) {
            status = wait_status::lost;
            break;
        }
        if (steady::now() >= deadline) {
            status = wait_status::timed_out;
            break;
        }
        if (!reader_ && !loop_driven_) {
            // Be the reader: process what is there, then poll the socket.
            reader_ = &w;
            if (trash_.load(std::memory_order_relaxed))
                empty_trash();
            // When the last round of processing left nothing behind, what
            // arrives since shows on the socket: poll straight away.
            const int r = idle_ ? 0 : drain(&w);
            if (r < 0)
                fail(r);
            if (r < 0 || w.done || closed_) {
                leave_reader();
                continue;
            }
            const int events = sd_bus_get_events(bus_);
            uint64_t usec = UINT64_MAX;
            if (events < 0 || sd_bus_get_timeout(bus_, &usec) < 0) {
                fail(events < 0 ? events : -ENOTCONN);
                leave_reader();
                continue;
            }
            const steady::time_point until = std::min(deadline, from_usec(usec));
            // POLLIN and POLLOUT are EPOLLIN and EPOLLOUT.
            const uint32_t wanted = static_cast<uint32_t>(events) & (EPOLLIN | EPOLLOUT);
            if (wanted != watched_) {
                epoll_event input = {wanted, {.u32 = 0}};
                if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, sd_bus_get_fd(bus_), &input) == 0)
                    watched_ = wanted;
            }
            hold.unlock();
            epoll_event ready[2];
            const int n = epoll_wait(epoll_fd_, ready, 2, poll_ms(until));
            const int wait_errno = errno;
            hold.lock();
            idle_ = false;  // input, or a timeout of sd-bus's own, to process
            leave_reader();
            for (int i = 0; i < n; ++i)
                if (ready[i].data.u32 == 1) {
                    uint64_t count;
                    ssize_t got = ::read(wake_fd_, &count, sizeof count);
                    (void)got;
                }
            if (n < 0 && wait_errno == EINTR) {
                status = wait_status::interrupted;
                break;
            }
            continue;
        }
        // Someone else reads (or an event loop drives the connection):
        // sleep until woken, by a reply or by the reader's role.
        const timespec until = to_monotonic_timespec(deadline);
        hold.unlock();
        const int r = deadline == steady::time_point::max()
                          ? sem_wait(&w.sem)
                          : sem_clockwait(&w.sem, CLOCK_MONOTONIC, &until);
        const int sem_errno = errno;
        hold.lock();
        if (r < 0 && sem_errno == EINTR) {
            status = wait_status::interrupted;
            break;
        }
    }
    unlink(w);
    hand_off();
    // A semaphore post that nobody consumed must not wake a later wait of
    // the same waiter early: drain it.
    while (sem_trywait(&w.sem) == 0) {
    }
    return status;
}

wait_status connection::write_out(steady::time_point deadline) noexcept {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (closed_)
            return wait_status::closed;
        if (error_)
            return wait_status::lost;
        if (loop_driven_ || !output_pending())
            return wait_status::done;
    }
    waiter w;
    w.until_written = true;
    return wait(w, deadline);
}

// --- Loop-driven processing ----------------------------------------------------------

int connection::process_once() noexcept {
    if (trash_.load(std::memory_order_relaxed))
        empty_trash();
    const int r = drain(nullptr);
    if (r < 0)
        fail(r);
    // Loop-driven calls whose time ran out end here, without a reply (the
    // queued ones first: a place freed by the others would send them).
    const steady::time_point now = steady::now();
    for (size_t i = queued_.size(); i-- > 0;) {
        pending_call *p = queued_[i];
        if (!p->w && p->deadline <= now) {
            p->timed_out = true;
            complete(*p);
        }
    }
    for (size_t i = calls_.size(); i-- > 0;) {
        pending_call *p = calls_[i];
        if (!p->w && p->deadline <= now) {
            p->timed_out = true;
            complete(*p);
        }
    }
    return r;
}

steady::time_point connection::next_deadline() const noexcept {
    steady::time_point earliest = steady::time_point::max();
    for (const pending_call *p : calls_)
        if (!p->w && p->deadline < earliest)
            earliest = p->deadline;
    for (const pending_call *p : queued_)
        if (!p->w && p->deadline < earliest)
            earliest = p->deadline;
    return earliest;
}

int connection::loop_timer_fd() noexcept {
    if (timer_fd_ < 0 &&
        (timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) < 0)
        return -errno;
    timer_at_ = steady::time_point::max();
    return timer_fd_;
}

void connection::arm_loop_timer(steady::time_point when, const steady::time_point *now) noexcept {
    if (timer_fd_ < 0)
        return;
    const bool passed = now && timer_at_ != steady::time_point::max() && timer_at_ <= *now;
    if (!(when < timer_at_ || passed))
        return;
    // A timer that passed is disarmed already: forgetting it is enough.
    if (when == steady::time_point::max() && passed) {
        timer_at_ = when;
        return;
    }
    itimerspec setting = {};  // zero: disarmed
    if (when != steady::time_point::max())
        setting.it_value = to_monotonic_timespec(when);
    if (timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &setting, nullptr) == 0)
        timer_at_ = when;
}

pending_call *connection::take_completed() noexcept {
    pending_call *list = completed_;
    completed_ = nullptr;
    for (pending_call *p = list; p; p = p->next_done)
        p->settled = true;
    return list;
}

void connection::drop_completed(pending_call *p) noexcept {
    for (pending_call **at = &completed_; *at; at = &(*at)->next_done)
        if (*at == p) {
            *at = p->next_done;
            p->next_done = nullptr;
            return;
        }
}

pending_call *connection::abandon_loop_calls() noexcept {
    pending_call *list = completed_;
    completed_ = nullptr;
    for (pending_call *p = list; p; p = p->next_done) {
        p->reply = sd_bus_message_unref(p->reply);
        p->settled = true;
    }
    // The queued ones first: forgetting a sent one would send them.  Each
    // list is walked from its end, as forget() takes the call out of it.
    auto take = [this, &list](auto &calls) {
        for (size_t i = calls.size(); i-- > 0;) {
            pending_call *p = calls[i];
            if (p->w)
                continue;
            forget(*p);
            p->settled = true;
            p->next_done = list;
            list = p;
        }
    };
    take(queued_);
    take(calls_);
    return list;
}

// --- Releasing -----------------------------------------------------------------------

// Unrefs at once when the lock is free, else leaves it for the holder.
template <class T>
void connection::release_with(T *ref, T *(*unref)(T *), std::vector<T *> &trash) noexcept {
    if (!ref)
        return;
    if (lock_.try_lock()) {
        unref(ref);
        lock_.unlock();
        return;
    }
    std::lock_guard<std::mutex> hold(trash_lock_);
    trash.push_back(ref);
    trash_.store(true, std::memory_order_relaxed);
}

void connection::release(sd_bus_message *m) noexcept {
    release_with(m, sd_bus_message_unref, trash_messages_);
}

void connection::release(sd_bus_slot *s) noexcept {
    release_with(s, sd_bus_slot_unref, trash_slots_);
}

void connection::empty_trash() noexcept {
    std::vector<sd_bus_message *> messages;
    std::vector<sd_bus_slot *> slots;
    {
        std::lock_guard<std::mutex> hold(trash_lock_);
        messages.swap(trash_messages_);
        slots.swap(trash_slots_);
        trash_.store(false, std::memory_order_relaxed);
    }
    for (sd_bus_message *m : messages)
        sd_bus_message_unref(m);
    for (sd_bus_slot *s : slots)
        sd_bus_slot_unref(s);
}

// --- Closing -------------------------------------------------------------------------

void connection::flush_for(std::chrono::milliseconds limit) noexcept {
    const steady::time_point until = steady::now() + limit;
    for (;;) {
        const int events = sd_bus_get_events(bus_);
        if (events < 0 || !(events & POLLOUT))
            return;
        pollfd fd = {sd_bus_get_fd(bus_), POLLOUT, 0};
        const int ms = poll_ms(until);
        if (ms == 0 || poll(&fd, 1, ms) <= 0)
            return;
        // Processing writes the queued output first.
        idle_ = false;
        sd_bus_message *m = nullptr;
        const int r = sd_bus_process(bus_, &m);
        if (m)
            claim(m);
        if (r < 0)
            return;
    }
}

void connection::close() noexcept {
    std::unique_lock<std::mutex> hold(lock_);
    if (closed_)
        return;
    closed_ = true;
    for (waiter *w = waiters_; w; w = w->next)
        sem_post(&w->sem);
    if (reader_) {
        wake_reader();
        reader_left_.wait(hold, [this] { return reader_ == nullptr; });
    }
    empty_trash();
    if (error_ == 0)
        flush_for(std::chrono::milliseconds(1000));
    sd_bus_close(bus_);
}

int connection::on_message(sd_bus_message *m, void *userdata, sd_bus_error *) noexcept {
    auto *c = static_cast<connection *>(userdata);
    return c->filter_ ? c->filter_(*c, m) : 0;
}

}  // namespace vq::core
