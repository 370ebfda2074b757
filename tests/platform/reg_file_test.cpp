// .reg files in, registries out: the cases of reg_file_cases.txt in every encoding a file may come
// in, and the byte-level cases that only code can write.
#include "platform/sim/reg_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "platform/sim/utf8.h"

namespace {

using platform::sim::LoadRegText;
using platform::sim::SimRegistry;

std::u32string Decode(std::string_view utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        char32_t c = more == 0 ? lead : lead & (0x3F >> more);
        for (int k = 1; k <= more; ++k) c = (c << 6) | (utf8[i + k] & 0x3F);
        out += c;
        i += more + 1;
    }
    return out;
}

std::string Utf16(std::string_view utf8) {
    std::string out = "\xFF\xFE";
    const auto unit = [&out](char32_t u) { out += {char(u & 0xFF), char(u >> 8)}; };
    for (const char32_t c : Decode(utf8)) {
        if (c < 0x10000)
            unit(c);
        else
            unit(0xD800 + ((c - 0x10000) >> 10)), unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
    return out;
}

std::string Crlf(std::string_view text) {
    std::string out;
    for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

// What the registry holds, root by root, as the saved files give it without their first line.
std::string Dump(SimRegistry& registry) {
    std::string text;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
        const auto key = registry.Snapshot(root, L"");
        if (key->values.empty() && key->subkeys.empty()) continue;
        const std::string saved = *platform::sim::SaveRegText(registry, root, L"");
        std::wstring wide;
        for (std::size_t i = 2; i + 1 < saved.size(); i += 2) {
            const wchar_t u = static_cast<unsigned char>(saved[i]) |
                              static_cast<unsigned char>(saved[i + 1]) << 8;
            if (u != L'\r') wide += u;
        }
        text += platform::sim::ToUtf8(wide).substr(
            std::string("Windows Registry Editor Version 5.00\n\n").size());
    }
    while (text.ends_with("\n\n")) text.pop_back();
    return text;
}

// What loading gives: "error: " and the message of a refused file, or the lines skipped (if any)
// and what the registry then holds.
std::string Load(SimRegistry& registry, std::string_view bytes) {
    std::vector<platform::sim::RegFileError> skipped;
    if (const auto error = LoadRegText(registry, bytes, &skipped)) {
        return "error: " + error->Text() + "\n";
    }
    std::string text;
    if (!skipped.empty()) {
        text = "skipped lines:";
        for (const auto& line : skipped) text += " " + std::to_string(line.line);
        text += "\n";
    }
    return text + Dump(registry);
}

// One case: its files, loaded in turn, and what the last one gives.
struct Case {
    std::string label;
    std::vector<std::string> files;
    std::string expected;
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.label; }

std::vector<Case> Cases() {
    std::ifstream in(KELVO_REG_FILE_CASES);
    std::vector<Case> cases;
    std::string* into = nullptr;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("=== ")) {
            cases.push_back({line.substr(4), {""}, ""});
            into = &cases.back().files.back();
        } else if (into && line == "+++") {
            cases.back().files.emplace_back();
            into = &cases.back().files.back();
        } else if (into && line == "---") {
            into = &cases.back().expected;
        } else if (into) {
            *into += line + "\n";
        }
    }
    const std::string cut = "\n<no line break>\n";
    for (Case& c : cases) {
        if (c.files.back().ends_with(cut))
            c.files.back().resize(c.files.back().size() - cut.size());
        while (c.expected.ends_with("\n\n")) c.expected.pop_back();
    }
    return cases;
}

class RegFileCase : public testing::TestWithParam<Case> {};

