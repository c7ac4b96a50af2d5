#include "station/StationServer.h"

#include "base/Console.h"
#include "run/Options.h"

#include <cstdlib>

using Clock = std::chrono::steady_clock;

static const auto kRestart = std::chrono::seconds(5);

StationServer::StationServer(const Options &options, std::string dir) : options(options), dir(std::move(dir)) {}

void StationServer::launch(Children &children) {
    const std::string &address = options.httpAddress;
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    std::string why;
    if (!children.start(kSlot, {"--serve", dir, "--http", host + ":" + std::to_string(port)}, true, why))
        error_ = "the page's server cannot start: " + why;
    restartAt = Clock::now() + kRestart;
}

void StationServer::said(const std::string &line) {
    const size_t url = line.find("http://");
    if (line.rfind("Serving ", 0) == 0 && url != std::string::npos) {
        const size_t colon = line.rfind(':'), slash = line.find('/', url + 7);
        if (colon > url + 7 && slash != std::string::npos && colon < slash)
            port = std::atoi(line.substr(colon + 1, slash - colon - 1).c_str());
        error_.clear();
    } else if (line.rfind("ERROR: ", 0) == 0) {
        error_ = "the page's server: " + line.substr(7);
        while (!error_.empty() && (error_.back() == '.' || error_.back() == '\r')) error_.pop_back();
    }
}

std::string StationServer::start(Children &children) {
    if (!options.http) return "";
    port = options.httpPort;
    launch(children);
    std::string heading;
    const Clock::time_point until = Clock::now() + std::chrono::seconds(5);
    while (children.running(kSlot) && Clock::now() < until && heading.find("Serving ") == std::string::npos) {
        std::vector<Children::Line> lines;
        std::vector<Children::Ended> ended;
        children.poll(100, lines, ended);
        for (const auto &line : lines) {
            said(line.text);
            heading += consoleSafeText(line.text, line.text.size()) + "\r\n";
        }
    }
    return heading;
}

void StationServer::keep(Children &children) {
    if (options.http && !children.running(kSlot) && Clock::now() >= restartAt) launch(children);
}
