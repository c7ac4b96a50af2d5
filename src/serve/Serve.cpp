// --serve: the station folders over HTTP, read-only. Every route reads a folder through
// ServeFolder; no part of a request reaches the file system but a journal line's number.
#include "serve/HttpLib.h" // first: winsock2.h must come before windows.h

#include "serve/Serve.h"

#include "base/Console.h"
#include "base/StringOperations.h"
#include "platform/FileRead.h"
#include "plant/PlantFollower.h"
#include "platform/Platform.h"
#include "product/Timing.h"
#include "record/JournalLines.h"
#include "record/Outcome.h"
#include "run/SerialNumber.h"
#include "serve/ServeConnections.h"
#include "serve/ServeFolder.h"
#include "serve/ServeMetrics.h"
#include "serve/ServeRequest.h"
#include "serve/ServeState.h"
#include "serve/WebAssets.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <system_error>
#endif

using httplib::Request;
using httplib::Response;

constexpr int kRefreshMs = 250;          // how often the folders are read again
constexpr int kSendOnlyStallMs = SCALED_MS(600000); // --records-db without --http: no line sent this long ends it
constexpr int kStreamSeconds = 300;      // an event stream ends after this; the browser reconnects
constexpr int kStreamRetryMs = 2000;     // ...after this long, asking for what it missed
constexpr int kStreamQuietSeconds = 15;  // a comment keeps a quiet stream alive through proxies
constexpr int kStreamsPerClient = 64;    // event streams one client address holds at once (429 beyond)
constexpr long long kJournalLimitMax = 1000;
constexpr size_t kSerialLinesMax = 500;  // a serial number's lines in one answer, newest first

