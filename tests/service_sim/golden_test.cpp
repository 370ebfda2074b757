// kelvo-sim as its users run it, compared byte for byte with the timelines stored in golden/:
// NAME.args holds the command line (paths from the source tree) and "exit N"; NAME.stdin, where
// there is one, is fed to standard input; NAME.txt is standard output and error together.
// Source line numbers and file names of status and assertion lines are masked, as they move.
// KELVO_REGENERATE_GOLDEN=1 (./run golden) writes the .txt files and exit codes from what
// kelvo-sim gives now. A run that hangs is ended after five minutes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "rig/golden.h"

namespace {

namespace fs = std::filesystem;
const fs::path kGolden = fs::path(KELVO_SOURCE_DIR) / "tests/service_sim/golden";

std::string Masked(const std::string& text) {
    static const std::regex kWhere(R"(@ LINE \d+ \[[^\]]*\])");
    return std::regex_replace(text, kWhere, "@ LINE #### [...]");
}

std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(kGolden)) {
        if (entry.path().extension() == ".args") names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Golden : public testing::TestWithParam<std::string> {};

TEST_P(Golden, KelvoSimGivesTheStoredTimeline) {
    const fs::path base = kGolden / GetParam();
    const std::vector<std::string> args = rig::SplitLines(rig::ReadFile(base.string() + ".args"));
    ASSERT_EQ(args.size(), 2u) << "expected the command line, then \"exit N\"";
    const fs::path input = base.string() + ".stdin";
    const std::string command = "cd " KELVO_SOURCE_DIR " && timeout 300 " KELVO_SIM " " + args[0] +
                                " <" + (fs::exists(input) ? input.string() : "/dev/null") + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    const int status = pclose(pipe);
    const std::string exitLine =
        "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    const fs::path stored = base.string() + ".txt";
    if (rig::Regenerating()) {
        std::ofstream(base.string() + ".args", std::ios::binary) << args[0] << "\n"
                                                                 << exitLine << "\n";
        std::ofstream(stored, std::ios::binary) << output;
        return;
    }
    EXPECT_EQ(exitLine, args[1]);
    const std::string expected = Masked(rig::ReadFile(stored)), actual = Masked(output);
    EXPECT_TRUE(expected == actual)
        << "kelvo-sim " << args[0] << " no longer gives " << stored.string() << ":\n"
        << rig::FirstDifference(expected, actual)
        << "If the change is meant, regenerate the timelines with ./run golden and review the "
           "diff.";
}

INSTANTIATE_TEST_SUITE_P(Timelines, Golden, testing::ValuesIn(Names()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
