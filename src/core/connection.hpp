// One bus connection shared by any number of threads.
//
// sd-bus connections are not thread-safe, so every use of the sd_bus (and
// of every message, slot and reference count tied to it) happens under the
// connection's lock.  The lock is held only for short, non-blocking steps:
// building and sending a message, one round of processing, a cancel.  Nobody
// waits on the socket while holding it.
//
// Waiting: a thread that needs something from the connection (a reply, a
// signal, an incoming call) registers a `waiter` and calls wait().  One
// waiting thread at a time is the reader: it processes what has arrived
// (the callbacks hand each reply or signal to its owner and wake that
// owner's thread), then polls the socket with the lock released.  The other
// waiters sleep on their own semaphores.  When the reader's own wait is
// over it hands the reader's role to another waiter.  So calls of many
// threads are in flight together, and none waits for another's reply.
//
// Lock order: the connection lock is never held while the interpreter lock
// is taken, and nobody waits for it while holding the interpreter lock
// (try_lock with the interpreter lock held is allowed: it never waits).
// Callbacks run by processing therefore never touch Python objects.
#pragma once

#include <poll.h>
#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include <systemd/sd-bus.h>

namespace vq::core {

using steady = std::chrono::steady_clock;

// Below the bus daemon's default of 128 replies pending per connection.
inline constexpr size_t default_max_in_flight = 120;

// A thread waiting on the connection.  Linked into the connection's list
// while it waits; `done` is set (under the lock) by whoever has what it
// waits for, and its semaphore is posted.
struct waiter {
    waiter() noexcept { sem_init(&sem, 0, 0); }
    ~waiter() { sem_destroy(&sem); }
    waiter(const waiter &) = delete;
    waiter &operator=(const waiter &) = delete;

    waiter *prev = nullptr, *next = nullptr;
    bool linked = false;
    bool done = false;
    // As the reader, go on processing after `done` is set, up to a batch:
    // a server gathers the calls that have arrived and answers them together.
    bool greedy = false;
    // Waits for the connection's queued output to be written (see
    // write_out()): done as soon as sd-bus has nothing left to write.
    bool until_written = false;
    sem_t sem;
};

// One method call in flight, found by its serial when its reply comes.
// The reply goes to the call's waiter (a thread) or to the connection's
// completed list (loop-driven: `w` is null).
struct pending_call {
    uint64_t cookie = 0;  // the call's serial while it waits (0: not waiting)
    sd_bus_message *reply = nullptr;  // own reference, released under the lock
    waiter *w = nullptr;  // the thread to wake, or null
    class connection *conn = nullptr;
    pending_call *next_done = nullptr;  // in the connection's completed list (loop-driven)
    void *owner = nullptr;  // the loop side's record (a PendingCall)
    bool completed = false;  // the reply is in, or (loop-driven) time ran out
    bool timed_out = false;  // loop-driven: completed without a reply
    // Loop-driven: taken off the connection's lists by the one party that
    // gives the call's object its own reference back (a processing step's
    // take_completed(), cancel() or abandon_loop_calls()).  Flipped once,
    // under the lock; from then on the reply is touched only with the
    // interpreter lock held, by that party first.
    bool settled = false;
    bool output_waiting = false;  // loop-driven: sd-bus could not write it all yet
    // Waiting for a free place among the calls in flight: the call, not yet
    // sent (own reference, under the lock).
    sd_bus_message *held = nullptr;
    steady::time_point deadline = steady::time_point::max();  // loop-driven: when to give up
};

enum class wait_status {
    done,  // the waiter's `done` was set
    timed_out,  // the deadline passed first
    interrupted,  // a signal interrupted the wait: check the interpreter's handlers
    closed,  // close() was called
    lost,  // the connection failed; error() tells why
};

class connection {
public:
    // Takes over `bus` (a started connection).  Null when the wake-up
    // descriptor cannot be made (errno set).
    static connection *adopt(sd_bus *bus) noexcept;
    ~connection();
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;

