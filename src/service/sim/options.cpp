#include "service/sim/options.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <utility>

namespace kelvo::host {

const char kUsage[] =
    "usage: kelvo-sim run [--registry FILE.reg] [--touch legacy|current1|current2|events|none]\n"
    "                     [--buttons N] [--gfx frame|devicedata|off|none] [--slate 0|1]\n"
    "                     [--docked 0|1] [--json] [--level N] [--realtime] [--interactive]\n"
    "                     [--svg FILE] [SCENARIO|-]\n"
    "       kelvo-sim settings FILE.reg\n"
    "\n"
    "run plays a scenario (a file, standard input with -, or the built-in default) against the\n"
    "service on the simulated platform and prints its timeline; settings prints the\n"
    "configuration a registry file gives the service.\n"
    "\n"
    "--svg FILE also draws the timeline as one picture (SVG) into FILE when the run ends. A FILE\n"
    "that cannot be created stops kelvo-sim before the run (exit code 2); one that cannot be\n"
    "written at the end fails the run (exit code 1).\n";

namespace {

template <class T, std::size_t N>
std::optional<T> Choose(std::string_view word, const std::pair<std::string_view, T> (&choices)[N]) {
    for (const auto& [name, value] : choices) {
        if (word == name) return value;
    }
    return std::nullopt;
}

std::optional<int> Integer(std::string_view word, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc() || end != word.data() + word.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<RunOptions> ParseRunOptions(const std::vector<std::string_view>& arguments,
                                          std::string* error) {
    static constexpr std::pair<std::string_view, TouchKind> kTouch[] = {
        {"legacy", TouchKind::Legacy},
        {"current1", TouchKind::Current1},
        {"current2", TouchKind::Current2},
        {"events", TouchKind::Events},
        {"none", TouchKind::None}};
    static constexpr std::pair<std::string_view, GfxKind> kGfx[] = {
        {"frame", GfxKind::Frame},
        {"devicedata", GfxKind::DeviceData},
        {"off", GfxKind::Off},
        {"none", GfxKind::None}};

    RunOptions options;
    bool haveScenario = false;
    auto fail = [error](std::string message) -> std::optional<RunOptions> {
        if (error) *error = std::move(message);
        return std::nullopt;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view option = arguments[i];
        if (option == "--json") {
            options.json = true;
            continue;
        }
        if (option == "--realtime") {
            options.world.realtime = true;
            continue;
        }
        if (option == "--interactive") {
            options.interactive = true;
            continue;
        }
        if (option.size() < 2 || option.substr(0, 2) != "--" || option == "--") {
            if (haveScenario) return fail("one scenario only: " + std::string(option));
            options.scenario = option;
            haveScenario = true;
            continue;
        }
        // The options that take a value, as "--name value" or "--name=value".
        static constexpr std::string_view kValued[] = {"--registry", "--touch", "--buttons",
                                                       "--gfx",      "--slate", "--docked",
                                                       "--level",    "--svg"};
        std::string_view value;
        const std::size_t equals = option.find('=');
        if (equals != std::string_view::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        if (std::find(std::begin(kValued), std::end(kValued), option) == std::end(kValued)) {
            return fail("unknown option " + std::string(option));
        }
        if (equals == std::string_view::npos) {
            if (i + 1 == arguments.size()) return fail(std::string(option) + " needs a value");
            value = arguments[++i];
        }
        const std::string bad = "bad " + std::string(option) + " '" + std::string(value) + "'";
        if (option == "--registry") {
            if (value.empty()) return fail(bad);
            options.world.registryFile = value;
        } else if (option == "--svg") {
            if (value.empty()) return fail(bad);
            options.svg = value;
        } else if (option == "--touch") {
            const auto touch = Choose(value, kTouch);
            if (!touch) return fail(bad + ": legacy, current1, current2, events or none");
            options.world.touch = touch;
        } else if (option == "--buttons") {
            const auto buttons = Integer(value, 0, kMaxButtons);
            if (!buttons) return fail(bad + ": 0 to " + std::to_string(kMaxButtons));
            options.world.buttons = *buttons;
        } else if (option == "--gfx") {
            const auto gfx = Choose(value, kGfx);
            if (!gfx) return fail(bad + ": frame, devicedata, off or none");
            options.world.gfx = *gfx;
        } else if (option == "--slate" || option == "--docked") {
            const auto metric = Integer(value, 0, 1);
            if (!metric) return fail(bad + ": 0 or 1");
            (option == "--slate" ? options.world.slate : options.world.docked) = *metric;
        } else {
            const auto level = Integer(value, 0, TRACE_LEVEL_VERBOSE);
            if (!level) return fail(bad + ": 0 to 5");
            options.world.level = static_cast<UCHAR>(*level);
        }
    }
    if (options.interactive && haveScenario && options.scenario != "-") {
        return fail("--interactive reads its commands from the terminal, not from " +
                    options.scenario);
    }
    return options;
}

}  // namespace kelvo::host
