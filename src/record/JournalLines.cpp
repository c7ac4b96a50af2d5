#include "record/JournalLines.h"

#include "base/StringOperations.h"
#include "platform/FileRead.h"
#include "platform/Platform.h"

#include <algorithm>
#include <filesystem>

JournalReader::JournalReader(std::string path) : path_(std::move(path)) {}

namespace {
// Bytes before where reading stopped, compared when it goes on: a journal that another one of the
// same size or larger replaced is told by them, not only one that is shorter.
const size_t kRecent = 64;
} // namespace

void JournalReader::remember(std::string_view bytes) {
    if (bytes.size() >= kRecent) {
        recent_.assign(bytes.substr(bytes.size() - kRecent));
        return;
    }
    recent_.append(bytes);
    if (recent_.size() > kRecent) recent_.erase(0, recent_.size() - kRecent);
}

bool JournalReader::readOn(const std::function<bool(const JournalLine &line)> &take) {
    std::string none;
    unsigned long long size = 0; // the size alone: nothing of it read yet
    if (!fileReadPart(path_, 0, 0, none, size)) {
        std::error_code code;
        return !std::filesystem::exists(path_, code);
    }
    replaced_ = size < readTo_;
    if (replaced_ || (size == readTo_ && recent_.empty())) return true;
    bool going = true;
    // The bytes read last time, read again from the same open file as what follows them: what
    // is compared is what is then read on.
    const std::string before = recent_;
    size_t compared = 0;
    const auto same = [&](std::string_view bytes) {
        const size_t n = std::min(bytes.size(), before.size() - compared);
        replaced_ = bytes.substr(0, n) != std::string_view(before).substr(compared, n);
        compared += n;
        return n;
    };
    // The line so far, up to a byte past the longest: enough to know it is damaged.
    const auto keep = [this](std::string_view text) {
        unfinishedDamaged_ |= text.find('\0') != std::string_view::npos;
        unfinished_.append(text.substr(0, JOURNAL_LINE_MAX + 1 - unfinished_.size()));
        remember(text);
    };
    const bool read = fileReadPieces(path_, readTo_ - before.size(), [&](std::string_view piece, unsigned long long zeros) {
        while (compared < before.size() && zeros > 0 && !replaced_) {
            const size_t n = (size_t)std::min<unsigned long long>(zeros, kRecent);
            zeros -= same(std::string(n, '\0'));
        }
        if (compared < before.size() && !replaced_) piece.remove_prefix(same(piece));
        if (replaced_) return false;
        if (compared < before.size()) return true;
        readTo_ += zeros;
        held_ += zeros;
        unfinishedDamaged_ |= zeros > 0;
        if (zeros > 0) remember(std::string((size_t)std::min<unsigned long long>(zeros, kRecent), '\0'));
        for (size_t end; going && (end = piece.find('\n')) != std::string_view::npos; piece.remove_prefix(end + 1)) {
            keep(piece.substr(0, end));
            remember("\n");
            readTo_ += end + 1;
            const bool damaged = unfinishedDamaged_ || unfinished_.size() > JOURNAL_LINE_MAX;
            const JournalLine line{++lines_, damaged, damaged ? std::string_view() : std::string_view(unfinished_),
                                   offset_, readTo_};
            offset_ = readTo_;
            going = take(line);
            unfinished_.clear();
            unfinishedDamaged_ = false;
            held_ = 0;
        }
        if (!going) return false;
        keep(piece);
        readTo_ += piece.size();
        held_ += piece.size();
        return true;
    });
    // Shorter than the bytes read before (cut between the two looks): another journal too.
    if (read && compared < before.size()) replaced_ = true;
    return read;
}

void JournalReader::seek(size_t number, unsigned long long end) {
    lines_ = number;
    offset_ = readTo_ = end;
    held_ = 0;
    unfinished_.clear();
    unfinishedDamaged_ = false;
    recent_.clear();
    replaced_ = false;
}

bool journalEachLine(const std::string &path, const std::function<void(const JournalLine &line)> &take) {
    JournalReader reader(path);
    return reader.readOn([&](const JournalLine &line) {
        take(line);
        return true;
    });
}

bool journalLineIsUnit(const JournalLine &line) {
    const size_t first = line.text.find_first_not_of(" \t\r");
    if (line.damaged || first == std::string_view::npos || line.text[first] != '{') return false;
    // accept() builds nothing: a reader that only sends the line pays no parse for it.
    return jsonNesting(std::string(line.text)) <= JSON_NESTING_MAX && nlohmann::ordered_json::accept(line.text);
}

nlohmann::ordered_json journalLineObject(const JournalLine &line) {
    using json = nlohmann::ordered_json;
    return journalLineIsUnit(line) ? json::parse(line.text) : json();
}

std::string journalUnreadable(const std::string &path) {
    std::string none;
    unsigned long long size = 0;
    if (fileReadPart(path, 0, 1, none, size)) return "";
    std::error_code code;
    const std::filesystem::path file(path);
    if (!std::filesystem::is_directory(file.parent_path(), code)) return "no folder " + file.parent_path().string();
    const std::string kind = platformNotARegularFile(path.c_str());
    if (!kind.empty()) return path + ": " + kind;
    if (!std::filesystem::exists(file, code)) return "no " + path;
    return path + " cannot be read";
}

size_t journalLineCount(const std::string &path) {
    JournalReader reader(path);
    reader.readOn([](const JournalLine &) { return true; });
    return reader.lines() + reader.pending();
}
