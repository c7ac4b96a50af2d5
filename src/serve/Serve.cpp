// --serve: the station folders over HTTP, read-only. Every route reads a folder through
// ServeFolder; no part of a request reaches the file system but a journal line's number.
#include "serve/HttpLib.h" // first: winsock2.h must come before windows.h

#include "serve/Serve.h"

#include "platform/Platform.h"
#include "record/Outcome.h"
#include "serve/ServeConnections.h"
#include "serve/ServeFolder.h"
#include "serve/ServeMetrics.h"
#include "serve/ServeRequest.h"
#include "serve/WebAssets.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <system_error>
#endif

using httplib::Request;
using httplib::Response;

constexpr int kRefreshMs = 250;          // how often the folders are read again
constexpr int kStreamSeconds = 300;      // an event stream ends after this; the browser reconnects
constexpr int kStreamRetryMs = 2000;     // ...after this long, asking for what it missed
constexpr int kStreamQuietSeconds = 15;  // a comment keeps a quiet stream alive through proxies
constexpr long long kJournalLimitMax = 1000;

namespace {

struct Served {
    std::vector<std::unique_ptr<ServeFolder>> folders;
    std::vector<ServeFolder *> list;
    std::atomic<bool> stopping{false};
};

std::string dumpJson(const StateJson &value) {
    return value.dump(-1, ' ', false, StateJson::error_handler_t::replace);
}

void sendJson(Response &res, const StateJson &value) {
    res.set_content(dumpJson(value), "application/json");
}

void sendError(Response &res, int status, const std::string &why) {
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
}

// ?station=K (default 0): the folder asked for, or null with the answer given.
ServeFolder *folderAsked(Served &served, const Request &req, Response &res) {
    long long k = 0;
    if (!serveParseIndex(req.get_param_value("station"), 0, 1000000, 0, k)) {
        sendError(res, 400, "station must be a folder's number, from 0");
        return nullptr;
    }
    if ((size_t)k >= served.list.size()) {
        sendError(res, 404, "no such station folder");
        return nullptr;
    }
    return served.list[(size_t)k];
}

StateJson countsFromJournal(const ServeFolder &folder) {
    const std::vector<long long> counts = folder.countOutcomes("");
    StateJson out = {{"handled", counts[0] + counts[1] + counts[2] + counts[3] + counts[4]}};
    for (size_t i = 0; i < 5; ++i) out[OUTCOME_COLUMNS[i]] = counts[i];
    out["units_per_hour"] = nullptr;
    return out;
}

// The state file as read (without its events), or what the journal alone tells.
StateJson stationJson(const ServeFolder &folder) {
    const auto state = folder.state();
    StateJson out = state ? *state : StateJson{{"format", 1}, {"run", nullptr}, {"station", nullptr}};
    out.erase("events");
    if (!out.contains("counts")) out["counts"] = countsFromJournal(folder);
    if (!out.contains("ports") || !out["ports"].is_array()) out["ports"] = StateJson::array();
    out["journal"] = {{"lines", folder.journalLines()}, {"damaged", folder.journalDamaged()}};
    out["folder"] = folder.dir();
    return out;
}

// Since when the shift's figures count: the station's start, or the whole journal.
std::string shiftStart(const ServeFolder &folder) {
    const auto state = folder.state();
    if (!state || !state->contains("station") || !(*state)["station"].is_object()) return "";
    const StateJson &station = (*state)["station"];
    auto it = station.find("started");
    return it != station.end() && it->is_string() ? it->get<std::string>() : "";
}

void getStation(Served &served, const Request &req, Response &res) {
    if (req.has_param("station") || served.list.size() == 1) {
        if (ServeFolder *folder = folderAsked(served, req, res)) sendJson(res, stationJson(*folder));
        return;
    }
    StateJson list = StateJson::array();
    for (ServeFolder *folder : served.list) list.push_back(stationJson(*folder));
    sendJson(res, {{"stations", list}});
}

void getJournal(Served &served, const Request &req, Response &res) {
    ServeFolder *folder = folderAsked(served, req, res);
    if (folder == nullptr) return;
    long long after = 0, limit = 0;
    if (!serveParseIndex(req.get_param_value("after"), 0, 1000000000000LL, 0, after) ||
        !serveParseIndex(req.get_param_value("limit"), 1, kJournalLimitMax, 100, limit))
        return sendError(res, 400, "after must be a line number (0 or more), limit from 1 to 1000");
    sendJson(res, {{"lines", folder->journalLines()},
                   {"damaged", folder->journalDamaged()},
                   {"after", after},
                   {"units", folder->journalPage((size_t)after, (size_t)limit)}});
}

void getSummary(Served &served, const Request &req, Response &res) {
    ServeFolder *folder = folderAsked(served, req, res);
    if (folder == nullptr) return;
    const std::string since = shiftStart(*folder);
    StateJson ports = StateJson::array();
    for (const PortTally &t : folder->tallyPorts(since)) {
        const long long judged = t.handled - t.stopped; // a stopped unit was never judged
        ports.push_back({{"label", t.label},
                         {"handled", t.handled},
                         {"passed", t.passed},
                         {"failed", t.failed},
                         {"first_pass_yield", judged > 0 ? StateJson((double)t.passed / (double)judged) : nullptr}});
    }
    sendJson(res, {{"since", since.empty() ? StateJson(nullptr) : StateJson(since)},
                   {"hours", folder->unitsPerHour(since)},
                   {"ports", ports}});
}

void getUnitFile(Served &served, const Request &req, Response &res, const char *field, const char *type) {
    ServeFolder *folder = folderAsked(served, req, res);
    if (folder == nullptr) return;
    long long n = 0;
    if (!serveParseIndex(req.matches[1], 0, 1000000000000LL, 0, n) || req.matches[1].length() == 0)
        return sendError(res, 400, "the unit is its journal line's number");
    serveConnectionAllow(60); // a long log to a slow phone
    std::string body;
    if (!folder->readUnitFile((size_t)n, field, body)) return sendError(res, 404, "no such file for that unit");
    res.set_content(std::move(body), type);
}

void getAsset(const WebAsset &asset, Response &res) {
    res.set_content(asset.body, asset.length, asset.contentType);
}

void getMetrics(Served &served, Response &res) {
    res.set_content(serveMetrics(served.list), "text/plain; version=0.0.4; charset=utf-8");
}

void setRoutes(httplib::Server &server, Served &served);

} // namespace

