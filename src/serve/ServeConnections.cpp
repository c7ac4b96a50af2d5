#include "serve/ServeConnections.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

using Clock = std::chrono::steady_clock;

// What the connection threads, the refusing thread and the watchdog share; it outlives the
// server until the last of them ends.
struct ServeConnectionsShared {
    std::mutex mutex;
    std::condition_variable changed;
    int active = 0;
    bool stopping = false;
    std::deque<std::function<void()>> refused;
    std::map<socket_t, Clock::time_point> deadlines;
};

static thread_local ServeConnectionsShared *tShared = nullptr;
static thread_local socket_t tSocket = INVALID_SOCKET;
static thread_local bool tRefusing = false;

static void setDeadline(ServeConnectionsShared &shared, socket_t sock, int seconds) {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.deadlines[sock] = Clock::now() + std::chrono::seconds(seconds);
}

void serveConnectionAllow(int seconds) {
    if (tShared != nullptr && tSocket != INVALID_SOCKET) setDeadline(*tShared, tSocket, seconds);
}

// Shuts every connection past its deadline (all of them once stopping): its thread's read or
// write ends at once. Closing stays with the thread, so a socket number is never reused under it.
static void watchdog(std::shared_ptr<ServeConnectionsShared> shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        const auto now = Clock::now();
        for (auto it = shared->deadlines.begin(); it != shared->deadlines.end();) {
            if (!shared->stopping && it->second > now) {
                ++it;
                continue;
            }
            httplib::detail::shutdown_socket(it->first);
            it = shared->deadlines.erase(it);
        }
        if (shared->stopping && shared->active == 0 && shared->refused.empty()) return;
        shared->changed.wait_for(lock, std::chrono::milliseconds(200));
    }
}

// Connections beyond the limit, answered one after another: each answer is one small write.
static void refuser(std::shared_ptr<ServeConnectionsShared> shared) {
    tRefusing = true;
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->changed.wait_for(lock, std::chrono::milliseconds(200),
                                 [&] { return !shared->refused.empty() || shared->stopping; });
        if (shared->refused.empty()) {
            if (shared->stopping) return;
            continue;
        }
        std::function<void()> task = std::move(shared->refused.front());
        shared->refused.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

// cpp-httplib's task queue, replaced: a thread per connection, so an idle or streaming client
// never delays another's request; past the limit the task goes to the refusing thread.
class ConnectionThreads : public httplib::TaskQueue {
public:
    explicit ConnectionThreads(std::shared_ptr<ServeConnectionsShared> shared) : shared_(std::move(shared)) {}
    void enqueue(std::function<void()> task) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->active >= SERVE_MAX_CONNECTIONS || shared_->stopping) {
            shared_->refused.push_back(std::move(task));
            shared_->changed.notify_all();
            return;
        }
        ++shared_->active;
        std::thread([shared = shared_, task = std::move(task)] {
            task();
            std::lock_guard<std::mutex> lock(shared->mutex);
            --shared->active;
            shared->changed.notify_all();
        }).detach();
    }
    // The server stopped listening: bounded by the deadlines (all shut when stopping).
    void shutdown() override {
        std::unique_lock<std::mutex> lock(shared_->mutex);
        shared_->changed.wait_for(lock, std::chrono::seconds(10), [&] { return shared_->active == 0; });
    }

private:
    std::shared_ptr<ServeConnectionsShared> shared_;
};

// A status alone, then the connection closed: what is still coming in is read and dropped
// first (for at most `drainMs`), or the close would reset the connection before the client read
// the answer. A refusal drains only what is there already: one slow client must not hold the
// refusals of the others.
static void answerAndClose(socket_t sock, int status, int drainMs) {
    const std::string text = std::to_string(status) + " " + httplib::detail::status_message(status) + "\n";
    const std::string answer = "HTTP/1.1 " + text.substr(0, text.size() - 1) +
                               "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size()) +
                               "\r\nConnection: close\r\n\r\n" + text;
    ::send(sock, answer.data(), (int)answer.size(), 0);
#ifdef _WIN32
    ::shutdown(sock, SD_SEND);
#else
    ::shutdown(sock, SHUT_WR);
#endif
    char sink[4096];
    const auto until = Clock::now() + std::chrono::milliseconds(drainMs);
    for (int i = 0; i < 64; ++i) {
        const long waitUs = (long)std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now()).count());
        if (httplib::detail::select_read(sock, 0, std::min(waitUs, 100000L)) <= 0 ||
            ::recv(sock, sink, (int)sizeof sink, 0) <= 0)
            break;
    }
}

