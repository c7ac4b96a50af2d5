// unit-emulator: the extender unit's side of the update protocol, for tests, the demo and
// bench runs. It serves a pseudo-terminal (printing the slave's path) or a real serial
// device, answers only at its baud rate as a real UART would, records what it saw, and
// injects faults on request. It serves until it is stopped (SIGTERM, SIGINT), so the line
// never hangs up under a program that is still reading. Run with --help for the options.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#ifndef FWUPGRADE_TIME_DIVISOR
#define FWUPGRADE_TIME_DIVISOR 1
#endif

namespace {

const char kHelpReply[] = "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";
const char kTxIdentity[] = "Ondrex 6G SDI EXTENDER TX OVER FIBER WITH RETURN CHANNEL\r\n>>";
const char kRxIdentity[] = "Ondrex 6G SDI EXTENDER RX OVER FIBER WITH RETURN CHANNEL\r\n>>";
const unsigned kImageBaud = 115200;
const long kPtyBufferBytes = 32768; // at least what a pty takes before its writer blocks

struct Config {
    unsigned baud = 9600;
    std::string unit = "tx"; // tx, rx, or any other text sent as the identity
    std::string versionReply = "1.0.3 K482915 1.03 7\r\n>>";
    std::string promptText = "[K482915] boot complete\r\n>>";
    std::string versionAfter = "1.0.4 K482915 1.04 7\r\n>>"; // the version reply once both images are in
    bool silentAfterReboot = false;
    std::string summaryPath, saveDir, linkPath, device;
    // Faults.
    bool silence = false, probeOffByOne = false, chatter = false, secondProbeOnly = false, noPrompt = false;
    bool zeroFlood = false;
    bool anyRate = false; // takes commands at every line rate (a unit detection never settles on)
    unsigned leftAt = 0;  // listens at this rate until its reboot, as a run cut short left it
    std::string noReady, wrongAck, hangup; // "fpga" or "mcu"
    std::string wrongAckText = "FAILURE";
    long stallAfter = -1;   // stop reading after this many bytes of the FPGA image
    long stallMs = -1;      // for this long; -1: for good
    int splitPieces = 1, splitPauseMs = 0;
    long slowLineBps = 0; // bytes a second taken from the line; 0: as fast as they come
    long rebootMs = -1;   // silence after the MCU image before the prompt; -1: protocol default
    // A unit plugged in, switched off and pulled out: the link appears, the unit falls silent,
    // the line goes away, each that long after the start (-1: never).
    long plugAfterMs = -1, powerOffAfterMs = -1, pullAfterMs = -1;
    bool unplugAfterProbe = false; // the link goes once a probe was answered; the line stays
    // A second port on the same line, its path printed second: "listen" (a tap that hears what
    // the unit sends, its own bytes going nowhere) or "share" (a Y cable: both ports talk to it).
    std::string second, secondLink;
};

struct Output {
    long long atMs;
    std::string bytes;
    unsigned baud = 0; // the rate the unit sends it at (0: the rate it takes commands at when sent)
};

long long nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

long long nowMs() { return nowUs() / 1000; }

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

class Emulator {
  public:
    explicit Emulator(const Config &c) : cfg(c), commandBaud(c.leftAt != 0 ? c.leftAt : c.baud) {}

    bool open() {
        if (!cfg.device.empty()) return openDevice();
        return openPty();
    }

    int run();

