#ifndef JOURNALLINES_H_
#define JOURNALLINES_H_

// The one way a station's journal (journal.jsonl) is cut into numbered lines. Every reader (the
// station itself, its restart, the page's folder reader, the plant's follower) takes its lines
// from here, so a line number means the same line everywhere: the page's /units/N, the plant's
// database key and the station's count.
//
// The rules, once:
// - a line ends at '\n'; lines are numbered from 1 in the order they stand;
// - a line of more than JOURNAL_LINE_MAX bytes, or with a NUL byte (a hole of a sparse file), is
//   damaged: it keeps its number, its text is given empty;
// - a last piece without its line end is not a line yet: it is held until its end comes (the
//   station's writer always begins its next line on a fresh line, so the piece becomes one
//   line then, damaged unless it was whole but for its end, keeping the number counted here as
//   `pending`);
// - a line that holds no JSON object (or one nested deeper than JSON_NESTING_MAX) is no unit's
//   either: journalLineObject gives null for it as for a damaged one.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

constexpr size_t JOURNAL_LINE_MAX = 1u << 20;

// One line as the reader gives it: text is valid only during the call.
struct JournalLine {
    size_t number = 0;             // 1-based
    bool damaged = false;          // too long, or NUL bytes in it: text is empty
    std::string_view text;         // without its line end
    unsigned long long start = 0;  // its first byte's offset in the file
    unsigned long long end = 0;    // the offset just past its line end
};

// Reads a journal on from where it stopped, never from its start again: a journal of a year
// costs one pass, whatever is asked of it.
class JournalReader {
  public:
    explicit JournalReader(std::string path);
    // Gives each complete line after the last one given, in order, to take; take returns false
    // to stop after that line (the next call goes on with the line after it). False when the
    // file is there but cannot be read; a missing file is true with no lines.
    bool readOn(const std::function<bool(const JournalLine &line)> &take);
    // Goes back (or forward) to just after line `number`, whose line end is at offset `end`
    // (0 and 0: the journal's start), as a line given earlier said.
    void seek(size_t number, unsigned long long end);
    // Lines given so far (the last one's number), and where the next one starts.
    size_t lines() const { return lines_; }
    unsigned long long offset() const { return offset_; }
    // Bytes after the last complete line: a line being written, or cut (0 when none).
    bool pending() const { return held_ > 0; }
    // The last readOn found another journal in its place (rotated, replaced, cut, edited), not
    // this one grown: shorter than what was read of it, or other bytes just before where reading
    // stopped than the ones it read there. It gave no line then; seek(0, 0) reads the other one.
    bool replaced() const { return replaced_; }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    size_t lines_ = 0;
    unsigned long long offset_ = 0;  // where the next line starts
    unsigned long long readTo_ = 0;  // where reading stopped: offset_ and the bytes held
    unsigned long long held_ = 0;    // bytes of the line being read, past offset_
    std::string unfinished_;         // its text, kept up to a byte past the longest line
    bool unfinishedDamaged_ = false; // NUL bytes in it
    std::string recent_;             // the last bytes read, up to readTo_ (none after a seek)
    bool replaced_ = false;
    void remember(std::string_view bytes);
};

// Every line of the journal at path, from its start (see JournalReader); false when it is there
// but cannot be read.
bool journalEachLine(const std::string &path, const std::function<void(const JournalLine &line)> &take);

// Whether line holds a unit's JSON object: not damaged, nested no deeper than JSON_NESTING_MAX,
// one JSON object. The one rule, so that every reader (the database's too) skips the same lines.
bool journalLineIsUnit(const JournalLine &line);
// The JSON object line holds; null where journalLineIsUnit says no.
nlohmann::ordered_json journalLineObject(const JournalLine &line);

// Why the journal at path cannot be read ("" when it is a regular file that can): none there,
// its folder missing, a link, a folder or a FIFO in its place, no right to read it.
std::string journalUnreadable(const std::string &path);

// Lines the journal at path holds as its writer counts them: the complete ones, and a last
// piece without its line end as one more (the writer ends it before its next line).
size_t journalLineCount(const std::string &path);

#endif