TEST_P(RegFileCase, LoadsTheSameInEveryEncodingSkippingWhatRegImportSkips) {
    const Case& c = GetParam();
    for (const auto& encode : {+[](std::string_view t) { return Utf16(Crlf(t)); },
                               +[](std::string_view t) { return Utf16(t); },
                               +[](std::string_view t) { return "\xEF\xBB\xBF" + Crlf(t); },
                               +[](std::string_view t) { return std::string(t); }}) {
        platform::sim::SimWorld world;
        SimRegistry& registry = world.GetRegistry();
        for (std::size_t n = 0; n + 1 < c.files.size(); ++n)
            ASSERT_FALSE(LoadRegText(registry, encode(c.files[n])));
        const std::string before = Dump(registry);
        const std::string outcome = Load(registry, encode(c.files.back()));
        EXPECT_EQ(outcome, c.expected);
        if (outcome.starts_with("error: ")) {
            EXPECT_EQ(Dump(registry), before);
            continue;
        }
        // Saved and loaded into a fresh registry, it comes back the same.
        SimRegistry again(world.GetScheduler(), world.GetFaults(), world.GetKernel());
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
            std::vector<platform::sim::RegFileError> skipped;
            ASSERT_FALSE(
                LoadRegText(again, *platform::sim::SaveRegText(registry, root, L""), &skipped));
            EXPECT_TRUE(skipped.empty());
        }
        EXPECT_EQ(Dump(again), Dump(registry));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RegFileCase, testing::ValuesIn(Cases()), [](const auto& info) {
    std::string name;
    for (const char c : info.param.label)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

TEST(RegFile, BytesOnlyCodeWrites) {
    std::string deep = "REGEDIT4\n[HKEY_LOCAL_MACHINE";
    for (std::size_t i = 0; i <= SimRegistry::kMaxDepth; ++i) deep += "\\k";
    const std::string kFile = "[HKEY_CURRENT_USER]\n\n[HKEY_CURRENT_USER\\T]\n";
    const std::string kNoHeader =
        "error: line 1: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"\n";
    const struct {
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"", kNoHeader},
        // Headers reg import refuses (Wine's reg import tests): case, version, place.
        {"regedit4\n[HKEY_CURRENT_USER\\T]\n", kNoHeader},
        {"WINDOWS REGISTRY EDITOR VERSION 5.00\n", kNoHeader},
        {"Windows Registry Editor Version 4.00\n", kNoHeader},
        {"\nREGEDIT4\n", kNoHeader},
        // UTF-16 without its byte order mark is refused (Wine's reg import tests).
        {Utf16("REGEDIT4\n").substr(2), "error: line 1: NUL character in the text\n"},
        {std::string("\xFE\xFF\0R", 4), "error: UTF-16 big-endian files are not supported\n"},
        {"REGEDIT4\n" + std::string(platform::sim::kMaxRegFileSize, ';'),
         "error: the file is larger than 16 MiB\n"},
        {deep + "]\n", "skipped lines: 2\n"},
        {Utf16("REGEDIT4\n[HKEY_CURRENT_USER\\T]\n") + "x", "skipped lines: 3\n" + kFile},
        // Bytes that are no UTF-8 are ANSI text (code page 1252).
        {"REGEDIT4\n[HKEY_CURRENT_USER\\T]\n\"caf\xE9\"=\"\x80\"\n\"x\"=hex(2):e9,00\n",
         kFile + "\"café\"=\"€\"\n\"x\"=hex(2):e9,00,00,00\n"},
    };
    for (const auto& c : cases) {
        platform::sim::SimWorld world;
        EXPECT_EQ(Load(world.GetRegistry(), c.bytes), c.expected) << c.expected;
    }
    // The first thousand lines skipped are named, one entry (line 0) counts the rest.
    std::string junk = "REGEDIT4\n", named = "skipped lines:";
    for (int line = 2; line <= 1003; ++line) junk += "x\n";
    for (int line = 2; line <= 1001; ++line) named += " " + std::to_string(line);
    std::vector<platform::sim::RegFileError> skipped;
    platform::sim::SimWorld junkWorld;
    EXPECT_EQ(Load(junkWorld.GetRegistry(), junk), named + " 0\n");
    ASSERT_FALSE(LoadRegText(junkWorld.GetRegistry(), junk, &skipped));
    EXPECT_EQ(skipped.back().Text(), "2 more lines");

    std::string message;
    platform::sim::SimWorld world;
    EXPECT_FALSE(platform::sim::LoadRegFile(world.GetRegistry(), "/nonexistent/x.reg", &message));
    EXPECT_TRUE(message.starts_with("cannot read /nonexistent/x.reg")) << message;
}

}  // namespace
