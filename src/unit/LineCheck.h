#ifndef LINECHECK_H_
#define LINECHECK_H_

// Whether other ports reach the line of a port (a tap that only listens to it, the other end of
// a Y cable, one adapter shown twice): the detection probe goes out on that port alone while the
// others listen, and a port that hears the reply is on the line. A station asks it of each unit
// before the unit is sent anything, with nothing else running on those ports.

#include <vector>

// What the check says of a port beside the one asked: it heard the unit's reply, or not.
inline constexpr const char LINE_HEARD[] = "on the unit's line";
inline constexpr const char LINE_NOT_HEARD[] = "not on the unit's line";

// Port com asked at baud while each of `beside` (COM numbers) listens at that rate; the detection
// record says what became of each. False when com opened and no unit answered its own probe (it
// may only listen to a line that another port talks on); true otherwise (a port that does not
// open is the run's to report). Every port is closed again before a stop is seen; a check cut
// short by a stop records nothing of what the ports heard.
bool lineAnswers(int com, int baud, const std::vector<int> &beside);

#endif
