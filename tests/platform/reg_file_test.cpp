// .reg files in, registries out: the cases of reg_file_cases.txt in every encoding a file may come
// in, and the byte-level faults that only code can write.
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

// One case: its files, loaded in turn, and what the last one gives: "error: ..." or the dump.
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

TEST_P(RegFileCase, LoadsTheSameInEveryEncodingOrNamesTheLineAndLoadsNothing) {
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
        const auto error = LoadRegText(registry, encode(c.files.back()));
        if (error) {
            EXPECT_EQ("error: " + error->Text() + "\n", c.expected);
            EXPECT_EQ(Dump(registry), before);
            continue;
        }
        EXPECT_EQ(Dump(registry), c.expected);
        // Saved and loaded into a fresh registry, it comes back the same.
        SimRegistry again(world.GetScheduler(), world.GetFaults(), world.GetKernel());
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
            ASSERT_FALSE(LoadRegText(again, *platform::sim::SaveRegText(registry, root, L"")));
        }
        EXPECT_EQ(Dump(again), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RegFileCase, testing::ValuesIn(Cases()), [](const auto& info) {
    std::string name;
    for (const char c : info.param.label)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

TEST(RegFile, BytesThatAreNoRegistryTextAreRefused) {
    std::string deep = "REGEDIT4\n[HKEY_LOCAL_MACHINE";
    for (std::size_t i = 0; i <= SimRegistry::kMaxDepth; ++i) deep += "\\k";
    const struct {
        std::string bytes;
        const char* error;
    } cases[] = {
        {"", "line 1: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
        {Utf16("REGEDIT4\n").substr(2), "line 1: NUL character in the text"},
        {std::string("\xFE\xFF\0R", 4), "UTF-16 big-endian files are not supported"},
        {Utf16("REGEDIT4\n\n") + "x", "line 3: incomplete UTF-16 character at the end of the file"},
        {"REGEDIT4\n\n\"\xC3(\"", "line 3: invalid UTF-8"},
        {"REGEDIT4\n\xC0\xAF", "line 2: invalid UTF-8"},
        {"REGEDIT4\n\xED\xA0\x80", "line 2: invalid UTF-8"},
        {deep + "]\n", "line 2: key path deeper than 512 keys"},
        {"REGEDIT4\n" + std::string(platform::sim::kMaxRegFileSize, ';'),
         "the file is larger than 16 MiB"},
    };
    for (const auto& c : cases) {
        platform::sim::SimWorld world;
        const auto error = LoadRegText(world.GetRegistry(), c.bytes);
        ASSERT_TRUE(error) << c.error;
        EXPECT_EQ(error->Text(), c.error);
    }
    std::string message;
    platform::sim::SimWorld world;
    EXPECT_FALSE(platform::sim::LoadRegFile(world.GetRegistry(), "/nonexistent/x.reg", &message));
    EXPECT_TRUE(message.starts_with("cannot read /nonexistent/x.reg")) << message;
}

}  // namespace
