// What a station says in its line view (a service's log).
#include "base/Console.h"
#include "station/StationView.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

TEST(StationView, TheLineViewTellsANoteWheneverItSaysSomethingNew) {
    StationView view(false, 0);
    const std::string full = "No new unit: it could not be recorded (the disk of F is full (%d KiB free)).";
    const auto note = [&](int kib, const char *more) {
        char text[200];
        std::snprintf(text, sizeof text, full.c_str(), kib);
        return text + std::string(more);
    };
    consoleCaptureBegin();
    view.draw({}, "", note(512, ""));
    view.draw({}, "", note(498, ""));                                         // its figures alone moved
    view.draw({}, "", note(498, " ERROR: F1: the log of F1 is incomplete.")); // a record lost besides
    view.draw({}, "", "");
    view.draw({}, "", note(420, ""));                                         // back after it was gone
    EXPECT_EQ(consoleCaptureEnd(), note(512, "") + "\n" + note(498, " ERROR: F1: the log of F1 is incomplete.") + "\n" +
                                       note(420, "") + "\n");
}

} // namespace
