// Where each running IO proc records from while the server changes under it:
// a tap follows the default sink's monitor, and after a lost server every
// proc finds its source again. All of it runs with the mainloop locked,
// mostly on the mainloop thread, and none of it ever waits: each answer from
// the server moves things on from its own callback.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include "platform/pulse/PulseBackend.h"

namespace quorbel {
namespace pulse {
namespace {

// One refresh at a time; what asks meanwhile gets one more afterwards.
bool gRefreshing = false;
bool gRefreshAgain = false;
std::chrono::steady_clock::time_point gRefreshSince;
// Each refresh has a number; answers to any other are stale and ignored.
std::uintptr_t gRefreshId = 0;
ServerDefaults gFound;
bool gPipeWire = false;
// PipeWire's pulse server keeps a view of the defaults for each client, and a
// long-lived client's view can miss an update for good (0.3.65, measured: a
// sink made default just as it appeared stayed unknown to a running client
// while every new client saw it). There each refresh asks on a connection of
// its own, made for it and closed after it.
pa_context* gProbe = nullptr;
pid_t gProbeOwner = 0;  // a forked child leaves its parent's probe alone
// An answer this late will not come: the refresh starts over.
constexpr std::chrono::seconds kRefreshPatience{2};

void* Token() { return reinterpret_cast<void*>(gRefreshId); }
bool Current(void* token) { return reinterpret_cast<std::uintptr_t>(token) == gRefreshId; }

void Close(pa_context* context) {
    pa_context_set_state_callback(context, nullptr, nullptr);
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
        pa_context_disconnect(context);
    }
    pa_context_unref(context);
}

void ReleaseProbe() {
    if (gProbe != nullptr && gProbeOwner == getpid()) {
        Close(gProbe);
    }
    gProbe = nullptr;
}

// From the probe's own callbacks: closed once they have returned.
void ReleaseProbeLater() {
    if (gProbe == nullptr) {
        return;
    }
    pa_context_set_state_callback(gProbe, nullptr, nullptr);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(Mainloop());
    api->defer_new(
        api,
        [](pa_mainloop_api* loop, pa_defer_event* event, void* context) {
            loop->defer_free(event);
            Close(static_cast<pa_context*>(context));
        },
        gProbe);
    gProbe = nullptr;
}

// Forgets the refresh under way: its answers will be ignored.
void AbandonRefresh() {
    ++gRefreshId;
    ReleaseProbe();
    gRefreshing = false;
    gRefreshAgain = false;
}

void ApplyRoute(IOProcRecord& record, const RouteDecision& decision) {
    switch (decision.action) {
        case RouteAction::Keep:
            return;
        case RouteAction::Open:
            if (!OpenReplacement(record, decision.source)) {
                if (record.stream == nullptr) {
                    SetAlive(record, false);
                }
                if (ContextReady()) {
                    ScheduleRouteRetry();
                }
            }
            return;
        case RouteAction::CancelPending:
            ReleaseStream(record.pending);
            record.pendingSource.clear();
            return;
        case RouteAction::Lose:
            SetAlive(record, false);
            return;
    }
}

RouteState StateOf(const IOProcRecord& record) {
    return {record.route, record.sourceName, record.stream != nullptr ? record.streamSource : "",
            record.pending != nullptr ? record.pendingSource : "", record.awaitingServer};
}

void FinishRefresh(void* token) {
    if (!Current(token)) {
        return;
    }
    gRefreshing = false;
    ReleaseProbeLater();
    // Routing may release streams, which may ask for another refresh.
    const std::vector<IOProcRecord*> records = RunningRecords();
    for (IOProcRecord* record : records) {
        ApplyRoute(*record, DecideRoute(StateOf(*record), gFound));
    }
    if (gRefreshAgain) {
        gRefreshAgain = false;
        RefreshRoutes();
    }
}

void DefaultSinkFound(pa_context*, const pa_sink_info* info, int eol, void* token) {
    if (eol == 0 && info != nullptr && info->monitor_source_name != nullptr && Current(token)) {
        gFound.sinkMonitor = info->monitor_source_name;
    }
    if (eol != 0) {
        FinishRefresh(token);
    }
}

void ServerInfoFound(pa_context* context, const pa_server_info* info, void* token) {
    if (!Current(token)) {
        return;
    }
    gFound = {};
    // pipewire-pulse (0.3.65, measured) takes a record stream's rate as the
    // inverse correction: asking for 1 % more delivers 1 % less.
    gPipeWire = info != nullptr && info->server_name != nullptr &&
                std::strstr(info->server_name, "PipeWire") != nullptr;
    if (info != nullptr && info->default_source_name != nullptr) {
        gFound.source = info->default_source_name;
    }
    const char* sink = info != nullptr ? info->default_sink_name : nullptr;
    pa_operation* op = nullptr;
    if (sink != nullptr && *sink != '\0') {
        op = pa_context_get_sink_info_by_name(context, sink, DefaultSinkFound, token);
    }
    if (op != nullptr) {
        pa_operation_unref(op);
    } else {
        FinishRefresh(token);
    }
}

bool AskDefaults(pa_context* context) {
    pa_operation* op = pa_context_get_server_info(context, ServerInfoFound, Token());
    if (op == nullptr) {
        return false;
    }
    pa_operation_unref(op);
    return true;
}

// The probe is ready: it asks. Should it fail, the refresh asks on the
// connection we have, which is right far more often than not.
void ProbeStateChanged(pa_context* context, void* token) {
    if (!Current(token) || context != gProbe) {
        return;
    }
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY && AskDefaults(context)) {
        return;
    }
    if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state)) {
        ReleaseProbeLater();
        if (!ContextReady() || !AskDefaults(Context())) {
            gRefreshing = false;
        }
    }
}

