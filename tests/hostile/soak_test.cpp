// The short soak: the load of scripts/soak.sh (20 clients mixing HTTPS calls, parked results,
// repeated keys, WSS calls and probes) for 20 seconds against the built daemon. Nothing may be lost,
// duplicated or mixed up, the daemon must not crash, and its RSS must level off.
#include <gtest/gtest.h>

#include "tests/hostile/SoakRun.h"

using namespace nvhostile;

namespace {

TEST(HostileSoak, TwentyClientsFor20Seconds_EveryResultOnceAndRssLevelsOff) {
    Daemon daemon(ProductPath());
    ASSERT_TRUE(daemon.Start());
    SoakOptions options;
    options.port = daemon.Port();
    options.pid = daemon.Pid();
    options.clients = 20;
    options.duration = std::chrono::seconds(20);
    SoakFigures figures;
    RunSoak(options, figures);

    for (const auto& e : figures.firstErrors)
        ADD_FAILURE() << e;
    EXPECT_EQ(figures.Errors(), 0);
    EXPECT_GT(figures.httpCalls.load(), 0);
    EXPECT_GT(figures.keepAliveCalls.load(), 0);
    EXPECT_GT(figures.collected.load(), 0);
    EXPECT_GT(figures.repeatedKeyCalls.load(), 0);
    EXPECT_GT(figures.wssCalls.load(), 0);
    // After the first third the working set is in place; the last third may not climb above it
    // by more than allocator slack.
    const long settled = MaxRssBetween(figures, 0.25, 0.4);
    const long late = MaxRssBetween(figures, 0.75, 1.01);
    EXPECT_TRUE(RssWithin(settled, late, 24 * kSlowFactor));
    std::printf(
        "soak: %ld requests (%ld HTTPS calls, %ld keep-alive, %ld parked, %ld collected, %ld "
        "repeated-key,"
        " %ld WSS, %ld probes); RSS %ld kB after the first quarter, %ld kB at most in the last "
        "quarter\n",
        figures.Requests(), figures.httpCalls.load(), figures.keepAliveCalls.load(),
        figures.parkedCalls.load(), figures.collected.load(), figures.repeatedKeyCalls.load(),
        figures.wssCalls.load(), figures.probes.load(), settled, late);

    EXPECT_TRUE(daemon.Alive());
    EXPECT_TRUE(Healthy(daemon.Port()));
    int status = daemon.Stop();
    // 255 after the stop signal; an address-sanitizer build ends otherwise when it finds a leak.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << "wait status " << status;
    EXPECT_EQ(daemon.SanitizerReport(), "");
}

}  // namespace
