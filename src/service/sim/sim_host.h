// The simulated host: a simulated Windows set up as a convertible tablet with Kelvo installed as
// a service, the service started in it exactly as the control manager starts Kelvo.exe, and a
// player that does to the machine what a scenario says, one command at a time.
//
// Each command runs until every thread of the service is blocked in a platform wait; the clock
// moves only on wait. At the end the player sends SERVICE_CONTROL_STOP and moves the clock from
// one due wait to the next only until the service has stopped, so timers due later never fire.
// Everything the service does that reaches the outside (traces, HID reports, driver records,
// named events, service states) goes to the timeline as it happens.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/owner.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/sim_world.h"
#include "platform/sync.h"
#include "scenario/scenario.h"
#include "service/kelvo.h"
#include "service/sim/options.h"
#include "service/sim/timeline.h"
#include "service/sim/timeline_svg.h"
#include "substitutes/bezel_buttons_sim.h"
#include "substitutes/gfx_driver_sim.h"

namespace kelvo::host {

class SimHost {
public:
    SimHost(const WorldOptions& options, Timeline& timeline);
    ~SimHost();
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    // Sets up the machine; false, with *error, when the registry file cannot be loaded.
    bool Build(std::string* error);
    // Starts the process (its module object, then wWinMain) and runs it until it waits.
    void Start();
    // Carries out one command, then runs the service until it waits again. Problems of the
    // host's own (a hot key whose event does not exist) go to standard error.
    void Play(const Command& command);
    // Stops the service and waits for the process to end; its exit code, or none when the
    // service never stops (its threads are then still blocked).
    std::optional<int> Finish();

    // The simulated machine: its fault plan (set before Start) and what is left in it after.
    platform::sim::SimWorld& GetWorld() { return _world; }
    // How the touch controller on the bus takes its bezel touch mode; none without one.
    const std::optional<TouchModeReports>& TouchModes() const { return _touchModes; }

private:
    void AddTouchController();
    void AddButtons();
    void CreateTouchEvents();
    void SetUpService();
    void Listen();
    void RunUntilIdle();
    void Do(int line, const Action& action);
    // The collections of the touch controller (kTouchController) or of a button device.
    std::vector<platform::sim::SimHidDevice*> DevicesOf(int button);
    void Replug(int line, const PlugDevice& plug);
    void Hold(int line, const HoldDevice& hold);
    void SetGfxRegistered(bool registered);
    bool ProcessEnded();
    platform::sim::SimRegistry& Registry();

    const WorldOptions _options;
    Timeline& _timeline;
    // The world's listeners use it until the world is gone.
    std::map<const platform::sim::SimHidDevice*, std::string> _deviceNames;
    platform::sim::SimWorld _world;
    // Registered with the world's COM as the options say.
    std::shared_ptr<platform::sim::SimGfxDriver> _gfxDriver;
    CLSID _gfxClass{};
    bool _gfxRegistered = false;
    // The touch controller's vendor collection and touch screen; none without a controller.
    std::array<platform::sim::SimHidDevice*, 2> _touch{};
    std::optional<TouchModeReports> _touchModes;
    // Devices another program holds open.
    std::map<platform::sim::SimHidDevice*, HANDLE> _heldByOthers;
    std::vector<platform::sim::SimBezelButtons*> _buttons;
    std::vector<platform::KernelHandle> _touchEvents;
    std::optional<CKelvoModule> _module;
    // Kelvo.exe's last static object, made after the module and gone before it.
    std::optional<CLogLifetime<CLog<LogProviderKelvo>>> _logLifetime;
    platform::Thread _process;
    bool _processEnded = false;  // world lock
    int _exitCode = 0;
};

}  // namespace kelvo::host
