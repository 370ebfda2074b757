// kelvo-sim: the service on the simulated platform, as a program.
//
// Exit codes: 0 played to the end (or the report printed), 1 the service failed or did not stop,
// 2 bad input (usage, a scenario line, a file that cannot be read); nothing runs on 2.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "service/sim/default_scenario.h"
#include "service/sim/options.h"
#include "scenario/scenario.h"
#include "service/sim/settings_report.h"
#include "service/sim/sim_host.h"
#include "service/sim/timeline.h"

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

    Timeline timeline(stdout, options->json ? TimelineFormat::Json : TimelineFormat::Text,
                      options->world.level);
    SimHost host(options->world, timeline);
    if (!host.Build(&error)) {
        std::fprintf(stderr, "kelvo-sim: %s\n", error.c_str());
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
        // Its threads are still blocked in the world: nothing can be torn down.
        std::fflush(stdout);
        std::fputs("kelvo-sim: the service did not stop\n", stderr);
        std::_Exit(1);
    }
    if (*exitCode != 0) {
        std::fprintf(stderr, "kelvo-sim: the service exited with 0x%08x\n",
                     static_cast<unsigned>(*exitCode));
        return 1;
    }
    return 0;
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
