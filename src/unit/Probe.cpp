#include "unit/Probe.h"

#include "platform/PortList.h"
#include "product/Product.h"
#include "unit/Exchange.h"

bool probeAnswers(ComPort &port, char *buffer, bool *heard) {
    const auto probe = [&] {
        if (sendCommandOnPort(port, buffer, DETECTION_PROBE_COMMAND, FALSE, TRUE, DETECTION_EXPECTED_RESPONSE) == TRUE)
            return true;
        if (heard != nullptr && exchangeReplyBytes() > 0) *heard = true;
        return false;
    };
    return probe() || probe();
}

int firstRateAnswering(int skip, const std::function<bool(int rate)> &answers) {
    for (int rate : DETECTION_BAUD_RATES)
        if (rate != skip && answers(rate)) return rate;
    return 0;
}

const char *probeUnopened(DWORD error) {
    switch (PortList_problem(error)) {
    case PORT_ABSENT: return "no such port";
    case PORT_BUSY: return "in use";
    case PORT_DENIED: return "no permission";
    default: return "cannot be opened";
    }
}
