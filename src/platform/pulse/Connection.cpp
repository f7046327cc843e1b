// The one server connection: a threaded mainloop and a context, made on first
// use and closed when the outermost autorelease scope ends. Every request is
// synchronous for its caller and every wait is bounded, and also ends as soon
// as the context leaves its good states, so a server that dies never hangs us.
#include <pulse/rtclock.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/pulse/PulseBackend.h"

namespace quorbel::pulse {

// Trivially destructible: nothing here is torn down at process exit, while the
// mainloop thread may still be running.
constinit std::mutex gApiMutex;

namespace {

pa_threaded_mainloop* gMainloop = nullptr;
pa_context* gContext = nullptr;
pa_time_event* gReconnectTimer = nullptr;
pa_time_event* gRouteRetryTimer = nullptr;
bool gRouteRetryWanted = false;  // the timer routes again, not only watches replacements
pa_time_event* gDefaultsTimer = nullptr;
pid_t gOwner = 0;  // the process that made gMainloop
int gPoolDepth = 0;

// Often enough that a restarted server is found well within a second of its
// return, seldom enough to cost nothing while it stays away.
constexpr pa_usec_t kReconnectDelayUsec = 250 * PA_USEC_PER_MSEC;
// A server should tell of a new default sink at once; this is for one that
// does not (see Routing.cpp), and on PipeWire each look is a connection.
constexpr pa_usec_t kDefaultsCheckUsec = 2 * PA_USEC_PER_SEC;

// A forked child inherits the pointers but not the mainloop thread: it leaves
// them alone (they belong to the parent) and starts over if it needs a server.
void ForgetInheritedConnection() {
    if (gMainloop != nullptr && gOwner != getpid()) {
        gMainloop = nullptr;
        gContext = nullptr;
        gReconnectTimer = nullptr;
        gRouteRetryTimer = nullptr;
        gDefaultsTimer = nullptr;
    }
}

bool ContextGood() {
    return gContext != nullptr && PA_CONTEXT_IS_GOOD(pa_context_get_state(gContext));
}

// What a running IO proc may have to follow: the default sink (server
// changes), sinks coming and going, and sources coming back after a restart.
void ServerEvent(pa_context* context, pa_subscription_event_type_t event, std::uint32_t, void*) {
    const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    const bool relevant = facility == PA_SUBSCRIPTION_EVENT_SERVER ||
                          ((facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) &&
                           type != PA_SUBSCRIPTION_EVENT_CHANGE);
    if (context == gContext && relevant && !RunningRecords().empty()) {
        RefreshRoutes();
    }
}

void Subscribe(pa_context* context) {
    pa_context_set_subscribe_callback(context, ServerEvent, nullptr);
    const auto mask = pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                             PA_SUBSCRIPTION_MASK_SOURCE);
    if (pa_operation* op = pa_context_subscribe(context, mask, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
}

void ContextStateChanged(pa_context* context, void*) {
    // Wakes every waiter, whatever it waits for: a failed context ends all waits.
    pa_threaded_mainloop_signal(gMainloop, 0);
    if (context != gContext) {
        return;
    }
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        Subscribe(context);
        ServerReady();
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        ServerLost();
        if (!RunningRecords().empty()) {
            ScheduleReconnect();
        }
    }
}

void WaitBoundPassed(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    *static_cast<bool*>(userdata) = true;
    pa_threaded_mainloop_signal(gMainloop, 0);
}

// SIGINT and SIGTERM must reach the main thread, where they interrupt a write
// that blocks on a reader; the mainloop thread keeps them blocked.
bool StartMainloopThread() {
    sigset_t stopSignals, previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    const bool started = pa_threaded_mainloop_start(gMainloop) >= 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

void DropContextLocked() {
    if (gContext == nullptr) {
        return;
    }
    pa_context_set_state_callback(gContext, nullptr, nullptr);
    pa_context_set_subscribe_callback(gContext, nullptr, nullptr);
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(gContext))) {
        pa_context_disconnect(gContext);
    }
    // A failed context has already detached its streams, so dropping it leaves
    // no stream pointing at freed memory.
    pa_context_unref(gContext);
    gContext = nullptr;
}

// Mainloop locked: replaces the context with a fresh one that is connecting.
// False when even that failed; the context then tells why, if there is one.
bool BeginConnectLocked() {
    DropContextLocked();
    gContext = pa_context_new(pa_threaded_mainloop_get_api(gMainloop), "Quorbel");
    if (gContext == nullptr) {
        return false;
    }
    pa_context_set_state_callback(gContext, ContextStateChanged, nullptr);
    // Never start a server behind the user's back: no server is an answer.
    return pa_context_connect(gContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

void ReconnectTimerFired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) {
    if (RunningRecords().empty() || ContextGood()) {
        return;  // nothing needs the server any more, or a connection is already under way
    }
    if (!BeginConnectLocked()) {
        ScheduleReconnect();
    }
}

void RouteRetryTimerFired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) {
    const bool retry = gRouteRetryWanted;
    gRouteRetryWanted = false;
    if (RunningRecords().empty()) {
        return;
    }
    const ReplacementsWatched watched = DropStalledReplacements();
    if (watched.waiting) {
        WatchReplacements();
    }
    // On PipeWire each refresh is a connection of its own: only when it can help.
    if (retry || watched.dropped) {
        RefreshRoutes();
    }
}

bool TapRunning() {
    return std::any_of(RunningRecords().begin(), RunningRecords().end(),
                       [](const IOProcRecord* record) { return record->route == Route::DefaultSinkMonitor; });
}

void DefaultsTimerFired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) {
    if (!TapRunning()) {
        return;
    }
    ScheduleDefaultsCheck();
    RefreshRoutes();
}

