#ifndef STATIONSERVER_H_
#define STATIONSERVER_H_

// The station's page and interface (--http): a child process of its own (--serve on the
// station's folder) that reads the folder only, so that no fault or load there can slow, stop or
// corrupt an update; started again when it ends. The port it took is kept across restarts.

#include "fleet/Children.h"

#include <chrono>
#include <string>

struct Options;

class StationServer {
  public:
    static constexpr size_t kSlot = static_cast<size_t>(-1); // its slot among the station's children

    StationServer(const Options &options, std::string dir);
    // Starts it and waits (at most 5 s) for its first lines, for the station's own first lines:
    // where to point a browser. "" without --http.
    std::string start(Children &children);
    // A line it wrote: where it listens, or a fault.
    void said(const std::string &line);
    // Starts it again once it has ended and a few seconds have passed.
    void keep(Children &children);
    // What it said last of a fault, or why it cannot start; "" while it serves.
    const std::string &error() const { return error_; }

  private:
    const Options &options;
    std::string dir;
    int port = 0; // where the page is served: kept when its server starts again
    std::chrono::steady_clock::time_point restartAt;
    std::string error_;

    void launch(Children &children);
};

#endif
