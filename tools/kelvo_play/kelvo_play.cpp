// kelvo-play: plays a kelvo-sim scenario against the installed service on a real machine (or
// under Wine), and prints what the substitute devices and the substitute graphics driver
// received, in kelvo-sim's timeline format, at real times.
//
// Exit codes: 0 played to the end, 1 a command could not be done (play goes on) or the service
// did not start or stop, 2 bad input (usage, a bad or refused line); nothing runs on 2.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "player.h"

namespace {

using namespace kelvo;

constexpr char kUsage[] =
    "usage: kelvo-play [--json] [--start [--registry FILE.reg]] SCENARIO|-\n"
    "\n"
    "Plays the scenario (a file, or standard input with -) against the running service\n"
    "\"Ambrel Manager\" and prints what the substitute devices and graphics driver received.\n"
    "--start starts the service first (stopping it if it runs) and stops it at the end;\n"
    "--registry makes its configuration anew from the file, as reg import loads it.\n";

// The button devices the substitute HID driver has.
constexpr int kButtonDevices = 3;

int UsageError(const std::string& message) {
    std::fprintf(stderr, "kelvo-play: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// Why a command cannot be played on this machine, or nothing when it can.
std::optional<std::string> Refusal(const host::Action& action, bool windowReachable) {
    using namespace host;
    if (std::holds_alternative<SetMetric>(action))
        return "the slate and dock metrics are the machine's own (Wine keeps both at 0)";
    if (std::holds_alternative<PowerSettingChange>(action) ||
        (std::holds_alternative<PowerEvent>(action) &&
         std::get<PowerEvent>(action).type == PBT_POWERSETTINGCHANGE))
        return "a power-setting record cannot cross from one process to another";
    if (const auto* plug = std::get_if<PlugDevice>(&action); plug != nullptr && plug->pulled)
        return "no program can pull a device out; unplug removes it as a driver update does";
    const bool toWindow = std::holds_alternative<SettingChange>(action) ||
                          std::holds_alternative<PowerEvent>(action) ||
                          std::holds_alternative<DeviceInterfaceChange>(action) ||
                          std::holds_alternative<PostMonitorEvent>(action);
    if (toWindow && !windowReachable)
        return "the service's window is in session 0, out of this session's reach";
    return std::nullopt;
}

// The first word of each line of the text, by line number (1-based).
std::vector<std::string> CommandWords(const std::string& text) {
    std::vector<std::string> words{""};
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream(line) >> words.emplace_back();
    }
    return words;
}

// A path of the command line as Windows takes it.
std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                              static_cast<int>(wide.size()))));
    return wide;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false, start = false;
    std::string registry, source;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--json") {
            json = true;
        } else if (argument == "--start") {
            start = true;
        } else if (argument == "--registry" && i + 1 < argc) {
            registry = argv[++i];
        } else if (argument.size() > 1 && argument[0] == '-') {
            return UsageError("unknown option " + std::string(argument));
        } else if (!source.empty()) {
            return UsageError("one scenario only");
        } else {
            source = argument;
        }
    }
    if (source.empty()) return UsageError("no scenario");
    if (!registry.empty() && !start) return UsageError("--registry needs --start");

    std::string text;
    if (source == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        std::ifstream file(source, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "kelvo-play: cannot read the scenario %s\n", source.c_str());
            return 2;
        }
        text.assign(std::istreambuf_iterator<char>(file), {});
    }
    std::string error;
    const std::optional<host::Scenario> scenario =
        host::ParseScenario(text, kButtonDevices, &error);
    if (!scenario) {
        std::fprintf(stderr, "kelvo-play: %s\n", error.c_str());
        return 2;
    }
    const bool windowReachable = play::ServiceWindowReachable();
    const std::vector<std::string> words = CommandWords(text);
    bool refused = false;
    for (const host::Command& command : scenario->commands) {
        if (const auto why = Refusal(command.action, windowReachable)) {
            std::fprintf(stderr, "kelvo-play: line %d: %s: %s\n", command.line,
                         words.at(static_cast<std::size_t>(command.line)).c_str(), why->c_str());
            refused = true;
        }
    }
    if (refused) return 2;

    play::Player player(stdout, json ? host::TimelineFormat::Json : host::TimelineFormat::Text);
    if (start && !player.Start(Wide(registry))) {
        player.Finish();
        return 1;
    }
    bool done = true;
    for (const host::Command& command : scenario->commands) done = player.Play(command) && done;
    return player.Finish() && done ? 0 : 1;
}
