#ifndef SERVESTATE_H_
#define SERVESTATE_H_

// A station folder's state as the API gives it, and as its event stream tells each change.

#include "serve/ServeFolder.h"

#include <string>

// JSON as answered: text that is no UTF-8 (a name from a folder) replaced, never thrown on.
std::string serveJsonText(const StateJson &value);
// The state file as read (without its events), or what the journal alone tells.
StateJson serveStationJson(const ServeFolder &folder);

// What one event stream has sent of a folder.
struct StreamPosition {
    long long lastId = -1;   // the last event id sent (-1: none yet)
    std::string run;         // the station run whose state was sent
    std::string stage, note; // the station's stage and note as last sent
};
// The events of the state file after position.lastId, or a reload and the whole state when
// some are gone already (or came from an earlier run, whose ids were higher).
std::string serveNews(const ServeFolder &folder, StreamPosition &position);

#endif
