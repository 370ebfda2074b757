// Golden files: what a test produced, compared with what the repository keeps. With
// KELVO_REGENERATE_GOLDEN set (./run golden), the file is written from what was produced instead;
// the difference is then reviewed with git diff before it is committed.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace rig {

inline bool Regenerating() { return std::getenv("KELVO_REGENERATE_GOLDEN") != nullptr; }

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Where two texts part, with the three lines before it.
inline std::string FirstDifference(const std::string& expected, const std::string& actual) {
    const std::vector<std::string> want = SplitLines(expected), got = SplitLines(actual);
    std::size_t n = 0;
    while (n < want.size() && n < got.size() && want[n] == got[n]) ++n;
    std::ostringstream out;
    out << "@@ line " << n + 1 << " @@\n";
    for (std::size_t i = n > 3 ? n - 3 : 0; i < n; ++i) out << "  " << want[i] << "\n";
    if (n < want.size()) out << "- " << want[n] << "\n";
    if (n < got.size()) out << "+ " << got[n] << "\n";
    if (want.size() == got.size() && n == want.size()) out << "(the line ends differ)\n";
    return out.str();
}

// Whether actual is what the file at path holds; when regenerating, writes it there first.
inline testing::AssertionResult MatchesGolden(const std::filesystem::path& path, const std::string& actual) {
    if (Regenerating()) std::ofstream(path, std::ios::binary) << actual;
    const std::string expected = ReadFile(path);
    if (expected == actual) return testing::AssertionSuccess();
    return testing::AssertionFailure() << path.string() << " differs:\n"
                                       << FirstDifference(expected, actual)
                                       << "If the change is meant, ./run golden writes it anew.";
}

}  // namespace rig
