#ifndef POSIX_STOP_H_
#define POSIX_STOP_H_

#include <poll.h>

// The stop that a signal requests, as the POSIX waits see it.

// The monotonic clock in milliseconds (clock_gettime: safe in a signal handler).
long long posixNowMs();
// True once a stop has come.
bool posixStopPending();
// Polls fd for events, and the stop, for at most timeoutMs (-1: no bound), through EINTR.
// 1: fd is ready (revents set); 0: the time passed or a stop came; -1: poll failed.
int posixPoll(int fd, short events, int timeoutMs, short &revents);

#endif