// Arms timer (made on first use) to fire fn after delay.
void ArmTimer(pa_time_event*& timer, pa_time_event_cb_t fn, pa_usec_t delay = kReconnectDelayUsec) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(gMainloop);
    struct timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, delay);
    if (timer == nullptr) {
        timer = api->time_new(api, &when, fn, nullptr);
    } else {
        api->time_restart(timer, &when);
    }
}

void FreeTimer(pa_time_event*& timer) {
    if (timer != nullptr) {
        pa_threaded_mainloop_get_api(gMainloop)->time_free(timer);
        timer = nullptr;
    }
}

}  // namespace

pa_threaded_mainloop* Mainloop() { return gOwner == getpid() ? gMainloop : nullptr; }
pa_context* Context() { return gContext; }

MainloopLock LockMainloop() {
    pa_threaded_mainloop_lock(gMainloop);
    return MainloopLock(gMainloop, pa_threaded_mainloop_unlock);
}

OSStatus StatusFromError(int error) {
    switch (error) {
        case PA_OK:
            return kAudioHardwareNoError;
        case PA_ERR_ACCESS:
            return kAudioDevicePermissionsError;
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_CONNECTIONTERMINATED:
        case PA_ERR_PROTOCOL:
        case PA_ERR_TIMEOUT:
        case PA_ERR_AUTHKEY:
        case PA_ERR_INVALIDSERVER:
        case PA_ERR_VERSION:
        case PA_ERR_FORKED:
        case PA_ERR_IO:
            return kAudioHardwareNotRunningError;
        case PA_ERR_NOENTITY:
        case PA_ERR_KILLED:
        case PA_ERR_BUSY:
            return kAudioHardwareBadDeviceError;
        case PA_ERR_NOTSUPPORTED:
        case PA_ERR_NOTIMPLEMENTED:
            return kAudioHardwareUnsupportedOperationError;
        default:
            return kAudioHardwareUnspecifiedError;
    }
}

OSStatus ContextStatus() {
    if (gContext == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    OSStatus status = StatusFromError(pa_context_errno(gContext));
    if (pa_context_get_state(gContext) != PA_CONTEXT_READY) {
        // A dead context reports why it died; any such reason reads as "not
        // running" unless the server plainly refused us.
        return status == kAudioDevicePermissionsError ? status : kAudioHardwareNotRunningError;
    }
    return status == kAudioHardwareNoError ? kAudioHardwareUnspecifiedError : status;
}

OSStatus FailedWaitStatus() {
    if (gContext != nullptr && pa_context_get_state(gContext) == PA_CONTEXT_READY) {
        return kAudioHardwareNotRunningError;  // the server is there but did not answer in time
    }
    return ContextStatus();
}

bool WaitLocked(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    if (done()) {
        return true;
    }
    if (!ContextGood()) {
        return false;
    }
    // The wait is for this context: should it fail, and a reconnect replace
    // it meanwhile, the wait ends all the same.
    pa_context* context = pa_context_ref(gContext);
    bool boundPassed = false;
    pa_usec_t deadline = pa_rtclock_now() + pa_usec_t(std::chrono::microseconds(bound).count());
    pa_time_event* timer = pa_context_rttime_new(context, deadline, WaitBoundPassed, &boundPassed);
    bool result = false;
    for (;;) {
        if (done()) {
            result = true;
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) || boundPassed) {
            break;
        }
        pa_threaded_mainloop_wait(gMainloop);
    }
    if (timer != nullptr) {
        pa_threaded_mainloop_get_api(gMainloop)->time_free(timer);
    }
    pa_context_unref(context);
    return result;
}

