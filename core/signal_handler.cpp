// Signal handling. The kernel's handler only relays the signal number and its sigqueue value
// through a pipe; a thread reads the pipe in arrival order and does the work (printing, pushing
// events), which is not safe to do in signal context.
#include "core/signal_handler.h"

#include "core/events.h"
#include "core/unique_fd.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdio>
#include <thread>

namespace {

constexpr int HANDLED_SIGNALS[] = {SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGABRT};
// Record that asks the signal thread to end; no signal has number 0.
constexpr int STOP_RECORD = 0;

enum PlayerSignalValue { PLAYER_SIGNAL_START = 2, PLAYER_SIGNAL_STOP, PLAYER_SIGNAL_PLAY, PLAYER_SIGNAL_PAUSE };

struct SignalRecord {
    int signum;
    int value;
    int has_context;
};

UniqueFD relay_read;
UniqueFD relay_write;
std::thread signal_thread;
// What the program stops on a quit signal besides its event loop.
std::atomic<void (*)()> quit_hook{nullptr};

void relay(int signum, siginfo_t* info, void* context)
{
    int saved_errno = errno;
    SignalRecord record{signum, info ? info->si_value.sival_int : 0, context != nullptr};
    // One record is far below PIPE_BUF, so the write is atomic; a full pipe loses the signal.
    ssize_t written = write(relay_write.get(), &record, sizeof record);
    (void)written;
    errno = saved_errno;
}

void signal_proc()
{
    pthread_setname_np(pthread_self(), "signals");
    SignalRecord record;
    while (read(relay_read.get(), &record, sizeof record) == static_cast<ssize_t>(sizeof record)) {
        if (record.signum == STOP_RECORD)
            return;
        siginfo_t info{};
        info.si_signo = record.signum;
        info.si_value.sival_int = record.value;
        // The machine context does not outlive the signal; a non-null one says it was given.
        handler(record.signum, &info, record.has_context ? &info : nullptr);
    }
}

// The line comes first: once the quit event is queued, the main thread may end the process
// before a line printed after it is written.
void quit(const char* name)
{
    printf("%s: %s\n", "handler", name);
    main_exit = 1;
    if (void (*hook)() = quit_hook.load())
        hook();
    push_event(EVENT_QUIT, 0);
}

} // namespace

void handler(int signum, siginfo_t* info, void* context)
{
    printf("signum=%d\n", signum);
    if (signum == SIGINT) {
        quit("SIGINT");
    } else if (signum == SIGTERM) {
        quit("SIGTERM");
    } else if (signum == SIGUSR2) {
        if (!context || !info) {
            printf("context is NULL\n");
            return;
        }
        int value = info->si_value.sival_int;
        printf("SIGUSR2 value: %d\n", value);
        switch (value) {
        case PLAYER_SIGNAL_START: push_event(EVENT_PLAYER_START, 0); break;
        case PLAYER_SIGNAL_STOP: push_event(EVENT_PLAYER_STOP, 0); break;
        case PLAYER_SIGNAL_PLAY: push_event(EVENT_PLAYER_PLAY, 0); break;
        case PLAYER_SIGNAL_PAUSE: push_event(EVENT_PLAYER_PAUSE, 0); break;
        default: break;
        }
    }
}

void set_quit_hook(void (*hook)())
{
    quit_hook = hook;
}

int install_signal_handler()
{
    if (signal_thread.joinable())
        return 0;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    relay_read.reset(fds[0]);
    relay_write.reset(fds[1]);
    fcntl(relay_write.get(), F_SETFL, O_NONBLOCK);
    signal_thread = std::thread(signal_proc);

    struct sigaction action {};
    action.sa_sigaction = relay;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signum : HANDLED_SIGNALS)
        sigaction(signum, &action, nullptr);
    return 0;
}

void remove_signal_handler()
{
    if (!signal_thread.joinable())
        return;
    for (int signum : HANDLED_SIGNALS)
        signal(signum, SIG_DFL);
    SignalRecord stop{STOP_RECORD, 0, 0};
    ssize_t written = write(relay_write.get(), &stop, sizeof stop);
    (void)written;
    signal_thread.join();
    relay_read.reset();
    relay_write.reset();
}