// --- The event stream -------------------------------------------------------------------------

namespace {

struct StreamPosition {
    long long lastId = -1;      // the last event id sent (-1: none yet)
    std::string stage, note;    // the station's stage and note as last sent
};

std::string sseEvent(const char *type, const StateJson &data, long long id) {
    std::string text = id >= 0 ? "id: " + std::to_string(id) + "\n" : "";
    return text + "event: " + type + "\ndata: " + dumpJson(data) + "\n\n";
}

// A field of an object the file may hold anything in: its value when of the right type.
std::string stateText(const StateJson &object, const char *key) {
    if (!object.is_object()) return "";
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

long long stateNumber(const StateJson &object, const char *key) {
    if (!object.is_object()) return 0;
    auto it = object.find(key);
    return it != object.end() && it->is_number_integer() ? it->get<long long>() : 0;
}

// The events of the state file after position.lastId, or a reload and the whole state when
// some are gone already (or came from an earlier run, whose ids were higher).
std::string sseNews(const ServeFolder &folder, StreamPosition &position) {
    const auto state = folder.state();
    const StateJson events = state && state->contains("events") && (*state)["events"].is_array()
                                 ? (*state)["events"] : StateJson::array();
    long long first = 0, newest = 0;
    if (!events.empty()) {
        first = stateNumber(events.front(), "id");
        newest = stateNumber(events.back(), "id");
    }
    std::string out;
    const bool fresh = position.lastId < 0;
    if (!fresh && (position.lastId > newest || (!events.empty() && position.lastId < first - 1)))
        out += sseEvent("reload", {{"reason", "events were missed: read the whole state again"}}, -1);
    if (!out.empty() || fresh) {
        const StateJson whole = stationJson(folder);
        out += sseEvent("state", whole, events.empty() ? -1 : newest); // no id before the first change
        position.lastId = newest;
        const StateJson station = whole.value("station", StateJson()); // the state holds them: no
        position.stage = stateText(station, "stage");                   // "station" event for them
        position.note = stateText(station, "note");
    }
    for (const StateJson &event : events) {
        const long long id = stateNumber(event, "id");
        if (id <= position.lastId) continue;
        position.lastId = id;
        const std::string type = stateText(event, "type");
        if (type == "port") out += sseEvent("port", {{"port", event.value("port", StateJson())}}, id);
        else if (type == "unit") {
            const long long line = stateNumber(event, "line");
            out += sseEvent("unit",
                            {{"line", line},
                             {"unit", line > 0 ? folder.journalLine((size_t)line) : StateJson()},
                             {"counts", state->value("counts", StateJson())}},
                            id);
        }
    }
    if (state && state->contains("station") && (*state)["station"].is_object()) {
        const StateJson &station = (*state)["station"];
        const std::string stage = stateText(station, "stage"), note = stateText(station, "note");
        if (stage != position.stage || note != position.note) {
            out += sseEvent("station", {{"stage", stage}, {"note", note}}, -1);
            position.stage = stage;
            position.note = note;
        }
    }
    return out;
}

void getEvents(Served &served, const Request &req, Response &res) {
    ServeFolder *folder = folderAsked(served, req, res);
    if (folder == nullptr) return;
    auto position = std::make_shared<StreamPosition>();
    long long last = 0;
    if (req.has_header("Last-Event-ID") && serveParseIndex(req.get_header_value("Last-Event-ID"), 0,
                                                           1000000000000000LL, 0, last))
        position->lastId = last;
    serveConnectionAllow(kStreamSeconds + SERVE_REQUEST_SECONDS);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kStreamSeconds);
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream", [&served, folder, position, until](size_t offset, httplib::DataSink &sink) {
            std::string out = offset == 0 ? "retry: " + std::to_string(kStreamRetryMs) + "\n\n" : "";
            unsigned long long seen = folder->waitForChange(0, 0);
            out += sseNews(*folder, *position);
            if (out.empty()) {
                folder->waitForChange(seen, kStreamQuietSeconds * 1000);
                out = sseNews(*folder, *position);
                if (out.empty()) out = ": still here\n\n";
            }
            if (served.stopping || std::chrono::steady_clock::now() > until || !sink.write(out.data(), out.size()))
                return false;
            return true;
        });
}

