// The default scenario against a failing platform: it is played once to record every platform
// call it makes, then once for each of those calls, in a fresh world, with that one call failing.
// Every play must end, stop cleanly and show the outcome its failure is meant to have.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "events/system_event_monitor.h"
#include "service/sim/default_scenario.h"
#include "service/sim/sim_host.h"

namespace {

using kelvo::host::SimHost;
using platform::sim::Scheduler;

// What a failed call is meant to do to the play.
enum class Outcome {
    Served,       // logged or ignored; the frame and touch go exactly as without the failure
    StopRetried,  // the stop's call is made again 10 ms later; all else as without the failure
    StatusLost,   // that one status report is missing; all else as without the failure
    Unstoppable,  // the control manager never hears that the service runs, so it sends no stop:
                  // the service serves until the system ends it
    Leaks,        // a release the system refused: logged, and that one object stays
    TouchLost,    // touch reports are lost (the controller is not found, or a report fails);
                  // the frame goes exactly as without the failure
    Changed,      // the event the call served is lost (or doubled); later events still served
    NoDisplay,    // the graphics driver is never reached; touch is still switched
    StopsItself,  // the monitor cannot run: the service reports stopped with no stop control
    NoStatus,     // the process ends before the service reports any status
    ComFails,     // COM cannot be joined: the service stops with that status, nothing served
    Foreground,   // runs as a plain process: no status, events served, deaf to stop controls
    Terminates,   // the process ends at once (a worker cannot drop its restricted token)
};

struct Exception {
    unsigned first, last;
    Outcome outcome;
};

// Every operation the default scenario calls; the call numbers are those of that scenario. The
// workers start in the order bezel button 0, 1, 2, hot keys, so the first of four token calls
// disables button 0 (the latch goes unheard until the undock shows the frame) and the fourth the
// hot keys (neither toggle is heard).
struct Expectation {
    const char* operation;
    Outcome outcome;  // for every call not named below
    std::vector<Exception> exceptions;
};

const Expectation kExpectations[] = {
    {"AdjustTokenPrivileges", Outcome::Served, {}},
    {"AllocateAndInitializeSid", Outcome::Served, {}},
    {"CancelSynchronousIo", Outcome::StopRetried, {}},
    {"CloseHandle", Outcome::Served, {}},
    {"CoCreateInstance", Outcome::NoDisplay, {}},
    {"CoInitializeEx", Outcome::ComFails, {}},
    {"CoUninitialize", Outcome::Served, {}},
    // The five hot-key events and the stop event: the first wait fails, the thread ends.
    {"CreateEventW", Outcome::Changed, {}},
    // The seventh device opened is button 0's.
    // The fifth device opened is the touch controller, the seventh button 0.
    {"CreateFileW", Outcome::Served, {{7, 8, Outcome::TouchLost}, {11, 12, Outcome::Changed}}},
    {"CreateRestrictedToken",
     Outcome::Served,
     {{1, 1, Outcome::Changed}, {4, 4, Outcome::Changed}}},
    {"CreateWindowExW", Outcome::StopsItself, {}},
    {"DeregisterEventSource", Outcome::Served, {}},
    {"DestroyWindow", Outcome::Served, {}},
    {"GetCurrentThread", Outcome::Served, {}},
    // A queue that fails ends the loop; the last call is the one the stop ends anyway.
    {"GetMessageW", Outcome::StopsItself, {{5, 5, Outcome::Served}}},
    {"GetModuleHandleW", Outcome::Served, {}},
    {"GetProcAddress", Outcome::Served, {}},
    {"GetSecurityInfo", Outcome::Served, {}},
    {"GetTokenInformation", Outcome::Served, {{1, 2, Outcome::Changed}, {7, 8, Outcome::Changed}}},
    {"HidD_FreePreparsedData", Outcome::Served, {}},
    {"HidD_GetAttributes",
     Outcome::Served,
     {{7, 7, Outcome::TouchLost}, {10, 10, Outcome::Changed}}},
    {"HidD_GetFeature", Outcome::Served, {}},
    {"HidD_GetPreparsedData",
     Outcome::Served,
     {{7, 7, Outcome::TouchLost}, {10, 10, Outcome::Changed}}},
    // The first three select the touch controller's properties.
    {"HidD_SetFeature", Outcome::TouchLost, {{1, 3, Outcome::Served}}},
    {"HidP_GetCaps", Outcome::Served, {{7, 7, Outcome::TouchLost}, {10, 10, Outcome::Changed}}},
    {"HidP_GetValueCaps", Outcome::Served, {}},
    {"ImpersonateSelf", Outcome::Served, {{1, 1, Outcome::Changed}, {4, 4, Outcome::Changed}}},
    // The undock timer stays armed; the stop ends the loop before it is due.
    {"KillTimer", Outcome::Leaks, {}},
    {"LoadStringW", Outcome::NoStatus, {}},
    {"LookupPrivilegeNameW", Outcome::Served, {}},
    {"LookupPrivilegeValueW", Outcome::Served, {}},
    {"OleRun", Outcome::NoDisplay, {}},
    // The host's own: the hot-key press does not happen.
    {"OpenEventW", Outcome::Changed, {}},
    {"OpenThreadToken", Outcome::Served, {{1, 1, Outcome::Changed}, {4, 4, Outcome::Changed}}},
    // The latch's and the two toggles' posts, then the stop's close, which is posted again.
    {"PostMessageW", Outcome::Changed, {{4, 4, Outcome::StopRetried}}},
    // Button 0's first read ends its thread before the latch.
    {"ReadFile", Outcome::Served, {{1, 1, Outcome::Changed}}},
    // The names of the two setting changes; the first character of each is compared apart.
    {"ReadForeignMemory", Outcome::Changed, {{1, 1, Outcome::Served}, {17, 17, Outcome::Served}}},
    {"RegCloseKey", Outcome::Served, {}},
    // The AppID key: the process ends with that status.
    {"RegOpenKeyExW", Outcome::Served, {{1, 1, Outcome::NoStatus}}},
    // "LocalService" unreadable: not a service.
    {"RegQueryValueExW", Outcome::Foreground, {}},
    {"RegisterClassExW", Outcome::StopsItself, {}},
    {"RegisterDeviceNotificationW", Outcome::StopsItself, {}},
    {"RegisterEventSourceW", Outcome::Served, {}},
    {"RegisterPowerSettingNotification", Outcome::StopsItself, {}},
    {"RegisterServiceCtrlHandlerExW", Outcome::NoStatus, {}},
    {"RegisterSuspendResumeNotification", Outcome::StopsItself, {}},
    {"ReportEventW", Outcome::Served, {}},
    // The toggle's event stays set, so it is heard twice.
    {"ResetEvent", Outcome::Changed, {}},
    {"RevertToSelf", Outcome::Terminates, {}},
    {"SetEntriesInAclW", Outcome::Served, {}},
    // The host's two presses, then the stop, which sets the event again.
    {"SetEvent", Outcome::Changed, {{3, 3, Outcome::StopRetried}}},
    {"SetSecurityInfo", Outcome::Served, {}},
    {"SetServiceStatus", Outcome::StatusLost, {{2, 2, Outcome::Unstoppable}}},
    {"SetThreadToken", Outcome::Served, {{1, 1, Outcome::Changed}, {4, 4, Outcome::Changed}}},
    {"SetTimer", Outcome::Served, {}},
    {"SetWindowLongPtrW", Outcome::StopsItself, {}},
    {"SetupDiDestroyDeviceInfoList", Outcome::Served, {}},
    // No device list: neither the touch controller nor the buttons are found.
    {"SetupDiEnumDeviceInterfaces", Outcome::Served, {{1, 3, Outcome::Changed}}},
    {"SetupDiGetClassDevsW", Outcome::Changed, {}},
    {"SetupDiGetDeviceInterfaceDetailW", Outcome::Served, {{1, 6, Outcome::Changed}}},
    {"StartServiceCtrlDispatcherW", Outcome::NoStatus, {}},
    {"UnregisterClassW", Outcome::Leaks, {}},
    {"UnregisterDeviceNotification", Outcome::Leaks, {}},
    {"UnregisterPowerSettingNotification", Outcome::Leaks, {}},
    {"UnregisterSuspendResumeNotification", Outcome::Leaks, {}},
    {"VerifyVersionInfoW", Outcome::Served, {}},
    // The first wait ends the thread before any toggle; the second after the first toggle.
    {"WaitForMultipleObjects", Outcome::Served, {{1, 2, Outcome::Changed}}},
    {"WriteFile", Outcome::Served, {}},
};

std::optional<Outcome> Expected(const std::string& operation, unsigned n) {
    for (const Expectation& e : kExpectations) {
        if (operation != e.operation) continue;
        for (const Exception& x : e.exceptions) {
            if (n >= x.first && n <= x.last) return x.outcome;
        }
        return e.outcome;
    }
    return std::nullopt;
}

DWORD ErrorFor(const std::string& operation) {
    // COM hands the planned error back as its HRESULT.
    if (operation.rfind("Co", 0) == 0 || operation == "OleRun") return 0x80004005;
    return ERROR_ACCESS_DENIED;
}

struct Play {
    std::string timeline;
    std::optional<int> exitCode;
    std::vector<std::string> calls;
    std::vector<std::string> states;
    std::string story;   // the frame requests and touch modes, with their times
    std::string frames;  // the frame requests alone
    std::size_t threadsLeft = 0;
    platform::sim::SimWindowing::Census windows{};
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The default scenario in a fresh world, with the planned faults. A service that does not stop
// is stopped as a killed process would be: its monitor is stopped from outside.
Play PlayDefault(const std::string& operation = "", unsigned n = 0,
                 const std::function<void(platform::sim::SimWorld&)>& setUp = {}) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    Play play;
    {
        kelvo::host::Timeline timeline(out, kelvo::host::TimelineFormat::Text, TRACE_LEVEL_VERBOSE);
        SimHost host(kelvo::host::WorldOptions{}, timeline);
        std::string error;
        EXPECT_TRUE(host.Build(&error)) << error;
        platform::sim::SimWorld& world = host.GetWorld();
        if (setUp) setUp(world);
        {
            Scheduler::Lock lock(world.GetScheduler().Mutex());
            world.GetFaults().SetRecording(true);
            if (!operation.empty()) world.GetFaults().Fail(operation, ErrorFor(operation), n);
        }
        host.Start();
        const auto scenario = kelvo::host::ParseScenario(kelvo::host::DefaultScenario(), 3, &error);
        for (const auto& command : scenario->commands) host.Play(command);
        play.exitCode = host.Finish();
        if (!play.exitCode) {
            SystemEventMonitor::Instance(nullptr)->Stop();
            if (!host.Finish()) {
                ADD_FAILURE() << "the service cannot be stopped at all";
                std::fflush(out);
                std::_Exit(1);
            }
        }
        {
            Scheduler::Lock lock(world.GetScheduler().Mutex());
            play.calls = world.GetFaults().Calls();
        }
        for (const SERVICE_STATUS& status : world.GetServices().StatusReports()) {
            play.states.push_back(kelvo::host::ServiceStateName(status.dwCurrentState));
        }
        play.threadsLeft = world.GetScheduler().ParticipantCount();
        play.windows = world.GetWindowing().Count();
    }
    std::fclose(out);
    play.timeline.assign(buffer, size);
    std::free(buffer);
    for (const std::string& line : Lines(play.timeline)) {
        const bool frame = line.find(" gfx SetInfo ") != std::string::npos &&
                           line.find(" x=30 y=30 p=90 ") != std::string::npos;
        const bool touchMode = line.find(" touch SetFeature 06 ff ff 0") != std::string::npos;
        if (frame || touchMode) play.story += line + "\n";
        if (frame) play.frames += line + "\n";
    }
    return play;
}

const std::vector<std::string> kCleanStop = {"SERVICE_START_PENDING", "SERVICE_RUNNING",
                                             "SERVICE_STOP_PENDING", "SERVICE_STOPPED"};
const std::vector<std::string> kStoppedItself = {"SERVICE_START_PENDING", "SERVICE_RUNNING",
                                                 "SERVICE_STOPPED"};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

void CheckOutcome(Outcome outcome, const Play& play, const Play& baseline) {
    const bool anyFrame = Contains(play.story, " gfx SetInfo ");
    std::size_t windowsLeft = 0;
    switch (outcome) {
        case Outcome::Served:
            EXPECT_EQ(play.exitCode, 0);
            EXPECT_EQ(play.states, kCleanStop);
            EXPECT_EQ(play.story, baseline.story);
            break;
        case Outcome::StopRetried:
            EXPECT_EQ(play.exitCode, 0);
            EXPECT_EQ(play.states, kCleanStop);
            EXPECT_TRUE(Contains(play.timeline, "[8.000] L2 HRESULT: 0x80070005 @ LINE "));
            EXPECT_EQ(play.story, Replaced(baseline.story, "[8.000]", "[8.010]"));
            break;
        case Outcome::StatusLost:
            EXPECT_EQ(play.exitCode, 0);
            EXPECT_EQ(play.states.size(), kCleanStop.size() - 1);
            for (const std::string& state : play.states) {
                EXPECT_NE(std::find(kCleanStop.begin(), kCleanStop.end(), state), kCleanStop.end());
            }
            EXPECT_EQ(play.story, baseline.story);
            break;
        case Outcome::Unstoppable:
            EXPECT_FALSE(play.exitCode.has_value());
            EXPECT_EQ(play.story.substr(0, play.story.find("[8.")),
                      baseline.story.substr(0, baseline.story.find("[8.")));
            break;
        case Outcome::Leaks:
            EXPECT_EQ(play.exitCode, 0);
            EXPECT_EQ(play.states, kCleanStop);
            EXPECT_EQ(play.story, baseline.story);
            windowsLeft = 1;
            break;
        case Outcome::TouchLost:
            EXPECT_EQ(play.exitCode, 0);
            EXPECT_EQ(play.states, kCleanStop);
            EXPECT_EQ(play.frames, baseline.frames);
            EXPECT_NE(play.story, baseline.story);
            break;
        case Outcome::Changed:
            EXPECT_EQ(play.exitCode, 0);
            EXPECT_EQ(play.states, kCleanStop);
            EXPECT_NE(play.story, baseline.story);
            // The stop still hides the frame and gives touch back.
            EXPECT_TRUE(Contains(play.story, "[8.000] gfx SetInfo enable=0 x=30 y=30 p=90 ") ||
                        Contains(play.story, "[8.010] gfx SetInfo enable=0 x=30 y=30 p=90 "))
                << play.story;
            break;
        case Outcome::NoDisplay:
            EXPECT_EQ(play.exitCode, 0);
            EXPECT_EQ(play.states, kCleanStop);
            EXPECT_FALSE(anyFrame) << play.story;
            EXPECT_TRUE(Contains(play.story,
                                 "[1.000] touch SetFeature 06 ff ff 02 00 00 00 00 00 00 00 00"))
                << play.story;
            break;
        case Outcome::StopsItself:
            EXPECT_EQ(play.exitCode, 0);
            EXPECT_EQ(play.states, kStoppedItself);
            EXPECT_FALSE(Contains(play.timeline, "SERVICE_STOP_PENDING"));
            break;
        case Outcome::NoStatus:
            EXPECT_TRUE(play.states.empty());
            EXPECT_FALSE(anyFrame) << play.story;
            break;
        case Outcome::ComFails:
            EXPECT_EQ(play.exitCode, static_cast<int>(0x80004005));
            EXPECT_EQ(play.states, kStoppedItself);
            EXPECT_TRUE(Contains(play.timeline, "] L2 HRESULT: 0x80004005 @ LINE "));
            EXPECT_TRUE(play.story.empty()) << play.story;
            break;
        case Outcome::Foreground:
            EXPECT_TRUE(play.states.empty());
            // Everything up to the stop control is served as in the service.
            EXPECT_TRUE(Contains(baseline.story, play.story.substr(0, play.story.find("[8."))));
            EXPECT_TRUE(Contains(play.story, "[7.000] gfx SetInfo enable=0 x=30 y=30 p=90 "));
            break;
        case Outcome::Terminates:
            break;
    }
    EXPECT_EQ(play.threadsLeft, 0u);
    EXPECT_EQ(play.windows.windows + play.windows.classes + play.windows.registrations +
                  play.windows.timers,
              windowsLeft);
}

TEST(FaultSweep, EveryCallOfTheDefaultScenarioFailsInTurn) {
    const Play baseline = PlayDefault();
    ASSERT_EQ(baseline.exitCode, 0);
    ASSERT_EQ(baseline.states, kCleanStop);
    CheckOutcome(Outcome::Served, baseline, baseline);

    std::map<std::string, unsigned> calls;
    for (const std::string& operation : baseline.calls) ++calls[operation];
    for (const auto& [operation, count] : calls) {
        for (unsigned n = 1; n <= count; ++n) {
            SCOPED_TRACE(operation + " call " + std::to_string(n) + " of " + std::to_string(count));
            const std::optional<Outcome> outcome = Expected(operation, n);
            if (!outcome) {
                ADD_FAILURE() << operation << " is not classified";
                break;
            }
            if (*outcome == Outcome::Terminates) continue;  // the death test's
            const Play play = PlayDefault(operation, n);
            CheckOutcome(*outcome, play, baseline);
        }
    }
}

TEST(FaultSweepDeathTest, AWorkerThatCannotDropItsTokenEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(PlayDefault("RevertToSelf", 1), "");
}

TEST(FaultSweep, AFailedEventRegisterSilencesTheLogAndNothingElse) {
    const Play baseline = PlayDefault();
    const Play play = PlayDefault("", 0, [](platform::sim::SimWorld& world) {
        world.GetTracing().FailEventRegister({ERROR_ACCESS_DENIED});
    });
    EXPECT_EQ(play.exitCode, 0);
    EXPECT_EQ(play.states, kCleanStop);
    EXPECT_EQ(play.story, baseline.story);
    EXPECT_FALSE(Contains(play.timeline, "] L")) << "a trace was written";
}

}  // namespace
