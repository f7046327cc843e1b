// Where a running IO proc records from when the server changes: the decision
// alone, without a server.
#include <gtest/gtest.h>

#include "platform/pulse/PulseBackend.h"

namespace quorbel::pulse {
namespace {

const ServerDefaults kOnB{"b.monitor", "mic"};
const ServerDefaults kNoSink{"", "mic"};

RouteState Tap(std::string delivering, std::string pending = "") {
    return {Route::DefaultSinkMonitor, "a.monitor", std::move(delivering), std::move(pending), false};
}

void ExpectDecision(const RouteState& state, const ServerDefaults& defaults, RouteAction action,
                    const std::string& source = "") {
    const RouteDecision decision = DecideRoute(state, defaults);
    EXPECT_EQ(int(decision.action), int(action));
    EXPECT_EQ(decision.source, source);
}

TEST(RouteDecision, ATapFollowsTheDefaultSinksMonitor) {
    ExpectDecision(Tap("b.monitor"), kOnB, RouteAction::Keep);
    ExpectDecision(Tap("a.monitor"), kOnB, RouteAction::Open, "b.monitor");   // the default moved
    ExpectDecision(Tap("a.monitor", "b.monitor"), kOnB, RouteAction::Keep);   // already on its way
    ExpectDecision(Tap("a.monitor", "c.monitor"), kOnB, RouteAction::Open, "b.monitor");  // moved again
    ExpectDecision(Tap("b.monitor", "c.monitor"), kOnB, RouteAction::CancelPending);      // and back
    ExpectDecision(Tap(""), kOnB, RouteAction::Open, "b.monitor");  // its sink went, or the server came back
}

TEST(RouteDecision, ATapWithoutADefaultSinkKeepsWhatItHasOrHasNothing) {
    ExpectDecision(Tap("a.monitor"), kNoSink, RouteAction::Keep);
    ExpectDecision(Tap("", "b.monitor"), kNoSink, RouteAction::Keep);
    ExpectDecision(Tap(""), kNoSink, RouteAction::Lose);
}

TEST(RouteDecision, AChosenSourceMovesOnlyAfterALostServer) {
    RouteState named{Route::NamedSource, "usb-mic", "usb-mic", "", false};
    RouteState byDefault{Route::DefaultSource, "old-default", "old-default", "", false};
    // A new default source, or the chosen one gone: nothing moves.
    ExpectDecision(named, kOnB, RouteAction::Keep);
    ExpectDecision(byDefault, kOnB, RouteAction::Keep);
    named.delivering = byDefault.delivering = "";
    ExpectDecision(named, kOnB, RouteAction::Keep);
    // After a lost server: the same name, or whichever source is the default now.
    named.awaitingServer = byDefault.awaitingServer = true;
    ExpectDecision(named, kOnB, RouteAction::Open, "usb-mic");
    ExpectDecision(byDefault, kOnB, RouteAction::Open, "mic");
    ExpectDecision(byDefault, {"b.monitor", ""}, RouteAction::Keep);  // no default source yet
    byDefault.pending = "mic";
    ExpectDecision(byDefault, kOnB, RouteAction::Keep);
}

}  // namespace
}  // namespace quorbel::pulse