  private:
    const Config &cfg;
    int fd = -1;      // master side (or the device)
    int slaveFd = -1; // held open so the master never sees a hang-up between the updater's opens
    int secondFd = -1, secondSlaveFd = -1; // the second port on the line, if any
    int ioFd = -1;    // the port whose bytes are being taken: its rate and flow control count
    FILE *summary = nullptr;
    unsigned commandBaud;
    std::string startLine; // the line's settings before anybody could open it
    std::string line;
    std::deque<Output> pending;
    int probesAtRate = 0;
    unsigned lastProbeBaud = 0;
    bool rebooted = false; // both images taken: the new firmware answers
    bool poweredOff = false;
    // Image being received.
    std::string imageKind;
    long imageLength = 0;
    uint32_t imageChecksum = 0;
    uint32_t imageSum = 0; // of the bytes so far, kept as they come
    std::vector<uint8_t> image;
    long long imageFirstUs = 0; // when its first byte was taken: the line's time for it
    long long lastRefillUs = 0;
    double lineTokens = 0;
    long long stallUntilMs = 0; // reading stopped until then (LLONG_MAX: for good)

    std::string slavePath;
    bool linked = false;
    bool unplugged = false; // --unplug-after-probe: the link went, for good
    bool openPty();
    bool openSecond();
    bool openDevice();
    bool makeLink();
    void ready(const std::string &path);
    unsigned lineBaud() const;
    bool lineCts() const;
    std::string lineSettings() const;
    void record(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void reply(const std::string &text, long long delayMs = 0);
    void onBytes(const uint8_t *data, size_t n);
    void onCommand(const std::string &command);
    void onImageComplete();
    void announce(const std::string &kind, const std::string &args);
    void flushPending();
    void copyToSecond(std::string bytes, unsigned baud);
    void takeBoth(uint8_t *buffer, size_t room);
    size_t readAllowance();
};

// A new pty, raw before the updater opens it (Wine leaves echo on until its first SetCommState):
// its master, its slave held open, and the slave's path.
bool openRawPty(int &master, int &slave, std::string &path) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    const char *name = ptsname(master);
    if (!name) return false;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) return false;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    tcsetattr(slave, TCSANOW, &t);
    path = name;
    return true;
}

bool Emulator::openPty() {
    if (!openRawPty(fd, slaveFd, slavePath)) return false;
    ioFd = fd;
    if (!cfg.linkPath.empty() && cfg.plugAfterMs < 0 && !makeLink()) return false;
    startLine = lineSettings(); // before the path is out: an updater may open the line at once
    ready(slavePath);
    return cfg.second.empty() || openSecond();
}

bool Emulator::openSecond() {
    std::string path;
    if (!openRawPty(secondFd, secondSlaveFd, path)) return false;
    if (!cfg.secondLink.empty()) {
        ::unlink(cfg.secondLink.c_str());
        if (symlink(path.c_str(), cfg.secondLink.c_str()) != 0) return false;
    }
    record("second port=%s", cfg.second.c_str());
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    return true;
}

bool Emulator::makeLink() {
    ::unlink(cfg.linkPath.c_str());
    linked = symlink(slavePath.c_str(), cfg.linkPath.c_str()) == 0;
    if (linked) record("plugged link=%s", cfg.linkPath.c_str());
    return linked;
}

bool Emulator::openDevice() {
    ioFd = fd = ::open(cfg.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    speed_t s = cfg.baud == 115200 ? B115200 : cfg.baud == 57600 ? B57600 : cfg.baud == 4800 ? B4800
              : cfg.baud == 2400 ? B2400 : cfg.baud == 1200 ? B1200 : B9600;
    cfsetspeed(&t, s);
    tcsetattr(fd, TCSANOW, &t);
    startLine = lineSettings();
    ready(cfg.device);
    return true;
}

// The summary is open with its first line before the path is out: whoever reads the path may
// read the summary at once.
void Emulator::ready(const std::string &path) {
    if (!cfg.summaryPath.empty()) summary = std::fopen(cfg.summaryPath.c_str(), "w");
    record("start baud=%u unit=%s line=%s", cfg.baud, cfg.unit.c_str(), startLine.c_str());
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
}

// The rate the updater set: on a pty the master reports the slave's settings.
unsigned Emulator::lineBaud() const {
    if (!cfg.device.empty()) return commandBaud; // a real UART at another rate sees only noise
#ifdef __linux__
    // The kernel's termios2 (its header clashes with <termios.h>): any rate, not just Bxxx.
    struct Termios2 {
        tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
        cc_t c_line;
        cc_t c_cc[19];
        speed_t c_ispeed, c_ospeed;
    } t2{};
    if (ioctl(ioFd, _IOR('T', 0x2A, Termios2), &t2) == 0) return t2.c_ospeed;
#endif
    return 0;
}

bool Emulator::lineCts() const {
    struct ::termios t{};
    if (tcgetattr(ioFd, &t) != 0) return false;
    return (t.c_cflag & CRTSCTS) != 0;
}

// The slave's termios as the updater left it: flags and rate, to compare before and after.
std::string Emulator::lineSettings() const {
    struct ::termios t{};
    if (tcgetattr(fd, &t) != 0) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%x:%x:%x:%x rate=%u cts=%d", (unsigned)t.c_iflag, (unsigned)t.c_oflag,
                  (unsigned)t.c_cflag, (unsigned)t.c_lflag, lineBaud(), lineCts());
    return text;
}

