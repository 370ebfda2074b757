#include "platform/sim/reg_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "platform/sim/utf8.h"

using platform::sim::LoadRegFile;
using platform::sim::LoadRegText;
using platform::sim::RegKeySnapshot;
using platform::sim::RegValue;
using platform::sim::SaveRegFile;
using platform::sim::SaveRegText;
using platform::sim::SimRegistry;
using platform::sim::SimWorld;

namespace {

// Test texts are written as wide literals (code points on this host) and encoded as a file.
std::string Utf8(std::wstring_view text, bool bom = false) {
    return (bom ? "\xEF\xBB\xBF" : "") + platform::sim::ToUtf8(text);
}

std::string Utf16(std::wstring_view text) {
    std::string out = "\xFF\xFE";
    auto unit = [&out](char32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (wchar_t wc : text) {
        const auto c = static_cast<char32_t>(wc);
        if (c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

std::wstring Crlf(std::wstring_view text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\n') out += L'\r';
        out += c;
    }
    return out;
}

std::vector<BYTE> Bytes(std::initializer_list<int> bytes) {
    std::vector<BYTE> out;
    for (int b : bytes) out.push_back(static_cast<BYTE>(b));
    return out;
}

// String data as the registry keeps it: this host's wchar_t units.
std::vector<BYTE> Wide(std::wstring_view text) {
    std::vector<BYTE> out(text.size() * sizeof(wchar_t));
    std::memcpy(out.data(), text.data(), out.size());
    return out;
}

// A file name of this process's own, as test programs of several build trees may run at once.
std::filesystem::path ScratchFile(const char* name) {
    return std::filesystem::temp_directory_path() /
           ("kelvo-" + std::to_string(::getpid()) + "-" + name + ".reg");
}

class RegFile : public ::testing::Test {
protected:
    std::optional<RegValue> Get(HKEY root, std::wstring_view path, std::wstring_view name) {
        return registry.GetValue(root, path, name);
    }
    std::vector<std::wstring> SubkeyNames(HKEY root, std::wstring_view path) {
        std::vector<std::wstring> names;
        if (auto key = registry.Snapshot(root, path)) {
            for (const auto& sub : key->subkeys) names.push_back(sub.name);
        }
        return names;
    }

    SimWorld world;
    SimRegistry registry{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
};

constexpr const wchar_t* kEveryKind =
    L"Windows Registry Editor Version 5.00\n"
    L"\n"
    L"; configuration of the frame\n"
    L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Nolt\\AMB]\n"
    L"@=\"default\"\n"
    L"\"MonitorSettings\"=dword:0000000A\n"
    L"\"Path\"=\"C:\\\\Program Files\\\\\\\"Kelvo\\\" caf\u00e9\"\n"
    L"  \"Blob\"=hex:00,ff,10,\\\n"
    L"    7f , 80 ; trailing comment\n"
    L"\"Expand\"=hex(2):25,00,53,00,52,00,25,00,00,00\n"
    L"\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n"
    L"\"Quad\"=hex(b):01,02,03,04,05,06,07,08\n"
    L"\"None\"=hex(0):\n"
    L"\"Odd\"=HEX(4):01,02\n"
    L"\"Empty\"=\"\"\n"
    L"\n"
    L"[HKEY_CURRENT_USER\\Software\\KelvoTest\\Empty]\n"
    L"[HKEY_CLASSES_ROOT\\AppID\\{45A1373F-67AC-419B-964A-9478A683A046}]\n"
    L"\"AppID\"=\"{45A1373F-67AC-419B-964A-9478A683A046}\"\n";

void ExpectEveryKind(SimRegistry& registry) {
    const wchar_t* amb = L"SOFTWARE\\Corvane\\Nolt\\AMB";
    auto key = registry.Snapshot(HKEY_LOCAL_MACHINE, amb);
    ASSERT_TRUE(key);
    const std::vector<RegValue> expected = {
        {L"", REG_SZ, Wide(std::wstring_view(L"default\0", 8))},
        {L"MonitorSettings", REG_DWORD, Bytes({10, 0, 0, 0})},
        {L"Path", REG_SZ, Wide(std::wstring_view(L"C:\\Program Files\\\"Kelvo\" caf\u00e9\0", 30))},
        {L"Blob", REG_BINARY, Bytes({0x00, 0xff, 0x10, 0x7f, 0x80})},
        {L"Expand", REG_EXPAND_SZ, Wide(std::wstring_view(L"%SR%\0", 5))},
        {L"Multi", REG_MULTI_SZ, Wide(std::wstring_view(L"a\0bc\0\0", 6))},
        {L"Quad", 11, Bytes({1, 2, 3, 4, 5, 6, 7, 8})},
        {L"None", REG_NONE, {}},
        {L"Odd", REG_DWORD, Bytes({1, 2})},
        {L"Empty", REG_SZ, Wide(std::wstring_view(L"\0", 1))},
    };
    EXPECT_EQ(key->values, expected);
    EXPECT_TRUE(registry.KeyExists(HKEY_CURRENT_USER, L"Software\\KelvoTest\\Empty"));
    auto appId = registry.GetValue(HKEY_CLASSES_ROOT,
                                   L"AppID\\{45A1373F-67AC-419B-964A-9478A683A046}", L"AppID");
    ASSERT_TRUE(appId);
    EXPECT_EQ(appId->data,
              Wide(std::wstring_view(L"{45A1373F-67AC-419B-964A-9478A683A046}\0", 39)));
}

TEST_F(RegFile, LoadsEveryValueKindInEveryEncoding) {
    const struct {
        const char* label;
        std::string bytes;
    } encodings[] = {
        {"utf-16 crlf", Utf16(Crlf(kEveryKind))},
        {"utf-16 lf", Utf16(kEveryKind)},
        {"utf-8 bom crlf", Utf8(Crlf(kEveryKind), true)},
        {"utf-8 lf", Utf8(kEveryKind)},
    };
    for (const auto& e : encodings) {
        SCOPED_TRACE(e.label);
        SimRegistry fresh(world.GetScheduler(), world.GetFaults(), world.GetKernel());
        auto error = LoadRegText(fresh, e.bytes);
        EXPECT_FALSE(error) << error->Text();
        ExpectEveryKind(fresh);
    }
}

TEST_F(RegFile, Regedit4HexStringsAreNarrow) {
    const std::wstring text =
        L"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\n"
        L"\"Expand\"=hex(2):25,53,52,25,00\n"
        L"\"Wide\"=hex(2):63,61,66,c3,a9,00\n"
        L"\"Binary\"=hex:c3,a9\n"
        L"\"Count\"=dword:ffffffff\n";
    auto error = LoadRegText(registry, Utf8(Crlf(text)));
    ASSERT_FALSE(error) << error->Text();
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane", L"Expand")->data,
              Wide(std::wstring_view(L"%SR%\0", 5)));
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane", L"Wide")->data,
              Wide(std::wstring_view(L"caf\u00e9\0", 5)));
    EXPECT_EQ(Get(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane", L"Binary")->data, Bytes({0xc3, 0xa9}));
    EXPECT_EQ(registry.GetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane", L"Count"), 0xffffffffu);
}

TEST_F(RegFile, DeletionsApplyInFileOrder) {
    registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", L"Mode", 1);
    registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display", L"Mode", 1);
    registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB", L"Keep", 1);
    registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB", L"Drop", 1);
    registry.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB", L"", L"x");
    const std::wstring text =
        L"Windows Registry Editor Version 5.00\n\n"
        L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Nolt\\AMB\\Touch]\n\n"
        L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Nolt\\AMB\\Display]\n"
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Nolt\\AMB\\Display]\n"
        L"\"Fresh\"=dword:00000002\n"
        L"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing\\Key]\n"
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Nolt\\AMB]\n"
        L"\"drop\"=-\n"
        L"@=-\n"
        L"\"NeverThere\"=-\n";
    auto error = LoadRegText(registry, Utf16(text));
    ASSERT_FALSE(error) << error->Text();
    const wchar_t* amb = L"SOFTWARE\\Corvane\\Nolt\\AMB";
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE, amb), std::vector<std::wstring>{L"Display"});
    EXPECT_FALSE(Get(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display", L"Mode"));
    EXPECT_EQ(
        registry.GetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display", L"Fresh"),
        2u);
    auto key = registry.Snapshot(HKEY_LOCAL_MACHINE, amb);
    ASSERT_EQ(key->values.size(), 1u);
    EXPECT_EQ(key->values[0].name, L"Keep");
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Missing"));
}

struct Malformed {
    const char* label;
    std::wstring text;  // after the header line
    const char* error;
};

const Malformed kMalformed[] = {
    {"short dword", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=dword:123\n",
     "line 3: expected 8 hex digits after dword:"},
    {"dword with a bad digit", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=dword:0000000g\n",
     "line 3: expected 8 hex digits after dword:"},
    {"long dword", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=dword:000000001\n",
     "line 3: unexpected text after the value"},
    {"odd hex digit", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:01,2\n",
     "line 3: expected a byte as two hex digits"},
    {"hex without comma", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:01 02\n",
     "line 3: expected ',' between bytes"},
    {"bad byte on a continued line", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:01,\\\n  02,zz\n",
     "line 4: expected a byte as two hex digits"},
    {"continued past the end", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:01,\\",
     "line 3: the file ends after '\\'"},
    {"text after the continuation", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:01,\\x\n",
     "line 3: unexpected text after '\\'"},
    {"hex type not closed", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex(2:00\n",
     "line 3: expected hex(type): with the type in hex digits"},
    {"hex type empty", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex():00\n",
     "line 3: expected hex(type): with the type in hex digits"},
    {"hex without colon", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex 00\n",
     "line 3: expected ':' after hex"},
    {"unknown data", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=qword:1\n",
     "line 3: expected a string, dword:, hex: or - after '='"},
    {"missing equals", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\" dword:00000001\n",
     "line 3: expected '=' after the value name"},
    {"unterminated name", L"[HKEY_LOCAL_MACHINE\\S]\n\"a=dword:00000001\n",
     "line 3: unterminated value name"},
    {"unterminated string", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"text\n",
     "line 3: unterminated string"},
    {"unknown escape", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"C:\\Temp\"\n",
     "line 3: expected \\\\ or \\\" after \\"},
    {"text after a string", L"[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"x\" y\n",
     "line 3: unexpected text after the value"},
    {"value before any key", L"\"a\"=dword:00000001\n", "line 2: value outside of a key"},
    {"value under a deleted key", L"[-HKEY_LOCAL_MACHINE\\S]\n\"a\"=dword:00000001\n",
     "line 3: value under a key being deleted"},
    {"stray text", L"[HKEY_LOCAL_MACHINE\\S]\nMode=1\n",
     "line 3: expected a key in [brackets] or a value"},
    {"key not closed", L"[HKEY_LOCAL_MACHINE\\S\n", "line 2: expected ']' at the end of the key"},
    {"text after a key", L"[HKEY_LOCAL_MACHINE\\S] x\n", "line 2: unexpected text after ']'"},
    {"short root name", L"[HKLM\\S]\n", "line 2: unknown root key \"HKLM\""},
    {"other root", L"[HKEY_USERS\\S]\n", "line 2: unknown root key \"HKEY_USERS\""},
    {"empty key name", L"[HKEY_LOCAL_MACHINE\\S\\\\T]\n", "line 2: empty key name in the path"},
    {"root deletion", L"[-HKEY_CURRENT_USER]\n", "line 2: cannot delete a root key"},
    {"long key name", L"[HKEY_LOCAL_MACHINE\\" + std::wstring(256, L'k') + L"]\n",
     "line 2: key name longer than 255 characters"},
    {"an error after good lines",
     L"[HKEY_LOCAL_MACHINE\\S]\n\"good\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\T]\n\"a\"=hex:0\n",
     "line 6: expected a byte as two hex digits"},
};

TEST_F(RegFile, MalformedFilesNameTheLineAndLoadNothing) {
    registry.SetDword(HKEY_LOCAL_MACHINE, L"S", L"a", 7);
    const auto before = registry.Snapshot(HKEY_LOCAL_MACHINE, L"");
    for (const Malformed& m : kMalformed) {
        SCOPED_TRACE(m.label);
        const std::wstring text = L"Windows Registry Editor Version 5.00\n" + m.text;
        for (const std::string& bytes : {Utf16(Crlf(text)), Utf8(text)}) {
            auto error = LoadRegText(registry, bytes);
            ASSERT_TRUE(error);
            EXPECT_EQ(error->Text(), m.error);
            const auto after = registry.Snapshot(HKEY_LOCAL_MACHINE, L"");
            EXPECT_EQ(after->values, before->values);
            ASSERT_EQ(after->subkeys.size(), 1u);
            EXPECT_EQ(after->subkeys[0].values, before->subkeys[0].values);
            EXPECT_TRUE(after->subkeys[0].subkeys.empty());
        }
    }
}

TEST_F(RegFile, FilesThatAreNotRegistryTextAreRefused) {
    std::wstring deep = L"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE";
    for (std::size_t i = 0; i <= SimRegistry::kMaxDepth; ++i) deep += L"\\k";
    deep += L"]\n";
    const struct {
        const char* label;
        std::string bytes;
        const char* error;
    } cases[] = {
        {"empty", "", "line 1: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
        {"other header", Utf8(L"Windows Registry Editor Version 4.00\n"),
         "line 1: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
        {"utf-16 without a byte order mark", Utf16(L"REGEDIT4\n").substr(2),
         "line 1: NUL character in the text"},
        {"big-endian", std::string("\xFE\xFF\0R", 4), "UTF-16 big-endian files are not supported"},
        {"odd utf-16", Utf16(L"REGEDIT4\n\n") + "x",
         "line 3: incomplete UTF-16 character at the "
         "end of the file"},
        {"bad utf-8", "REGEDIT4\n\n\"\xC3(\"", "line 3: invalid UTF-8"},
        {"overlong utf-8", "REGEDIT4\n\xC0\xAF", "line 2: invalid UTF-8"},
        {"utf-8 surrogate", "REGEDIT4\n\xED\xA0\x80", "line 2: invalid UTF-8"},
        {"narrow hex string not utf-8",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex(2):ff,\\\n  00\n",
         "line 3: string data is not valid UTF-8"},
        {"too deep", Utf8(deep), "line 2: key path deeper than 512 keys"},
        {"too large", "REGEDIT4\n" + std::string(platform::sim::kMaxRegFileSize, ';'),
         "the file is larger than 16 MiB"},
    };
    for (const auto& c : cases) {
        auto error = LoadRegText(registry, c.bytes);
        ASSERT_TRUE(error) << c.label;
        EXPECT_EQ(error->Text(), c.error) << c.label;
    }
    EXPECT_TRUE(registry.Snapshot(HKEY_LOCAL_MACHINE, L"")->subkeys.empty());
}

TEST_F(RegFile, SavesInTheRegistryEditorsFormat) {
    const wchar_t* path = L"SOFTWARE\\Corvane";
    registry.SetDword(HKEY_LOCAL_MACHINE, path, L"Mode", 0x1f);
    registry.SetString(HKEY_LOCAL_MACHINE, path, L"", L"a \"quoted\" \\ text");
    std::vector<BYTE> blob;
    for (int i = 0; i < 50; ++i) blob.push_back(static_cast<BYTE>(i));
    registry.SetValue(HKEY_LOCAL_MACHINE, path, L"Blob", REG_BINARY, blob);
    registry.SetString(HKEY_LOCAL_MACHINE, path, L"Lines", L"one\r\ntwo");
    registry.SetString(HKEY_LOCAL_MACHINE, path, L"Exp", L"%A%", REG_EXPAND_SZ);
    registry.SetValue(HKEY_LOCAL_MACHINE, path, L"Q", 11, Bytes({1, 0, 0, 0, 0, 0, 0, 0}));
    registry.SetValue(HKEY_LOCAL_MACHINE, path, L"Short", REG_DWORD, Bytes({5}));
    registry.CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\zeta");
    registry.CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Alpha\\Inner");
    const std::wstring expected =
        L"Windows Registry Editor Version 5.00\r\n"
        L"\r\n"
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane]\r\n"
        L"\"Mode\"=dword:0000001f\r\n"
        L"@=\"a \\\"quoted\\\" \\\\ text\"\r\n"
        L"\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        L"  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
        L"  2f,30,31\r\n"
        L"\"Lines\"=hex(1):6f,00,6e,00,65,00,0d,00,0a,00,74,00,77,00,6f,00,00,00\r\n"
        L"\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
        L"\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        L"\"Short\"=hex(4):05\r\n"
        L"\r\n"
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Alpha]\r\n"
        L"\r\n"
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Alpha\\Inner]\r\n"
        L"\r\n"
        L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\zeta]\r\n"
        L"\r\n";
    // Asked for under another spelling, the file keeps the registry's.
    EXPECT_EQ(SaveRegText(registry, HKEY_LOCAL_MACHINE, L"software\\CORVANE"), Utf16(expected));
    EXPECT_FALSE(SaveRegText(registry, HKEY_LOCAL_MACHINE, L"SOFTWARE\\Missing"));
}

