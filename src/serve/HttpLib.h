#ifndef HTTPLIB_WRAPPER_H_
#define HTTPLIB_WRAPPER_H_

// cpp-httplib with this program's settings: every file that uses it includes it here, so all
// see the same configuration.
#define CPPHTTPLIB_THREAD_POOL_COUNT 1  // unused: connections get threads of their own
#define CPPHTTPLIB_KEEPALIVE_MAX_COUNT 1000
#define CPPHTTPLIB_PAYLOAD_MAX_LENGTH 0 // nothing is ever uploaded
#define CPPHTTPLIB_LISTEN_BACKLOG 128   // hundreds of clients may connect at once
#define CPPHTTPLIB_USE_POLL             // select() cannot watch a socket numbered past 1023
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wconversion"
#include <httplib.h>
#pragma GCC diagnostic pop

#endif