void Emulator::record(const char *fmt, ...) {
    if (!summary) return;
    va_list args;
    va_start(args, fmt);
    std::vfprintf(summary, fmt, args);
    va_end(args);
    std::fputc('\n', summary);
    std::fflush(summary);
}

// Escapes a text for one summary line.
std::string printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else out += (char)c;
    }
    return out;
}

void Emulator::reply(const std::string &text, long long delayMs) {
    const long long start = nowMs() + delayMs;
    const size_t pieces = (size_t)std::max(1, cfg.splitPieces);
    const size_t size = (text.size() + pieces - 1) / pieces;
    for (size_t i = 0; i * size < text.size() || (i == 0 && text.empty()); ++i)
        pending.push_back({start + (long long)i * cfg.splitPauseMs, text.substr(i * size, size), commandBaud});
}

void Emulator::announce(const std::string &kind, const std::string &args) {
    unsigned long long checksum = 0;
    long length = -1;
    if (std::sscanf(args.c_str(), "%llu %ld", &checksum, &length) != 2 || length < 0) {
        record("bad-announcement kind=%s args=%s", kind.c_str(), printable(args).c_str());
        reply("ERROR\r\n>>");
        return;
    }
    record("announce kind=%s checksum=%llu length=%ld baud=%u cts=%d", kind.c_str(), checksum, length, lineBaud(),
           lineCts());
    if (cfg.noReady == kind) return;
    imageKind = kind;
    imageLength = length;
    imageChecksum = (uint32_t)checksum;
    image.clear();
    imageSum = 0;
    reply("Ready"); // at the rate of the announcement
    commandBaud = kImageBaud; // the unit takes the image, and what follows, at 115200
    if (length == 0) onImageComplete();
}

void Emulator::onCommand(const std::string &command) {
    record("command text=%s baud=%u cts=%d%s", printable(command).c_str(), lineBaud(), lineCts(),
           ioFd == secondFd ? " via=second" : "");
    if (cfg.silence || (rebooted && cfg.silentAfterReboot) || poweredOff) return;
    if (command == "%%%help -c version") {
        const bool sameRate = lastProbeBaud == lineBaud();
        probesAtRate = sameRate ? probesAtRate + 1 : 1;
        lastProbeBaud = lineBaud();
        if (cfg.secondProbeOnly && probesAtRate % 2 == 1) return;
        std::string text = kHelpReply;
        if (cfg.probeOffByOne) text[text.size() - 3] = 'X';
        // Found, and gone before anybody opens the port again: the link goes before the answer,
        // so that no run started on that answer finds it, however busy the machine.
        if (cfg.unplugAfterProbe && linked) {
            ::unlink(cfg.linkPath.c_str());
            linked = false;
            unplugged = true;
            record("unplugged");
        }
        reply(text);
    } else if (command == "%%%fw -v") {
        reply(rebooted ? cfg.versionAfter : cfg.versionReply);
    } else if (command == "%%%fw -p") {
        reply(cfg.unit == "tx" ? kTxIdentity : cfg.unit == "rx" ? kRxIdentity : cfg.unit + "\r\n>>");
    } else if (command.rfind("%%%fw -l ", 0) == 0) {
        announce("fpga", command.substr(9));
    } else if (command.rfind("%%%fw -h ", 0) == 0) {
        announce("mcu", command.substr(9));
    } else {
        reply("Unknown command\r\n>>");
    }
}