bool OpenProbe() {
    gProbe = pa_context_new(pa_threaded_mainloop_get_api(Mainloop()), "Quorbel");
    if (gProbe == nullptr) {
        return false;
    }
    gProbeOwner = getpid();
    pa_context_set_state_callback(gProbe, ProbeStateChanged, Token());
    if (pa_context_connect(gProbe, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        ReleaseProbe();
        return false;
    }
    return true;
}

}  // namespace

RouteDecision DecideRoute(const RouteState& state, const ServerDefaults& defaults) {
    if (state.route == Route::DefaultSinkMonitor) {
        const std::string& wanted = defaults.sinkMonitor;
        if (wanted.empty()) {
            // No default sink: keep what still delivers or gets ready; with
            // nothing left, there is nothing to record until a sink appears.
            const bool nothing = state.delivering.empty() && state.pending.empty();
            return {nothing ? RouteAction::Lose : RouteAction::Keep, {}};
        }
        if (wanted == state.delivering) {
            return {state.pending.empty() ? RouteAction::Keep : RouteAction::CancelPending, {}};
        }
        if (wanted == state.pending) {
            return {RouteAction::Keep, {}};
        }
        return {RouteAction::Open, wanted};
    }
    // A chosen source never moves; only a lost server sends us looking for it
    // again, by name, or as the default where the default was asked for.
    if (!state.awaitingServer || !state.pending.empty()) {
        return {RouteAction::Keep, {}};
    }
    const std::string& wanted = state.route == Route::DefaultSource ? defaults.source : state.asked;
    return {wanted.empty() ? RouteAction::Keep : RouteAction::Open, wanted};
}

bool ServerInvertsRecordRate() { return gPipeWire; }

void RefreshRoutes() {
    if (gRefreshing && std::chrono::steady_clock::now() - gRefreshSince > kRefreshPatience) {
        AbandonRefresh();
    }
    if (gRefreshing) {
        gRefreshAgain = true;
        return;
    }
    if (!ContextReady()) {
        return;  // ServerReady refreshes once the server is back
    }
    ++gRefreshId;
    gRefreshing = true;
    gRefreshSince = std::chrono::steady_clock::now();
    if (!(gPipeWire && OpenProbe()) && !AskDefaults(Context())) {
        gRefreshing = false;
    }
}

void ServerReady() {
    AbandonRefresh();  // whatever was asked of a lost connection stays unanswered
    if (!RunningRecords().empty()) {
        RefreshRoutes();
    }
}

void ForgetRoutes() { AbandonRefresh(); }

void ServerLost() {
    AbandonRefresh();
    for (IOProcRecord* record : RunningRecords()) {
        ReleaseStream(record->pending);
        ReleaseStream(record->stream);
        record->pendingSource.clear();
        record->streamSource.clear();
        record->awaitingServer = true;
        SetAlive(*record, false);
    }
}

}  // namespace pulse
}  // namespace quorbel
