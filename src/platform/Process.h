#ifndef PROCESS_H_
#define PROCESS_H_

#include <string>
#include <vector>

// Child processes of this program (runs on the ports of a station), each with its stdout and
// stderr on one pipe to the parent. They share the parent's console; unless started in a group
// of their own, a Ctrl-C at the console reaches them too.

struct ChildProcess;

// Starts this program's own executable with args (args[0] is the first option); stdin is the
// null device and the child inherits nothing else of the parent. ownGroup: in a process group
// of its own, so the console's Ctrl-C (a terminal's signals) reach the parent alone and the
// child stops only when processStop asks. Null with error set when it cannot.
ChildProcess *processStartSelf(const std::vector<std::string> &args, bool ownGroup, std::string &error);
// Blocks until the child wrote something: the count (up to size), or 0 at the end of its output.
int processRead(ChildProcess *child, char *buffer, int size);
// Asks the child to stop (a byte on the stop pipe it was handed, naming the signal that stopped
// this process; on Windows the stop event it was handed); it restores its port and ends. The
// child takes no stop signal of its own while this process lives, and stops when it ends.
void processStop(ChildProcess *child);
// Waits up to timeoutMs for the child to end: true with its exit status (a signal's end as
// 128 + its number), false while it still runs.
bool processWait(ChildProcess *child, int timeoutMs, int &status);
// Ends a child that would not stop, at once.
void processKill(ChildProcess *child);
// Releases what the parent holds of an ended child.
void processRelease(ChildProcess *child);

#endif