void Emulator::onImageComplete() {
    const bool ok = imageSum == imageChecksum && (long)image.size() == imageLength;
    const std::string kind = imageKind;
    imageKind.clear();
    const std::string file = cfg.saveDir.empty() ? "" : cfg.saveDir + "/" + kind + ".bin";
    const double lineSeconds = image.empty() ? 0 : (double)(nowUs() - imageFirstUs) / 1e6;
    record("image kind=%s length=%zu checksum_ok=%d baud=%u cts=%d line_s=%.3f file=%s", kind.c_str(), image.size(),
           ok, lineBaud(), lineCts(), lineSeconds, file.c_str());
    // The acknowledgement goes out before the image is saved, as from the unit: saving takes
    // time that the accelerated time-out leaves no room for on a busy machine.
    if (cfg.wrongAck == kind) reply(cfg.wrongAckText);
    else reply(ok ? "SUCCESS" : "CHECKSUM ERROR");
    flushPending();
    if (FILE *f = file.empty() ? nullptr : std::fopen(file.c_str(), "wb")) {
        std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    if (kind != "mcu" || !ok || cfg.wrongAck == kind) return;
    // Reboot: silent, then the prompt lands in the updater's last read (after its 138 s wait,
    // the 1 s silent read that ends the acknowledgement and the 1 s first read).
    commandBaud = cfg.baud;
    rebooted = true;
    const long long rebootMs = cfg.rebootMs >= 0 ? cfg.rebootMs : (1000 + 138000 + 1000 + 5500) / FWUPGRADE_TIME_DIVISOR;
    if (cfg.noPrompt) return;
    reply(cfg.promptText, rebootMs);
    pending.back().bytes.insert(0, "\x01PROMPT"); // marker: record the line settings when sent
}

void Emulator::onBytes(const uint8_t *data, size_t n) {
    // The rate the bytes came at, asked once: a query per byte made the unit too slow to
    // acknowledge an image within the accelerated time-out on a busy machine.
    const unsigned baud = lineBaud();
    for (size_t i = 0; i < n; ++i) {
        if (!imageKind.empty()) {
            if (baud != kImageBaud) continue; // noise at any other rate
            if (image.empty()) imageFirstUs = nowUs();
            image.push_back(data[i]);
            imageSum -= data[i];
            if (imageKind == "fpga" && (long)image.size() == cfg.stallAfter) {
                record("stall kind=fpga after=%zu ms=%ld", image.size(), cfg.stallMs);
                stallUntilMs = cfg.stallMs < 0 ? LLONG_MAX : nowMs() + cfg.stallMs;
            }
            if (cfg.hangup == imageKind && (long)image.size() * 2 >= imageLength) {
                record("hangup kind=%s after=%zu", imageKind.c_str(), image.size());
                gStop = 1;
                return;
            }
            if ((long)image.size() == imageLength) onImageComplete();
            continue;
        }
        if (baud != commandBaud && !cfg.anyRate) { // a UART at another rate receives no command
            if (data[i] == '\n') record("ignored baud=%u cts=%d", baud, lineCts());
            continue;
        }
        line.push_back((char)data[i]);
        // Commands end with "\n\r".
        if (line.size() >= 2 && line[line.size() - 2] == '\n' && line.back() == '\r') {
            std::string command = line.substr(0, line.size() - 2);
            line.clear();
            onCommand(command);
        }
    }
}

void Emulator::flushPending() {
    while (!pending.empty() && pending.front().atMs <= nowMs()) {
        std::string bytes = pending.front().bytes;
        const unsigned baud = pending.front().baud != 0 ? pending.front().baud : commandBaud;
        pending.pop_front();
        if (bytes.rfind("\x01PROMPT", 0) == 0) {
            bytes.erase(0, 7);
            record("prompt baud=%u cts=%d", lineBaud(), lineCts());
            // Sent at the unit's own rate: a line at another one receives noise.
            if (lineBaud() != commandBaud && !cfg.anyRate)
                for (char &c : bytes) c = (char)(c ^ 0x5A);
        }
        copyToSecond(bytes, baud);
        size_t off = 0;
        while (off < bytes.size() && !gStop) {
            ssize_t w = ::write(fd, bytes.data() + off, bytes.size() - off);
            if (w > 0) off += (size_t)w;
            else if (w < 0 && errno != EAGAIN && errno != EINTR) return;
            else usleep(1000);
        }
    }
    if ((cfg.chatter || cfg.zeroFlood) && pending.empty()) {
        std::string burst;
        while (burst.size() < 4096) burst += cfg.zeroFlood ? std::string(64, '\0') : "chatter chatter chatter\r\n";
        pending.push_back({nowMs() + 1, burst});
    }
}

// What the unit sends reaches the second port too: as sent where its rate is the unit's, as noise
// elsewhere; a port that does not read loses it.
void Emulator::copyToSecond(std::string bytes, unsigned baud) {
    if (secondFd < 0) return;
    ioFd = secondFd;
    if (lineBaud() != baud && !cfg.anyRate)
        for (char &c : bytes) c = (char)(c ^ 0x5A);
    ioFd = fd;
    if (::write(secondFd, bytes.data(), bytes.size()) < 0 && errno != EAGAIN) record("second write failed");
}

// Bytes from both ports of a Y cable at once collide on the line: the unit receives noise. A
// tap's own bytes go nowhere.
void Emulator::takeBoth(uint8_t *buffer, size_t room) {
    pollfd p[2] = {{fd, POLLIN, 0}, {secondFd, POLLIN, 0}};
    if (poll(p, 2, 0) <= 0) return;
    ssize_t n[2] = {0, 0};
    for (int i = 0; i < 2; ++i)
        if (p[i].revents & POLLIN) n[i] = ::read(p[i].fd, buffer + i * room, room);
    if (n[1] > 0 && cfg.second == "listen") {
        record("dropped via=second bytes=%zd", n[1]);
        n[1] = 0;
    }
    const bool collided = n[0] > 0 && n[1] > 0;
    if (collided) record("collision bytes=%zd+%zd", n[0], n[1]);
    for (int i = 0; i < 2; ++i) {
        if (n[i] <= 0) continue;
        if (collided)
            for (ssize_t k = 0; k < n[i]; ++k) buffer[i * room + k] ^= 0x5A;
        ioFd = p[i].fd;
        lineTokens -= (double)n[i];
        onBytes(buffer + i * room, (size_t)n[i]);
        ioFd = fd;
    }
}

// Bytes the slow line lets through now: a bucket filled at the line's rate that holds at
// most 100 ms of it: an idle line saves up no real burst, and an emulator the scheduler kept
// waiting (several units on two cores) catches up instead of falling behind the line's rate.
// The last bytes of an image are taken at once: the pty holds about 20 KB that the updater
// counts as sent, which at an accelerated line rate would outlast the accelerated wait for
// the acknowledgement (a real UART's buffer drains well within the real one).
size_t Emulator::readAllowance() {
    if (cfg.slowLineBps <= 0) return 65536;
    if (!imageKind.empty() && imageLength - (long)image.size() <= kPtyBufferBytes) return 65536;
    const long long now = nowUs();
    if (lastRefillUs == 0) lastRefillUs = now;
    lineTokens = std::min(lineTokens + (double)(now - lastRefillUs) * cfg.slowLineBps / 1e6,
                          cfg.slowLineBps / 10.0 + 1);
    lastRefillUs = now;
    return (size_t)lineTokens;
}

int Emulator::run() {
    uint8_t buffer[65536];
    const long long startMs = nowMs();
    auto due = [&](long after) { return after >= 0 && nowMs() - startMs >= after; };
    while (!gStop) {
        if (!cfg.linkPath.empty() && !linked && !unplugged && due(cfg.plugAfterMs)) makeLink();
        if (!poweredOff && due(cfg.powerOffAfterMs)) {
            poweredOff = true;
            pending.clear();
            record("powered-off");
        }
        if (due(cfg.pullAfterMs)) {
            record("pulled");
            break;
        }
        flushPending();
        if (nowMs() < stallUntilMs) { // the line takes nothing: the updater's writes block
            usleep(5000);
            continue;
        }
        int timeout = 20;
        if (!pending.empty()) timeout = (int)std::max(0LL, std::min(20LL, pending.front().atMs - nowMs()));
        size_t allowance = readAllowance();
        if (allowance == 0) {
            usleep(500);
            continue;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {secondFd, POLLIN, 0}};
        int r = poll(p, secondFd >= 0 ? 2 : 1, timeout);
        if (r > 0 && secondFd >= 0) {
            usleep(2000); // what both ports send within a moment meets on the line
            takeBoth(buffer, std::min(allowance, sizeof buffer / 2));
            continue;
        }
        if (r <= 0 || !(p[0].revents & POLLIN)) continue;
        ssize_t n = ::read(fd, buffer, std::min(allowance, sizeof buffer));
        if (n > 0) {
            lineTokens -= (double)n;
            onBytes(buffer, (size_t)n);
        }
    }
    record("end line=%s", lineSettings().c_str());
    if (summary) std::fclose(summary);
    if (fd >= 0) ::close(fd); // a hang-up: the updater sees the line go away
    if (slaveFd >= 0) ::close(slaveFd);
    if (secondFd >= 0) ::close(secondFd);
    if (secondSlaveFd >= 0) ::close(secondSlaveFd);
    if (linked) ::unlink(cfg.linkPath.c_str());
    if (!cfg.secondLink.empty()) ::unlink(cfg.secondLink.c_str());
    return 0;
}

const char kUsage[] =
    "Usage: unit-emulator [options]\n"
    "Plays the extender unit on a new pseudo-terminal (its path is printed first) or a device.\n"
    "  --baud N             rate it answers at (default 9600)\n"
    "  --unit tx|rx|TEXT    identity reply (default tx)\n"
    "  --version-reply TEXT reply to the version query (\\r and \\n understood)\n"
    "  --prompt TEXT        text after the reboot (default begins with [ and ends with >>)\n"
    "  --version-after TEXT reply to the version query after the reboot (default 1.0.4 ...)\n"
    "  --reboot-ms N        silence after the MCU image before the prompt\n"
    "  --summary FILE       record commands, line settings and images, one per line\n"
    "  --save-dir DIR       save each image received as DIR/fpga.bin, DIR/mcu.bin\n"
    "  --link PATH          make PATH a symlink to the pty slave\n"
    "  --device PATH        serve a real serial device instead of a pty\n"
    "  --plug-after MS      make the --link only MS after the start (a unit plugged in)\n"
    "  --power-off-after MS fall silent MS after the start (a unit switched off)\n"
    "  --pull-after MS      close the line and remove the link MS after the start (pulled out)\n"
    "  --unplug-after-probe remove the link once a probe was answered (the line stays open)\n"
    "  --second listen|share  a second port on the line, its path printed second: a tap that\n"
    "                       hears the unit, or a Y cable whose bytes reach it too\n"
    "  --second-link PATH   make PATH a symlink to the second port\n"
    "Faults:\n"
    "  --silence --probe-off-by-one --chatter --zero-flood --second-probe-only --no-prompt\n"
    "  --any-rate                       take commands at every line rate\n"
    "  --left-at RATE                   listen at RATE until the reboot (a run cut short left it)\n"
    "  --silent-after-reboot            the prompt, then nothing\n"
    "  --split-reply PIECES:PAUSE_MS   send every reply in pieces with pauses\n"
    "  --no-ready fpga|mcu  --hangup fpga|mcu\n"
    "  --wrong-ack fpga|mcu[:TEXT]      acknowledge the image with TEXT (default FAILURE)\n"
    "  --stall-after BYTES[:MS]         stop taking the FPGA image after BYTES, for MS (or good)\n"
    "  --slow-line BYTES_PER_S          take bytes from the line at this rate\n";

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            if (c == 'x' && i + 2 < s.size()) {
                out += (char)std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16);
                i += 2;
            } else {
                out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == '0' ? '\0' : c;
            }
        } else out += s[i];
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    Config cfg;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "unit-emulator: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--baud") cfg.baud = (unsigned)std::atoi(next().c_str());
        else if (a == "--unit") cfg.unit = next();
        else if (a == "--version-reply") cfg.versionReply = unescape(next());
        else if (a == "--prompt") cfg.promptText = unescape(next());
        else if (a == "--version-after") cfg.versionAfter = unescape(next());
        else if (a == "--silent-after-reboot") cfg.silentAfterReboot = true;
        else if (a == "--reboot-ms") cfg.rebootMs = std::atol(next().c_str());
        else if (a == "--summary") cfg.summaryPath = next();
        else if (a == "--save-dir") cfg.saveDir = next();
        else if (a == "--link") cfg.linkPath = next();
        else if (a == "--device") cfg.device = next();
        else if (a == "--plug-after") cfg.plugAfterMs = std::atol(next().c_str());
        else if (a == "--power-off-after") cfg.powerOffAfterMs = std::atol(next().c_str());
        else if (a == "--pull-after") cfg.pullAfterMs = std::atol(next().c_str());
        else if (a == "--unplug-after-probe") cfg.unplugAfterProbe = true;
        else if (a == "--second") cfg.second = next();
        else if (a == "--second-link") cfg.secondLink = next();
        else if (a == "--silence") cfg.silence = true;
        else if (a == "--probe-off-by-one") cfg.probeOffByOne = true;
        else if (a == "--chatter") cfg.chatter = true;
        else if (a == "--second-probe-only") cfg.secondProbeOnly = true;
        else if (a == "--no-prompt") cfg.noPrompt = true;
        else if (a == "--no-ready") cfg.noReady = next();
        else if (a == "--wrong-ack") {
            std::string v = next();
            size_t colon = v.find(':');
            cfg.wrongAck = v.substr(0, colon);
            if (colon != std::string::npos) cfg.wrongAckText = unescape(v.substr(colon + 1));
        } else if (a == "--stall-after") {
            std::string v = next();
            cfg.stallAfter = std::atol(v.c_str());
            size_t colon = v.find(':');
            if (colon != std::string::npos) cfg.stallMs = std::atol(v.c_str() + colon + 1);
        } else if (a == "--zero-flood") cfg.zeroFlood = true;
        else if (a == "--any-rate") cfg.anyRate = true;
        else if (a == "--left-at") cfg.leftAt = (unsigned)std::atoi(next().c_str());
        else if (a == "--hangup") cfg.hangup = next();
        else if (a == "--slow-line") cfg.slowLineBps = std::atol(next().c_str());
        else if (a == "--split-reply") {
            std::string v = next();
            cfg.splitPieces = std::atoi(v.c_str());
            size_t colon = v.find(':');
            cfg.splitPauseMs = colon == std::string::npos ? 0 : std::atoi(v.c_str() + colon + 1);
        } else if (a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "unit-emulator: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    Emulator emulator(cfg);
    if (!emulator.open()) {
        std::fprintf(stderr, "unit-emulator: cannot open the line: %s\n", std::strerror(errno));
        return 1;
    }
    return emulator.run();
}
