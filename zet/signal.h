// Signals whose handlers run on the event loop, never in signal context.
#pragma once

typedef void (*pal_signal_handler)(int signo);

int pal_signal_init(void);
// Installs handler for signo; the loop of every thread master runs it after the signal.
int pal_signal_set(int signo, pal_signal_handler handler);
// Prints a backtrace to standard error on SIGSEGV/SIGBUS/SIGFPE/SIGABRT, then dies of the signal.
void pal_signal_segvcatch(void);

// For the loop: the descriptor that becomes readable when a signal is pending (-1 if none),
// and the call that runs the handlers of the pending signals.
int pal_signal_fd(void);
void pal_signal_dispatch(void);