OSStatus FinishOperation(pa_operation* op, const bool& done) {
    if (op == nullptr) {
        return ContextStatus();
    }
    bool finished = WaitLocked([&] { return done; });
    if (!finished) {
        pa_operation_cancel(op);
    }
    pa_operation_unref(op);
    return finished ? kAudioHardwareNoError : FailedWaitStatus();
}

bool ContextReady() { return gContext != nullptr && pa_context_get_state(gContext) == PA_CONTEXT_READY; }

void ScheduleReconnect() { ArmTimer(gReconnectTimer, ReconnectTimerFired); }

void ScheduleRouteRetry() {
    gRouteRetryWanted = true;
    ArmTimer(gRouteRetryTimer, RouteRetryTimerFired);
}

void WatchReplacements() { ArmTimer(gRouteRetryTimer, RouteRetryTimerFired); }

void ScheduleDefaultsCheck() { ArmTimer(gDefaultsTimer, DefaultsTimerFired, kDefaultsCheckUsec); }

OSStatus Connect() {
    ForgetInheritedConnection();
    if (gMainloop == nullptr) {
        gOwner = getpid();
        gMainloop = pa_threaded_mainloop_new();
        if (gMainloop == nullptr) {
            return kAudioHardwareUnspecifiedError;
        }
        if (!StartMainloopThread()) {
            pa_threaded_mainloop_free(gMainloop);
            gMainloop = nullptr;
            return kAudioHardwareUnspecifiedError;
        }
    }
    const MainloopLock lock = LockMainloop();
    if (ContextReady()) {
        return kAudioHardwareNoError;
    }
    // A context that died stays dead: start over with a fresh one. One that
    // is still connecting (a reconnect under way) is waited for.
    if (!ContextGood() && !BeginConnectLocked()) {
        if (gContext == nullptr) {
            return kAudioHardwareUnspecifiedError;
        }
        OSStatus status = StatusFromError(pa_context_errno(gContext));
        return status == kAudioDevicePermissionsError ? status : kAudioHardwareNotRunningError;
    }
    if (WaitLocked([] { return ContextReady(); })) {
        return kAudioHardwareNoError;
    }
    return FailedWaitStatus();
}

void Disconnect() {
    ForgetInheritedConnection();
    if (gMainloop == nullptr) {
        return;
    }
    {
        const MainloopLock lock = LockMainloop();
        FreeTimer(gReconnectTimer);
        FreeTimer(gRouteRetryTimer);
        gRouteRetryWanted = false;
        FreeTimer(gDefaultsTimer);
        ForgetRoutes();
        DropContextLocked();
    }
    pa_threaded_mainloop_stop(gMainloop);
    pa_threaded_mainloop_free(gMainloop);
    gMainloop = nullptr;
}

// ---- Server queries -----------------------------------------------------------
namespace {

template <typename Snapshot>
struct Query {
    std::vector<Snapshot>* out;
    bool done = false;
    int error = PA_OK;
};

SourceSnapshot SnapshotOf(const pa_source_info& info) {
    SourceSnapshot s;
    s.name = info.name != nullptr ? info.name : "";
    s.description = info.description != nullptr ? info.description : s.name;
    s.sample = info.sample_spec;
    s.map = info.channel_map;
    return s;
}

SinkSnapshot SnapshotOf(const pa_sink_info& info) {
    SinkSnapshot s;
    s.name = info.name != nullptr ? info.name : "";
    s.description = info.description != nullptr ? info.description : s.name;
    s.monitorSource = info.monitor_source_name != nullptr ? info.monitor_source_name : "";
    s.sample = info.sample_spec;
    s.map = info.channel_map;
    return s;
}

template <typename Info, typename Snapshot>
void CollectInfo(pa_context* context, const Info* info, int eol, void* userdata) {
    auto* query = static_cast<Query<Snapshot>*>(userdata);
    if (eol < 0) {
        query->error = pa_context_errno(context);
    }
    if (eol != 0) {
        query->done = true;
        pa_threaded_mainloop_signal(gMainloop, 0);
        return;
    }
    if (info != nullptr) {
        query->out->push_back(SnapshotOf(*info));
    }
}

template <typename Snapshot>
OSStatus RunQuery(Query<Snapshot>& query, pa_operation* op) {
    OSStatus status = FinishOperation(op, query.done);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    return StatusFromError(query.error);
}

template <typename Snapshot>
OSStatus FindOne(std::vector<Snapshot>& found, Snapshot& out, OSStatus status) {
    if (status == kAudioHardwareNoError && found.empty()) {
        status = kAudioHardwareBadDeviceError;
    }
    if (status == kAudioHardwareNoError) {
        out = std::move(found.front());
    }
    return status;
}

struct ServerQuery {
    ServerSnapshot* out;
    bool done = false;
};

void CollectServer(pa_context*, const pa_server_info* info, void* userdata) {
    auto* query = static_cast<ServerQuery*>(userdata);
    if (info != nullptr) {
        query->out->defaultSink = info->default_sink_name != nullptr ? info->default_sink_name : "";
        query->out->defaultSource = info->default_source_name != nullptr ? info->default_source_name : "";
    }
    query->done = true;
    pa_threaded_mainloop_signal(gMainloop, 0);
}

}  // namespace