    std::mutex &lock() noexcept { return lock_; }
    // Whether this process is a child forked after the connection was made.
    // Checked before anything else: the lock, the reader and the waiters
    // are the parent's, and its threads do not exist here.
    bool inherited() const noexcept;
    // The connection; only under the lock.
    sd_bus *bus() const noexcept { return bus_; }
    bool closed() const noexcept { return closed_; }  // under the lock
    int error() const noexcept { return error_; }  // under the lock: -errno of a lost connection

    // Sends `m` as a method call and registers `p` for its reply.  Under
    // the lock.  A thread waiting for it keeps its own deadline; a
    // loop-driven call gives up at p.deadline (see process_once()).  With
    // max_in_flight() calls waiting for replies already, `m` is queued
    // instead and sent, in order, as replies come.
    int start_call(sd_bus_message *m, pending_call &p) noexcept;
    // How many calls wait for their replies at most; the bus daemon refuses
    // calls beyond its own limit (128 by default) with LimitsExceeded.
    // Under the lock; at least 1.
    size_t max_in_flight() const noexcept { return max_in_flight_; }
    void set_max_in_flight(size_t n) noexcept;
    // Sends a message that expects no reply.  Under the lock.  Output that
    // sd-bus could not write at once is left to the reader or the event
    // loop, both woken for it; with neither, the sender calls write_out().
    int send(sd_bus_message *m) noexcept;
    // Whether sd-bus holds output it could not write yet.  Under the lock.
    bool output_pending() noexcept;
    // Waits without the lock (and without the interpreter lock) until the
    // queued output is written: as the reader when there is none, else
    // until the reader has written it.  Returns at once for a loop-driven
    // connection (the loop was woken by send()).  A wait_status as wait().
    wait_status write_out(steady::time_point deadline) noexcept;
    // Forgets a call whose reply has not come: a late reply is dropped.
    // Under the lock.
    void cancel(pending_call &p) noexcept;

    // Waits without the lock (and without the interpreter lock) until `w` is
    // done, the deadline passes, a signal interrupts, or the connection is
    // closed or lost.  `w` must not be linked.
    wait_status wait(waiter &w, steady::time_point deadline) noexcept;
    // Marks `w` done and wakes its thread.  Under the lock.
    void wake(waiter &w) noexcept;

    // Gives back a message reference.  The interpreter lock may be held: the
    // reference is released at once when the lock is free, else by the next
    // holder of the lock.
    void release(sd_bus_message *m) noexcept;
    // As release(), for a slot.
    void release(sd_bus_slot *s) noexcept;

    // The descriptor that send() and fail() make readable to wake whoever
    // drives the connection (the reader, or the event loop, which reads it
    // empty).
    int wake_fd() const noexcept { return wake_fd_; }

    // Closes the connection: every waiter returns `closed`, the reader
    // leaves the socket, queued output is written for at most a second, and
    // the connection is closed.  The sd_bus object stays until the
    // destructor, so that slots can still be released.  Idempotent.
    // Without the lock.
    void close() noexcept;

    // Runs `fn` for every incoming message that no reply callback took,
    // during processing, under the lock.  Returns >0 when it handled the
    // message.  Set once, before the connection is shared.
    using message_filter = int (*)(connection &, sd_bus_message *) noexcept;
    void set_filter(message_filter fn, void *data) noexcept;
    void *filter_data() const noexcept { return filter_data_; }

