#ifndef VIEWTEXT_H_
#define VIEWTEXT_H_

// What the live views of --parallel and the station share: cells of text cut to a width, and a
// screen redrawn in place that starts over when the console is resized.

#include <chrono>
#include <string>
#include <vector>

const int kUnitWidth = 4, kVersionsWidth = 10, kTimeWidth = 6;

std::string dash(const std::string &text); // "-" for nothing
std::string pad(const std::string &text, size_t width);
std::string right(const std::string &text, size_t width);
// "m:ss" of a duration in seconds.
std::string minutesSeconds(std::chrono::steady_clock::duration duration);

// The text in at most `width` characters, cut where it tells least: a port's label keeps its
// COM number and the end of its path ("COM3 ...A50285BI-if00-port0"); an outcome keeps what the
// unit holds, after its last ": " ("stopped in the FPGA ima...: update again"); any other text
// its beginning.
enum Cut { CUT_END, CUT_LABEL, CUT_OUTCOME };
std::string shortened(const std::string &text, size_t width, Cut cut = CUT_END);
// The text in lines of at most `width` characters, broken at spaces, each after `indent`.
std::string wrapped(const std::string &text, size_t width, const std::string &indent);
// The text in lines of at most `width` characters, broken after a ", " or "; " where it can be
// (each count stays whole), else at a space; the lines after the first indented.
std::vector<std::string> folded(const std::string &text, size_t width);

// Lines redrawn in place a quarter second apart, within the console's width as it is at each
// draw. heading: what was printed above them, printed again when a resize makes the screen
// start over at the top.
class LiveScreen {
  public:
    LiveScreen(int columns, std::string heading) : columns(columns), heading(std::move(heading)) {}
    // Whether to draw now (asked, resized, or a quarter second on); resized: the width changed.
    bool due(bool now, bool &resized);
    // Replaces the lines drawn last with these. More than the console holds would scroll what
    // the next draw takes back: the middle ones give way to one line saying how many, the last
    // `kept` (a note) stay.
    void show(std::vector<std::string> lines, size_t kept = 0);
    int width() const { return columns; }

  private:
    int columns; // of the console; 0 when unknown
    int rows = 0;
    std::string heading;
    std::string pending; // what a resize must print before the lines
    int drawnLines = 0;  // the lines the last draw left on the screen
    std::chrono::steady_clock::time_point lastDraw;
};

#endif