namespace {

struct Served {
    std::vector<std::unique_ptr<ServeFolder>> folders;
    std::vector<ServeFolder *> list;
    std::vector<std::unique_ptr<PlantFollower>> plants; // --records-db: each folder's, in the same order
    std::atomic<bool> stopping{false};
    std::mutex streamsMutex;
    std::map<std::string, int> streams; // event streams open, by client address
};

void sendJson(Response &res, const StateJson &value) {
    res.set_content(serveJsonText(value), "application/json");
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

// How far the plant's database is behind each folder this process follows (null for the others).
std::vector<StateJson> plantStatuses(const Served &served) {
    std::vector<StateJson> out;
    for (const auto &plant : served.plants) out.push_back(plant ? plant->statusJson() : StateJson());
    return out;
}

// The folder's state, with how far the database this process sends it to is behind.
StateJson stationJson(const Served &served, const ServeFolder &folder) {
    StateJson out = serveStationJson(folder);
    for (size_t i = 0; i < served.plants.size(); ++i)
        if (served.plants[i] && served.list[i] == &folder) out["records_db"] = served.plants[i]->statusJson();
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
        if (ServeFolder *folder = folderAsked(served, req, res)) sendJson(res, stationJson(served, *folder));
        return;
    }
    StateJson list = StateJson::array();
    for (ServeFolder *folder : served.list) list.push_back(stationJson(served, *folder));
    sendJson(res, {{"stations", list}});
}

// ?serial=S: that serial number's lines in every folder (a unit may have been reworked at another).
void getJournalOfSerial(Served &served, const Request &req, Response &res) {
    const std::string serial = req.get_param_value("serial");
    if (req.get_param_value_count("serial") > 1) return sendError(res, 400, "serial is given more than once");
    // What a station takes as a serial number, and nothing else: nothing else can be in a journal.
    const std::string problem = serialNumberProblem(serial, nullptr);
    if (!problem.empty()) return sendError(res, 400, "the serial number " + problem);
    sendJson(res, serveJournalOfSerial(served.list, serial, kSerialLinesMax));
}

void getJournal(Served &served, const Request &req, Response &res) {
    if (req.has_param("serial")) return getJournalOfSerial(served, req, res);
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
    unsigned long long size = 0;
    FILE *opened = folder->openUnitFile((size_t)n, field, size);
    if (opened == nullptr) return sendError(res, 404, "no such file for that unit");
    serveConnectionAllow(60); // a long log to a slow phone
    // Streamed from the file as it was when asked for: a large log never sits whole in memory.
    std::shared_ptr<FILE> file(opened, std::fclose);
    res.set_content_provider((size_t)size, type, [file](size_t offset, size_t length, httplib::DataSink &sink) {
        char buffer[65536];
        const size_t got = fileSeek(file.get(), offset) ? std::fread(buffer, 1, std::min(length, sizeof buffer), file.get()) : 0;
        return got > 0 && sink.write(buffer, got); // a file cut meanwhile ends the answer short
    });
}

void getAsset(const WebAsset &asset, Response &res) {
    res.set_content(asset.body, asset.length, asset.contentType);
}

void getMetrics(Served &served, Response &res) {
    res.set_content(serveMetrics(served.list, plantStatuses(served)), "text/plain; version=0.0.4; charset=utf-8");
}

// --- The event stream -------------------------------------------------------------------------

// One more event stream of client's, counted for as long as the token lives; null when the client
// holds its share already, so that one client cannot take every connection the server has.
std::shared_ptr<void> streamTaken(Served &served, const std::string &client) {
    std::lock_guard<std::mutex> lock(served.streamsMutex);
    int &open = served.streams[client];
    if (open >= kStreamsPerClient) return nullptr;
    ++open;
    return std::shared_ptr<void>(&served, [client](void *p) {
        Served &s = *static_cast<Served *>(p);
        std::lock_guard<std::mutex> lock(s.streamsMutex);
        if (--s.streams[client] == 0) s.streams.erase(client);
    });
}

void getEvents(Served &served, const Request &req, Response &res) {
    ServeFolder *folder = folderAsked(served, req, res);
    if (folder == nullptr) return;
    auto taken = streamTaken(served, req.remote_addr); // given back with the answer
    if (!taken) return sendError(res, 429, "this client has its share of event streams open already");
    auto position = std::make_shared<StreamPosition>();
    long long last = 0;
    if (req.has_header("Last-Event-ID") && serveParseIndex(req.get_header_value("Last-Event-ID"), 0,
                                                           1000000000000000LL, 0, last))
        position->lastId = last;
    serveConnectionAllow(kStreamSeconds + SERVE_REQUEST_SECONDS);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kStreamSeconds);
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream", [&served, folder, position, until, taken](size_t offset, httplib::DataSink &sink) {
            std::string out = offset == 0 ? "retry: " + std::to_string(kStreamRetryMs) + "\n\n" : "";
            unsigned long long seen = folder->waitForChange(0, 0);
            out += serveNews(*folder, *position);
            // Quiet: a second at a time, so that the stream's thread ends with its client.
            for (int quiet = 0; out.empty() && quiet < kStreamQuietSeconds; ++quiet) {
                seen = folder->waitForChange(seen, 1000);
                if (served.stopping || !sink.is_writable()) return false;
                out = serveNews(*folder, *position);
            }
            if (out.empty()) out = ": still here\n\n";
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

// Whether address is one of this machine's: a socket binds to it only then.
static bool isOwnAddress(const std::string &address) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0) return false;
    bool own = false;
    for (const addrinfo *a = found; a != nullptr && !own; a = a->ai_next) {
        const socket_t sock = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (sock == INVALID_SOCKET) continue;
        own = ::bind(sock, a->ai_addr, (int)a->ai_addrlen) == 0;
        httplib::detail::close_socket(sock);
    }
    freeaddrinfo(found);
    return own;
}

// The names a browser elsewhere may know this machine by: its name, and its full name.
static std::vector<std::string> ownNames() {
    std::vector<std::string> names;
    auto add = [&](const std::string &name) {
        if (!name.empty()) names.push_back(lowerCase(name));
    };
    const std::string host = platformHostName();
    add(host);
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
        if (found->ai_canonname != nullptr) add(found->ai_canonname);
        freeaddrinfo(found);
    }
    return names;
}