enum HeadFound { HEAD_WHOLE, HEAD_TOO_LARGE, HEAD_MISSING };

// Waits (bounded) for a request's whole head, peeking: cpp-httplib then reads it itself.
static HeadFound peekHead(socket_t sock) {
    char head[SERVE_HEAD_MAX];
    const auto until = Clock::now() + std::chrono::seconds(SERVE_REQUEST_SECONDS);
    long last = -1;
    while (Clock::now() < until) {
        if (httplib::detail::select_read(sock, 0, 100000) < 0) return HEAD_MISSING;
        const long n = (long)::recv(sock, head, (int)sizeof head, MSG_PEEK);
        if (n <= 0) return HEAD_MISSING;
        const std::string_view text(head, (size_t)n);
        if (text.find("\r\n\r\n") != std::string_view::npos || text.find("\n\n") != std::string_view::npos)
            return HEAD_WHOLE;
        if ((size_t)n >= sizeof head) return HEAD_TOO_LARGE;
        if (n == last) std::this_thread::sleep_for(std::chrono::milliseconds(20)); // nothing new came
        last = n;
    }
    return HEAD_MISSING;
}

// Waits, sleeping, for a connection's next request: cpp-httplib's own wait wakes every 10 ms,
// which hundreds of idle connections turn into a busy machine.
static bool nextRequestCame(socket_t sock) {
    return httplib::detail::select_read(sock, SERVE_KEEP_ALIVE_SECONDS, 0) > 0;
}

ServeHttp::ServeHttp() : shared_(std::make_shared<ServeConnectionsShared>()) {
    std::thread(watchdog, shared_).detach();
    std::thread(refuser, shared_).detach();
    new_task_queue = [shared = shared_] { return new ConnectionThreads(shared); };
    set_tcp_nodelay(true); // the head and the body go out in two writes: no wait for an ACK between
    set_keep_alive_timeout(SERVE_KEEP_ALIVE_SECONDS);
    set_read_timeout(SERVE_REQUEST_SECONDS, 0);
    set_write_timeout(SERVE_REQUEST_SECONDS, 0);
}

ServeHttp::~ServeHttp() { closeConnections(); }

void ServeHttp::closeConnections() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    shared_->changed.notify_all();
}

bool ServeHttp::serveRequests(socket_t sock) {
    return httplib::detail::process_server_socket(
        svr_sock_, sock, keep_alive_max_count_, keep_alive_timeout_sec_, read_timeout_sec_, read_timeout_usec_,
        write_timeout_sec_, write_timeout_usec_, [&](httplib::Stream &strm, bool close, bool &closed) {
            setDeadline(*shared_, sock, SERVE_REQUEST_SECONDS);
            const HeadFound head = peekHead(sock);
            if (head == HEAD_TOO_LARGE) answerAndClose(sock, 431, 1000);
            if (head != HEAD_WHOLE) return false;
            const bool ok = process_request(strm, close, closed, nullptr);
            setDeadline(*shared_, sock, SERVE_KEEP_ALIVE_SECONDS + 1);
            return ok && !closed && nextRequestCame(sock);
        });
}

bool ServeHttp::process_and_close_socket(socket_t sock) {
    bool served = false;
    if (tRefusing) answerAndClose(sock, 503, 0);
    else {
        tShared = shared_.get();
        tSocket = sock;
        setDeadline(*shared_, sock, SERVE_REQUEST_SECONDS);
        served = nextRequestCame(sock) && serveRequests(sock);
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->deadlines.erase(sock);
        tSocket = INVALID_SOCKET;
    }
    httplib::detail::shutdown_socket(sock);
    httplib::detail::close_socket(sock);
    return served;
}