TEST_F(RegFile, SavedFilesLoadBackToTheSameTree) {
    auto error = LoadRegText(registry, Utf8(kEveryKind));
    ASSERT_FALSE(error) << error->Text();
    // A lone surrogate and a stray byte past the last whole character.
    std::wstring lone = L"A";
    lone += static_cast<wchar_t>(0xD800);
    std::vector<BYTE> odd = Wide(lone);
    odd.push_back(0x42);
    registry.SetValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Strange", L"Odd",
                      REG_MULTI_SZ, odd);
    registry.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Strange",
                       L"Emoji \"\\\"", L"\U0001F600");
    const auto file = ScratchFile("round-trip");
    std::string message;
    ASSERT_TRUE(SaveRegFile(registry, HKEY_LOCAL_MACHINE, L"SOFTWARE", file, &message)) << message;

    SimRegistry loaded(world.GetScheduler(), world.GetFaults(), world.GetKernel());
    ASSERT_TRUE(LoadRegFile(loaded, file, &message)) << message;
    std::filesystem::remove(file);
    const wchar_t* amb = L"SOFTWARE\\Corvane\\Nolt\\AMB";
    EXPECT_EQ(loaded.Snapshot(HKEY_LOCAL_MACHINE, amb)->values,
              registry.Snapshot(HKEY_LOCAL_MACHINE, amb)->values);
    // Compared through a second save: the same text means the same names, types, data, order.
    EXPECT_EQ(SaveRegText(loaded, HKEY_LOCAL_MACHINE, L"SOFTWARE"),
              SaveRegText(registry, HKEY_LOCAL_MACHINE, L"SOFTWARE"));
    auto strange = loaded.Snapshot(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Strange");
    ASSERT_TRUE(strange);
    ASSERT_EQ(strange->values.size(), 2u);
    EXPECT_EQ(strange->values[0].data, odd);
    EXPECT_EQ(strange->values[1].name, L"Emoji \"\\\"");
    EXPECT_EQ(strange->values[1].data, Wide(std::wstring_view(L"\U0001F600\0", 2)));
    EXPECT_FALSE(LoadRegFile(loaded, file, &message));
    EXPECT_NE(message.find("cannot read"), std::string::npos) << message;
}

