#ifndef SERVECONNECTIONS_H_
#define SERVECONNECTIONS_H_

// The HTTP server of --serve: cpp-httplib, with the bounds a page on a plant network needs.
// Each connection gets a thread of its own, up to SERVE_MAX_CONNECTIONS; beyond that it is
// answered 503 at once. A request's head (line and headers) must arrive whole, within
// SERVE_HEAD_MAX bytes (else 431) and SERVE_REQUEST_SECONDS; any connection past its deadline
// is shut, which ends whatever its thread waits for.

#include "serve/HttpLib.h"

#include <memory>

constexpr int SERVE_MAX_CONNECTIONS = 512;
constexpr size_t SERVE_HEAD_MAX = 8192;
constexpr int SERVE_REQUEST_SECONDS = 5;   // to send a request's head, and for its answer
constexpr int SERVE_KEEP_ALIVE_SECONDS = 2; // an idle connection between two requests

struct ServeConnectionsShared;

class ServeHttp : public httplib::Server {
public:
    ServeHttp();
    ~ServeHttp() override;
    // Ends every connection now (the server stops).
    void closeConnections();

private:
    bool process_and_close_socket(socket_t sock) override;
    bool serveRequests(socket_t sock);
    std::shared_ptr<ServeConnectionsShared> shared_;
};

// On a handler's thread: its connection may stay open `seconds` from now (a stream, a big file).
void serveConnectionAllow(int seconds);

#endif