    // For an event loop driving the connection instead of waiting threads:
    // one non-blocking round of processing (under the lock), after which
    // take_completed() gives the calls whose replies came or whose time ran
    // out.  next_deadline(): the earliest deadline of a loop-driven call.
    int process_once() noexcept;
    steady::time_point next_deadline() const noexcept;
    // Under the lock; marks each call `settled`.
    pending_call *take_completed() noexcept;
    // Takes `p` out of the completed list if it is there.  Under the lock.
    void drop_completed(pending_call *p) noexcept;
    // Forgets every loop-driven call, waiting or completed and not settled
    // (their replies are dropped), marks them `settled` and returns them
    // linked by next_done.  Under the lock.
    pending_call *abandon_loop_calls() noexcept;
    void set_loop_driven(bool on) noexcept { loop_driven_ = on; }
    // A timerfd (CLOCK_MONOTONIC) that the event loop watches instead of a
    // timer of its own, made on first use: set to the earliest deadline of
    // the loop-driven calls (and of sd-bus), so that the loop keeps no
    // scheduled callback while calls wait.  The descriptor or a negative
    // errno.  Under the lock.
    int loop_timer_fd() noexcept;
    // Sets the timer to `when` when that is sooner than what it is set to,
    // or (`now` given) when what it is set to has passed: a step is running
    // for it, and the next deadline is set.  Under the lock.
    void arm_loop_timer(steady::time_point when, const steady::time_point *now = nullptr) noexcept;
    bool loop_driven() const noexcept { return loop_driven_; }

private:
    explicit connection(sd_bus *bus, int wake_fd) noexcept;
    void claim(sd_bus_message *m) noexcept;
    void complete(pending_call &p) noexcept;
    void forget(pending_call &p) noexcept;
    void send_queued() noexcept;
    static int on_message(sd_bus_message *m, void *userdata, sd_bus_error *) noexcept;

    void link(waiter &w) noexcept;
    void unlink(waiter &w) noexcept;
    void hand_off() noexcept;
    void leave_reader() noexcept;
    void wake_reader() noexcept;
    void output_queued() noexcept;
    void notify_written() noexcept;
    int drain(waiter *w) noexcept;
    bool nothing_waiting() noexcept;
    void fail(int r) noexcept;
    void empty_trash() noexcept;
    template <class T>
    void release_with(T *ref, T *(*unref)(T *), std::vector<T *> &trash) noexcept;
    void flush_for(std::chrono::milliseconds limit) noexcept;

    std::mutex lock_;
    std::condition_variable reader_left_;
    sd_bus *bus_;
    sd_bus_slot *filter_slot_ = nullptr;
    message_filter filter_ = nullptr;
    void *filter_data_ = nullptr;
    int wake_fd_;
    int epoll_fd_ = -1;  // the connection and the wake-up, for the reader
    uint32_t watched_ = 0;  // the connection's events in the set, under the lock
    waiter *waiters_ = nullptr;  // linked waiters, under the lock
    waiter *reader_ = nullptr;  // the waiter polling the socket, under the lock
    // Under the lock: processing runs now, on behalf of `draining_for_` (the
    // reader's own waiter; null for the event loop or a flush).
    bool draining_ = false;
    const waiter *draining_for_ = nullptr;
    int writers_ = 0;  // linked waiters with `until_written`, under the lock
    unsigned born_;  // the process's fork count when the connection was made
    // Under the lock: the last processing ended with sd-bus idle (nothing
    // read and left unprocessed), so the socket tells whether input waits.
    bool idle_ = false;
    bool closed_ = false;
    int error_ = 0;
    bool loop_driven_ = false;
    int timer_fd_ = -1;  // loop_timer_fd(), under the lock
    steady::time_point timer_at_ = steady::time_point::max();  // what it is set to
    std::vector<pending_call *> calls_;  // calls waiting for their replies, under the lock
    // Calls not sent yet for want of a place in calls_, oldest first, under
    // the lock.
    std::deque<pending_call *> queued_;
    size_t max_in_flight_ = default_max_in_flight;
    pending_call *completed_ = nullptr;

    // References given back while the lock was busy (leaf lock: nothing is
    // taken while it is held).
    std::mutex trash_lock_;
    std::vector<sd_bus_message *> trash_messages_;
    std::vector<sd_bus_slot *> trash_slots_;
    std::atomic<bool> trash_{false};
};

// A deadline `seconds` from now (infinite for a negative value).
steady::time_point deadline_after(double seconds) noexcept;

}  // namespace vq::core