TEST_F(RegFile, WhatAFileCannotHoldIsNotSaved) {
    const struct {
        const char* label;
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {"line break in a name", L"two\nlines", REG_DWORD, Bytes({1, 0, 0, 0})},
        {"NUL in a name", std::wstring(L"a\0b", 3), REG_DWORD, Bytes({1, 0, 0, 0})},
        {"no such character", L"v", REG_SZ, Bytes({0, 0, 0x11, 0, 0, 0, 0, 0})},
        {"a pair split in two", L"v", REG_EXPAND_SZ,
         Wide(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)})},
    };
    const auto file = ScratchFile("never");
    for (const auto& c : cases) {
        SimRegistry fresh(world.GetScheduler(), world.GetFaults(), world.GetKernel());
        fresh.SetValue(HKEY_CURRENT_USER, L"Software", c.name, c.type, c.data);
        EXPECT_FALSE(SaveRegText(fresh, HKEY_CURRENT_USER, L"Software")) << c.label;
        std::string message;
        EXPECT_FALSE(SaveRegFile(fresh, HKEY_CURRENT_USER, L"Software", file, &message)) << c.label;
        EXPECT_EQ(message, "no key to save, or a name or value that a .reg file cannot hold");
    }
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(RegFile, EveryCutOfAGoodFileLoadsOrFailsCleanly) {
    // Any prefix of a file, and any single byte changed, must give a result and never a crash.
    const std::string whole = Utf16(Crlf(kEveryKind));
    std::size_t loadedCount = 0;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        SimRegistry fresh(world.GetScheduler(), world.GetFaults(), world.GetKernel());
        if (!LoadRegText(fresh, std::string_view(whole).substr(0, length))) ++loadedCount;
    }
    EXPECT_GT(loadedCount, 0u);
    std::uint32_t seed = 12345;
    const std::string utf8 = Utf8(kEveryKind);
    for (int round = 0; round < 2000; ++round) {
        seed = seed * 1664525u + 1013904223u;
        std::string bytes = utf8;
        bytes[(seed >> 8) % bytes.size()] = static_cast<char>(seed >> 24);
        SimRegistry fresh(world.GetScheduler(), world.GetFaults(), world.GetKernel());
        if (auto error = LoadRegText(fresh, bytes)) {
            EXPECT_GE(error->line, 0);
            EXPECT_TRUE(fresh.Snapshot(HKEY_LOCAL_MACHINE, L"")->subkeys.empty());
        }
    }
}

}  // namespace