OSStatus QueryServer(ServerSnapshot& out) {
    if (OSStatus status = Connect(); status != kAudioHardwareNoError) {
        return status;
    }
    const MainloopLock lock = LockMainloop();
    ServerQuery query{&out};
    return FinishOperation(pa_context_get_server_info(gContext, CollectServer, &query), query.done);
}

OSStatus QuerySources(std::vector<SourceSnapshot>& out) {
    if (OSStatus status = Connect(); status != kAudioHardwareNoError) {
        return status;
    }
    const MainloopLock lock = LockMainloop();
    Query<SourceSnapshot> query{&out};
    return RunQuery(query, pa_context_get_source_info_list(gContext, CollectInfo<pa_source_info, SourceSnapshot>,
                                                           &query));
}

OSStatus QuerySinks(std::vector<SinkSnapshot>& out) {
    if (OSStatus status = Connect(); status != kAudioHardwareNoError) {
        return status;
    }
    const MainloopLock lock = LockMainloop();
    Query<SinkSnapshot> query{&out};
    return RunQuery(query,
                    pa_context_get_sink_info_list(gContext, CollectInfo<pa_sink_info, SinkSnapshot>, &query));
}

OSStatus QuerySource(const std::string& name, SourceSnapshot& out) {
    if (OSStatus status = Connect(); status != kAudioHardwareNoError) {
        return status;
    }
    const MainloopLock lock = LockMainloop();
    std::vector<SourceSnapshot> found;
    Query<SourceSnapshot> query{&found};
    OSStatus status = RunQuery(query, pa_context_get_source_info_by_name(
                                          gContext, name.c_str(), CollectInfo<pa_source_info, SourceSnapshot>, &query));
    return FindOne(found, out, status);
}

OSStatus QuerySink(const std::string& name, SinkSnapshot& out) {
    if (OSStatus status = Connect(); status != kAudioHardwareNoError) {
        return status;
    }
    const MainloopLock lock = LockMainloop();
    std::vector<SinkSnapshot> found;
    Query<SinkSnapshot> query{&found};
    OSStatus status = RunQuery(query, pa_context_get_sink_info_by_name(gContext, name.c_str(),
                                                                       CollectInfo<pa_sink_info, SinkSnapshot>, &query));
    return FindOne(found, out, status);
}

}  // namespace quorbel::pulse

// ---- Autorelease scope and time ----------------------------------------------------
namespace quorbel {

void* objc_autoreleasePoolPush() {
    std::lock_guard<std::mutex> guard(pulse::gApiMutex);
    ++pulse::gPoolDepth;
    return reinterpret_cast<void*>(std::uintptr_t(pulse::gPoolDepth));
}

// The outermost scope closes the connection: main pops it just before it
// returns. A process that never pops simply exits with the connection open,
// which the server handles like any client that went away.
void objc_autoreleasePoolPop(void*) {
    std::lock_guard<std::mutex> guard(pulse::gApiMutex);
    if (pulse::gPoolDepth > 0) {
        --pulse::gPoolDepth;
    }
    if (pulse::gPoolDepth == 0) {
        pulse::StopAllStreams();
        pulse::Disconnect();
    }
}

dispatch_time_t dispatch_time(dispatch_time_t when, std::int64_t deltaNanoseconds) {
    auto base = when == DISPATCH_TIME_NOW ? std::chrono::steady_clock::now() : when;
    return base + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::nanoseconds(deltaNanoseconds));
}

}  // namespace quorbel
