// kelvo-sim: the service on the simulated platform, as a program.
//
// Exit codes: 0 played to the end (or the report printed), 1 the service failed or did not stop
// or the picture could not be written, 2 bad input (usage, a scenario line, a file that cannot be
// read, a picture that cannot be created); nothing runs on 2.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "scenario/scenario.h"
#include "service/sim/default_scenario.h"
#include "service/sim/options.h"
#include "service/sim/settings_report.h"
#include "service/sim/sim_host.h"
#include "service/sim/timeline.h"
#include "service/sim/timeline_svg.h"

namespace {

using namespace kelvo::host;

// Scenarios are small; anything this large is not one.
constexpr std::size_t kMaxScenarioSize = 16u << 20;

int UsageError(const std::string& message) {
    std::fprintf(stderr, "kelvo-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool ReadAll(std::istream& in, std::string& text) {
    text.clear();
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxScenarioSize) return false;
    }
    return !in.bad();
}

// The scenario's text: the built-in one, standard input or a file.
bool ReadScenario(const std::string& source, std::string& text) {
    if (source.empty()) {
        text = DefaultScenario();
        return true;
    }
    if (source == "-") {
        if (ReadAll(std::cin, text)) return true;
        std::fprintf(stderr, "kelvo-sim: cannot read the scenario from standard input\n");
        return false;
    }
    std::ifstream file(source, std::ios::binary);
    if (file && ReadAll(file, text)) return true;
    std::fprintf(stderr, "kelvo-sim: cannot read the scenario %s%s\n", source.c_str(),
                 file ? " (larger than 16 MiB)" : "");
    return false;
}

// Writes the picture of the timeline and closes the file; false, said on standard error, when it
// could not be written.
bool DrawPicture(std::FILE* file, const std::string& path,
                 const std::vector<TimelineRecord>& records,
                 const std::optional<TouchModeReports>& touch) {
    const std::string svg = TimelineSvg(records, touch);
    const bool written = std::fwrite(svg.data(), 1, svg.size(), file) == svg.size();
    if (std::fclose(file) == 0 && written) return true;
    std::fprintf(stderr, "kelvo-sim: cannot write the picture %s\n", path.c_str());
    return false;
}

// Commands as the user types them; a bad line is rejected and play goes on.
void PlayInteractive(SimHost& host, int buttons) {
    std::string line;
    for (int number = 1; std::getline(std::cin, line); ++number) {
        std::string error;
        const std::optional<Command> command = ParseScenarioLine(line, number, buttons, &error);
        if (!command) {
            if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
            continue;
        }
        if (std::holds_alternative<Stop>(command->action)) return;
        host.Play(*command);
    }
}

int Run(const std::vector<std::string_view>& arguments) {
    std::string error;
    const std::optional<RunOptions> options = ParseRunOptions(arguments, &error);
    if (!options) return UsageError(error);

    std::optional<Scenario> scenario;
    if (!options->interactive) {
        std::string text;
        if (!ReadScenario(options->scenario, text)) return 2;
        scenario = ParseScenario(text, options->world.buttons, &error);
        if (!scenario) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
    }

    std::vector<TimelineRecord> kept;
    Timeline timeline(stdout, options->json ? TimelineFormat::Json : TimelineFormat::Text,
                      options->world.level);
    if (!options->svg.empty()) timeline.Keep(&kept);
    SimHost host(options->world, timeline);
    if (!host.Build(&error)) {
        std::fprintf(stderr, "kelvo-sim: %s\n", error.c_str());
        return 2;
    }
    // Made before anything runs: a picture that cannot be created costs no run.
    std::FILE* picture = nullptr;
    if (!options->svg.empty() && !(picture = std::fopen(options->svg.c_str(), "wb"))) {
        std::fprintf(stderr, "kelvo-sim: cannot create the picture %s: %s\n", options->svg.c_str(),
                     std::generic_category().message(errno).c_str());
        return 2;
    }
    host.Start();
    if (scenario) {
        for (const Command& command : scenario->commands) host.Play(command);
    } else {
        PlayInteractive(host, options->world.buttons);
    }
    const std::optional<int> exitCode = host.Finish();
    if (!exitCode) {
        // Its threads are still blocked in the world: nothing can be torn down. Records come
        // under the world lock, so the picture is drawn under it, if it is free.
        std::unique_lock world(host.GetWorld().GetScheduler().Mutex(), std::try_to_lock);
        if (picture && world) DrawPicture(picture, options->svg, kept, host.TouchModes());
        std::fflush(stdout);
        std::fputs("kelvo-sim: the service did not stop\n", stderr);
        std::_Exit(1);
    }
    const bool drawn = !picture || DrawPicture(picture, options->svg, kept, host.TouchModes());
    if (*exitCode != 0) {
        std::fprintf(stderr, "kelvo-sim: the service exited with 0x%08x\n",
                     static_cast<unsigned>(*exitCode));
        return 1;
    }
    return drawn ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    if (arguments.empty()) return UsageError("a command is needed");
    const std::string_view command = arguments.front();
    arguments.erase(arguments.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "run") return Run(arguments);
    if (command == "settings") {
        if (arguments.size() != 1) return UsageError("settings takes one registry file");
        return RunSettingsReport(std::string(arguments[0]), stdout, stderr);
    }
    return UsageError("unknown command " + std::string(command));
}