// Why a request is refused before its route is looked at: 0 (it is not), or its status with why.
static int refusal(const Request &req, const ServeHosts &hosts, std::string &why) {
    // A Host that could be read two ways (two of them, "[::1]evil", "a:80@evil") names no host.
    if (req.get_header_value_count("Host") > 1 || !serveHostWellFormed(req.get_header_value("Host"))) {
        why = "a request names one host, and a port at most";
        return 400;
    }
    // Only this machine's own names: a page elsewhere whose name was made to lead here is refused.
    if (!serveHostAccepted(req.get_header_value("Host"), hosts)) {
        why = "this server answers to this machine's own names and addresses only";
        return 421;
    }
    // Only reading: any other method is refused before its route or its body is looked at.
    why = "this server only reads: GET and HEAD";
    return req.method == "GET" || req.method == "HEAD" ? 0 : 405;
}

static void configure(ServeHttp &server, Served &served, const std::string &address) {
    server.set_default_headers(securityHeaders());
    // One listener a port: no second server shares it, and one stopped starts again at once. On
    // Windows no option at all: a port bound so is shared with no later socket, SO_REUSEADDR or
    // not (enhanced socket security, every Windows since Server 2003; one user may still bind the
    // wildcard address and one named address of a port, each answering its own), and a closed
    // server's lingering connections (TIME_WAIT) do not hold it. SO_EXCLUSIVEADDRUSE would keep
    // the port from the next exclusive socket until every connection the closed one accepted is
    // inactive: the station's restart within seconds. Elsewhere SO_REUSEADDR, which there only
    // passes over a port's TIME_WAIT connections (cpp-httplib would add SO_REUSEPORT: shared).
    server.set_socket_options([]([[maybe_unused]] socket_t sock) {
#ifndef _WIN32
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    });
    ServeHosts hosts;
    hosts.loopback = serveIsLoopback(address);
    hosts.listen = address;
    hosts.names = ownNames();
    hosts.isOwnAddress = isOwnAddress;
    server.set_pre_routing_handler([hosts](const Request &req, Response &res) {
        std::string why;
        const int status = refusal(req, hosts, why);
        if (status == 0) return httplib::Server::HandlerResponse::Unhandled;
        if (status == 405) res.set_header("Allow", "GET, HEAD");
        res.set_header("Connection", "close");
        sendError(res, status, why);
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

// What each folder's plant database lacks at the end (how many lines, from which), set aside,
// or why nothing more is sent from it; nothing when every line is there.
static void printPlantClosing(const Served &served) {
    for (const auto &plant : served.plants)
        if (plant)
            for (const std::string &line : plant->closing())
                std::printf("%s: %s\n", consoleSafeName(plant->dir()).c_str(), consoleSafeName(line).c_str());
    std::fflush(stdout);
}

// --serve DIR... --records-db without --http: the folders' journals into the plant's database,
// until every line is there (exit 0), a folder cannot be sent (no journal to read, a key file
// that holds no key, its journal not the one the database holds, lines the database refuses:
// exit 1), or a stop (130).
static int sendOnly(Served &served) {
    std::string dirs;
    for (ServeFolder *folder : served.list) dirs += (dirs.empty() ? "" : " ") + consoleSafeName(folder->dir());
    std::printf("Sending the journal of each station folder to the plant's database: %s\n%s\n", dirs.c_str(),
                served.plants.front()->heading().c_str());
    std::fflush(stdout);
    // A folder with no journal to read (a path mistyped, a link or a FIFO in its place) has sent
    // nothing: never "every journal line".
    bool readable = true;
    for (ServeFolder *folder : served.list) {
        const std::string why = journalUnreadable(folder->dir() + "/journal.jsonl");
        if (!why.empty())
            std::printf("%s: ERROR: nothing to send: %s.\n", consoleSafeName(folder->dir()).c_str(), why.c_str());
        readable = readable && why.empty();
    }
    if (!readable) return EXIT_UPDATE_FAILED;
    std::string said;
    size_t sentBefore = 0;
    auto progressed = std::chrono::steady_clock::now();
    for (;;) {
        std::string text;
        bool finished = true;
        size_t sent = 0;
        for (const auto &plant : served.plants) {
            const PlantStatus s = plant->status();
            // Done: every line there as counted there, or nothing more to send (lines set aside, a mismatch).
            finished = finished && (!s.mismatch.empty() || s.keyUnreadable || (s.up && s.behind() == 0 && s.checked));
            sent += s.sent - s.missing;
            if (!plant->note().empty()) text += consoleSafeName(plant->dir() + ": " + plant->note()) + "\n";
        }
        if (finished) break;
        if (sent != sentBefore) progressed = std::chrono::steady_clock::now();
        sentBefore = sent;
        // A script waits on this: a database that takes nothing for this long is an outcome, not a wait.
        if (std::chrono::steady_clock::now() - progressed > std::chrono::milliseconds(kSendOnlyStallMs)) {
            std::printf("%sERROR: no line reached the plant's database for %d s: see above, then run this again"
                        " (what it holds is never sent twice).\n", text.c_str(), kSendOnlyStallMs / 1000);
            printPlantClosing(served);
            return EXIT_UPDATE_FAILED;
        }
        if (text != said) std::printf("%s", text.c_str());
        std::fflush(stdout);
        said = text;
        if (platformStopSignal() != 0) {
            printPlantClosing(served);
            return EXIT_STOPPED;
        }
        Sleep(kRefreshMs);
    }
    int status = EXIT_UPDATE_OK;
    for (const auto &plant : served.plants) {
        const PlantStatus s = plant->status();
        if (s.allThere()) {
            std::printf("%s: every journal line in the plant's database (%zu lines, %zu of them damaged and skipped).\n",
                        consoleSafeName(plant->dir()).c_str(), s.sent, s.damaged);
            continue;
        }
        for (const std::string &line : plant->closing())
            std::printf("%s: ERROR: %s\n", consoleSafeName(plant->dir()).c_str(), consoleSafeName(line).c_str());
        status = EXIT_UPDATE_FAILED;
    }
    return status;
}

int runServe(const Options &options) {
    // Beside a station the page yields the processor to the updates, however hard it is asked.
    platformLowerPriority();
    Served served;
    for (const std::string &dir : options.serveDirs) {
        served.folders.push_back(std::make_unique<ServeFolder>(dir));
        served.list.push_back(served.folders.back().get());
        served.list.back()->refresh();
        int status = 0;
        served.plants.push_back(plantStart(options, dir, false, status));
        if (status != 0) return status;
    }
    if (!options.http) return sendOnly(served);
    ServeHttp server;
    configure(server, served, options.httpAddress);
    int port = options.httpPort;
    const bool bound = port == 0 ? (port = server.bind_to_any_port(options.httpAddress)) > 0
                                 : server.bind_to_port(options.httpAddress, port);
    if (!bound) {
        std::printf("ERROR: cannot listen on %s:%d: %s.\n", options.httpAddress.c_str(), options.httpPort,
                    socketError().c_str());
        return EXIT_UPDATE_FAILED;
    }
    printListening(options, options.httpAddress, port);
    if (!served.plants.empty() && served.plants.front()) { // where the journals go, the password hidden
        std::printf("%s\n", served.plants.front()->heading().c_str());
        std::fflush(stdout);
    }
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
    for (auto &plant : served.plants)
        if (plant) plant->stop(); // what the journals hold yet, within the stop's grace
    printPlantClosing(served);
    if (platformStopSignal() != 0) return EXIT_STOPPED;
    std::printf("ERROR: stopped listening on %s:%d.\n", options.httpAddress.c_str(), port);
    return EXIT_UPDATE_FAILED;
}
