// The threads of detection's sweeps: never a second probe on a port an earlier one still holds.
#include "platform/PortList.h"
#include "PtyPeer.h"
#include "unit/DetectionSweeps.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// A presence run detects again and again; an open or a close the driver holds keeps its probe's
// thread. However often detection runs meanwhile, that port gets no second thread.
TEST(DetectionSweeps, APortAnEarlierSweepStillHoldsIsNotProbedAgain) {
    PtyPeer silent; // its sweep lasts every rate's read time-outs
    std::vector<int> coms;
    std::string error;
    ASSERT_TRUE(PortList_resolve({silent.slavePath()}, coms, error));
    auto first = std::make_unique<Sweeps>(coms, g_dcb, g_cto);
    for (int i = 0; i < 2000 && (*first)[0].ratesOpened == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE((*first)[0].ratesOpened, 0);
    Sweeps second(coms, g_dcb, g_cto);
    EXPECT_TRUE(second[0].heldByEarlier);
    EXPECT_TRUE(second.ended(0));
    first.reset(); // the pick is made without it: it ends, its port given back
    EXPECT_TRUE(detectionThreadsEnded(std::chrono::milliseconds(5000)));
    Sweeps third(coms, g_dcb, g_cto);
    EXPECT_FALSE(third[0].heldByEarlier);
}

} // namespace
