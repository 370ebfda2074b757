// The README's picture, examples/default.svg: still what kelvo-sim draws of the built-in
// scenario, byte for byte, and a picture an SVG renderer takes (rsvg-convert, from Debian's
// librsvg2-bin, which ./run installs). KELVO_REGENERATE_GOLDEN=1 (./run golden) draws it anew.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "rig/golden.h"

namespace {

namespace fs = std::filesystem;
const fs::path kPicture = fs::path(KELVO_SOURCE_DIR) / "examples/default.svg";
constexpr const char* kRemake = "./run demo run --svg examples/default.svg";

// The exit code of a shell command; -1 when it did not exit.
int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

fs::path Scratch(const std::string& name) {
    return fs::temp_directory_path() / ("kelvo-picture-" + std::to_string(getpid()) + "-" + name);
}

TEST(Picture, ExampleIsTheDefaultScenarioDrawnNow) {
    const fs::path fresh = Scratch("default.svg");
    ASSERT_EQ(Shell("timeout 300 " KELVO_SIM " run --svg " + fresh.string() + " >/dev/null"), 0);
    const std::string drawn = rig::ReadFile(fresh);
    fs::remove(fresh);
    ASSERT_FALSE(drawn.empty());
    if (rig::Regenerating()) std::ofstream(kPicture, std::ios::binary) << drawn;
    EXPECT_TRUE(rig::ReadFile(kPicture) == drawn)
        << kPicture.string() << " is no longer the picture of the default scenario:\n"
        << rig::FirstDifference(rig::ReadFile(kPicture), drawn) << "Draw it anew with: " << kRemake;
}

TEST(Picture, ExampleRenders) {
    ASSERT_EQ(Shell("command -v rsvg-convert >/dev/null"), 0)
        << "rsvg-convert is missing: install the Debian package librsvg2-bin (./run test "
           "installs it)";
    const fs::path png = Scratch("default.png");
    EXPECT_EQ(Shell("rsvg-convert -o " + png.string() + " " + kPicture.string()), 0);
    std::string head(8, '\0');
    std::ifstream(png, std::ios::binary).read(head.data(), 8);
    const auto size = fs::exists(png) ? fs::file_size(png) : 0;
    fs::remove(png);
    EXPECT_EQ(head, "\x89PNG\r\n\x1a\n");
    EXPECT_GT(size, 0u);
}

}  // namespace
