// Where each running IO proc records from while the server changes under it:
// a tap follows the default sink's monitor, and after a lost server every
// proc finds its source again. All of it runs with the mainloop locked,
// mostly on the mainloop thread, and none of it ever waits: each answer from
// the server moves things on from its own callback.
#include <cstring>

#include "platform/pulse/PulseBackend.h"

namespace quorbel {
namespace pulse {
namespace {

// One refresh at a time; what asks meanwhile gets one more afterwards.
bool gRefreshing = false;
bool gRefreshAgain = false;
ServerDefaults gFound;
bool gInvertsRecordRate = false;

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

void FinishRefresh(pa_context* context) {
    if (context != Context()) {
        return;  // answered by a connection that has gone since
    }
    gRefreshing = false;
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

void DefaultSinkFound(pa_context* context, const pa_sink_info* info, int eol, void*) {
    if (eol == 0 && info != nullptr && info->monitor_source_name != nullptr) {
        gFound.sinkMonitor = info->monitor_source_name;
    }
    if (eol != 0) {
        FinishRefresh(context);
    }
}

void ServerInfoFound(pa_context* context, const pa_server_info* info, void*) {
    if (context != Context()) {
        return;
    }
    gFound = {};
    // pipewire-pulse (0.3.65, measured) takes a record stream's rate as the
    // inverse correction: asking for 1 % more delivers 1 % less.
    gInvertsRecordRate = info != nullptr && info->server_name != nullptr &&
                         std::strstr(info->server_name, "PipeWire") != nullptr;
    if (info != nullptr && info->default_source_name != nullptr) {
        gFound.source = info->default_source_name;
    }
    const char* sink = info != nullptr ? info->default_sink_name : nullptr;
    pa_operation* op = nullptr;
    if (sink != nullptr && *sink != '\0') {
        op = pa_context_get_sink_info_by_name(context, sink, DefaultSinkFound, nullptr);
    }
    if (op != nullptr) {
        pa_operation_unref(op);
    } else {
        FinishRefresh(context);
    }
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

bool ServerInvertsRecordRate() { return gInvertsRecordRate; }

void RefreshRoutes() {
    if (gRefreshing) {
        gRefreshAgain = true;
        return;
    }
    if (!ContextReady()) {
        return;  // ServerReady refreshes once the server is back
    }
    pa_operation* op = pa_context_get_server_info(Context(), ServerInfoFound, nullptr);
    if (op == nullptr) {
        return;
    }
    pa_operation_unref(op);
    gRefreshing = true;
}

void ServerReady() {
    gRefreshing = false;  // whatever was asked of a lost connection stays unanswered
    gRefreshAgain = false;
    if (!RunningRecords().empty()) {
        RefreshRoutes();
    }
}

void ServerLost() {
    gRefreshing = false;
    gRefreshAgain = false;
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
