// Signals whose handlers run on the event loop, never in signal context.
#pragma once

typedef void (*pal_signal_handler)(int signo);

// Creates the self-pipe that signals ring. Gives 0 or -1. Called by pal_signal_set as needed.
int pal_signal_init(void);
// Installs handler for signo; the loop runs it on its own thread after the signal arrives (the
// signal itself may be delivered to any thread). A null handler restores the default action.
// Gives 0 or -1.
int pal_signal_set(int signo, pal_signal_handler handler);
// Prints a backtrace to standard error on SIGSEGV/SIGBUS/SIGFPE/SIGILL/SIGABRT, then dies of
// the signal (default action).
void pal_signal_segvcatch(void);

// For the loop: the descriptor that becomes readable when a signal is pending (-1 while no
// handler is installed), and the call that runs the handlers of the pending signals.
int pal_signal_fd(void);
void pal_signal_dispatch(void);