void setRoutes(httplib::Server &server, Served &served) {
    for (size_t i = 0; i < WEB_ASSET_COUNT; ++i)
        server.Get(WEB_ASSETS[i].path, [&asset = WEB_ASSETS[i]](const Request &, Response &res) { getAsset(asset, res); });
    server.Get("/api/v1/station", [&](const Request &req, Response &res) { getStation(served, req, res); });
    server.Get("/api/v1/journal", [&](const Request &req, Response &res) { getJournal(served, req, res); });
    server.Get("/api/v1/summary", [&](const Request &req, Response &res) { getSummary(served, req, res); });
    server.Get("/api/v1/events", [&](const Request &req, Response &res) { getEvents(served, req, res); });
    server.Get("/metrics", [&](const Request &, Response &res) { getMetrics(served, res); });
    server.Get(R"(/units/([^/]*)/log)", [&](const Request &req, Response &res) {
        getUnitFile(served, req, res, "log", "text/plain; charset=utf-8");
    });
    server.Get(R"(/units/([^/]*)/report)", [&](const Request &req, Response &res) {
        getUnitFile(served, req, res, "report", "application/json");
    });
}

} // namespace

// --- The server -------------------------------------------------------------------------------

// What every answer carries: nothing from elsewhere may run in the page, nothing is cached.
static httplib::Headers securityHeaders() {
    return {{"Content-Security-Policy", "default-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
                                        "frame-ancestors 'none'"},
            {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"},
            {"Referrer-Policy", "no-referrer"},
            {"Cache-Control", "no-store"}};
}

static void configure(ServeHttp &server, Served &served, bool loopback) {
    server.set_default_headers(securityHeaders());
    // Only reading: any other method is refused before its route or its body is looked at. On
    // this machine's own address, only this machine's own names: a page elsewhere that renames
    // itself to 127.0.0.1 (DNS rebinding) is refused.
    server.set_pre_routing_handler([loopback](const Request &req, Response &res) {
        if (loopback && !serveIsLoopback(serveHostOf(req.get_header_value("Host")))) {
            res.set_header("Connection", "close");
            sendError(res, 421, "this server answers to this machine's own names only (127.0.0.1, localhost)");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("Allow", "GET, HEAD");
        res.set_header("Connection", "close");
        sendError(res, 405, "this server only reads: GET and HEAD");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const Request &, Response &res) {
        if (res.body.empty()) res.set_content(std::to_string(res.status) + " " +
                                                  httplib::detail::status_message(res.status) + "\n",
                                              "text/plain; charset=utf-8");
    });
    setRoutes(server, served);
}

static std::string socketError() {
#ifdef _WIN32
    return std::system_category().message(WSAGetLastError());
#else
    return std::strerror(errno);
#endif
}

static std::string urlHost(const std::string &address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

static void printListening(const Options &options, const std::string &address, int port) {
    std::string dirs;
    for (const std::string &dir : options.serveDirs) dirs += (dirs.empty() ? "" : " ") + dir;
    const std::string url = "http://" + urlHost(address) + ":" + std::to_string(port) + "/";
    std::printf("Serving the station folder%s %s at %s\n", options.serveDirs.size() > 1 ? "s" : "", dirs.c_str(),
                url.c_str());
    // Every address of the machine: the browser elsewhere needs one of its names.
    const bool anyAddress = address == "0.0.0.0" || address == "::";
    if (!serveIsLoopback(address))
        std::printf("The page is on the network: anyone who reaches this machine can read it. Point a browser at "
                    "http://%s:%d/\n", anyAddress ? platformHostName().c_str() : urlHost(address).c_str(), port);
    std::fflush(stdout);
}

int runServe(const Options &options) {
    // Beside a station the page yields the processor to the updates, however hard it is asked.
    platformLowerPriority();
    Served served;
    for (const std::string &dir : options.serveDirs) {
        served.folders.push_back(std::make_unique<ServeFolder>(dir));
        served.list.push_back(served.folders.back().get());
        served.list.back()->refresh();
    }
    ServeHttp server;
    configure(server, served, serveIsLoopback(options.httpAddress));
    int port = options.httpPort;
    const bool bound = port == 0 ? (port = server.bind_to_any_port(options.httpAddress)) > 0
                                 : server.bind_to_port(options.httpAddress, port);
    if (!bound) {
        std::printf("ERROR: cannot listen on %s:%d: %s.\n", options.httpAddress.c_str(), options.httpPort,
                    socketError().c_str());
        return EXIT_UPDATE_FAILED;
    }
    printListening(options, options.httpAddress, port);
    std::atomic<bool> ended{false};
    std::thread listening([&] {
        server.listen_after_bind();
        ended = true;
    });
    while (platformStopSignal() == 0 && !ended) {
        for (ServeFolder *folder : served.list) folder->refresh();
        Sleep(kRefreshMs);
    }
    served.stopping = true;
    server.closeConnections();
    server.stop();
    for (ServeFolder *folder : served.list) folder->wake();
    listening.join();
    if (platformStopSignal() != 0) return EXIT_STOPPED;
    std::printf("ERROR: stopped listening on %s:%d.\n", options.httpAddress.c_str(), port);
    return EXIT_UPDATE_FAILED;
}
