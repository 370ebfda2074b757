// kelvo_substitute_hid_install: installs, removes and lists the substitute HID devices, with the
// driver package (kelvo_substitute_hid.inf and .sys) from beside this program.
//
//   kelvo_substitute_hid_install ensure          the default set, installed again from scratch
//                                                when the driver image differs from the one
//                                                installed; then waits for every interface
//   kelvo_substitute_hid_install add KIND...     touch-legacy touch-v1 touch-v2 buttons control
//   kelvo_substitute_hid_install remove KIND...
//   kelvo_substitute_hid_install remove-all      every substitute device, and stops the driver
//   kelvo_substitute_hid_install list            the substitute HID interfaces present
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "platform/owner.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"
#include "substitute_hid_control.h"

namespace {

using platform::win32::UniqueHandle;
using substitute_hid::Kind;
using Clock = std::chrono::steady_clock;

// Where the prefix (or machine) remembers which driver image its devices run.
constexpr wchar_t kStateKey[] = L"SOFTWARE\\Kelvo\\SubstituteHid";
constexpr wchar_t kHashValue[] = L"DriverHash";

const Clock::time_point g_start = Clock::now();

double Seconds() { return std::chrono::duration<double>(Clock::now() - g_start).count(); }

using RegistryKey = platform::Owner<platform::NullCloser<HKEY, &::RegCloseKey>>;

// FNV-1a over the file's bytes, as 16 hex digits; empty when it cannot be read.
std::wstring HashOf(const std::wstring& path) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    if (!file) return {};
    unsigned long long hash = 14695981039346656037ull;
    BYTE buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
        for (DWORD i = 0; i < read; ++i) hash = (hash ^ buffer[i]) * 1099511628211ull;
    }
    wchar_t text[17];
    std::swprintf(text, std::size(text), L"%016llx", hash);
    return text;
}

std::wstring StoredHash() {
    wchar_t text[64] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kStateKey, kHashValue, RRF_RT_REG_SZ, nullptr, text,
                       &size) != ERROR_SUCCESS) {
        return {};
    }
    return text;
}

bool StoreHash(const std::wstring& hash) {
    RegistryKey key;
    return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                             key.Receive(), nullptr) == ERROR_SUCCESS &&
           ::RegSetValueExW(
               key.get(), kHashValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(hash.c_str()),
               static_cast<DWORD>((hash.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool DeleteHash() {
    const LSTATUS status = ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kStateKey, kHashValue);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

std::optional<Kind> ParseKind(const wchar_t* name) {
    static const struct {
        const wchar_t* name;
        Kind kind;
    } kKinds[] = {{L"touch-legacy", Kind::TouchLegacy},
                  {L"touch-v1", Kind::TouchV1},
                  {L"touch-v2", Kind::TouchV2},
                  {L"buttons", Kind::Buttons},
                  {L"control", Kind::Control}};
    for (const auto& entry : kKinds) {
        if (std::wcscmp(entry.name, name) == 0) return entry.kind;
    }
    return std::nullopt;
}

int Fail(const char* what) {
    std::fprintf(stderr, "substitute_hid: %s failed (error %lu) after %.2f s\n", what,
                 ::GetLastError(), Seconds());
    return 1;
}

int Ensure(const std::wstring& package) {
    const std::wstring hash = HashOf(package + L"\\kelvo_substitute_hid.sys");
    if (hash.empty()) return Fail("reading the driver image");
    const std::vector<Kind> kinds = substitute_hid::DefaultKinds();
    if (StoredHash() != hash) {
        // A new image: the old one must be unloaded before the installation replaces its file.
        if (!DeleteHash() || !substitute_hid::RemoveAll()) return Fail("removing the devices");
        std::printf("substitute_hid: driver %ls new; old devices removed at %.2f s\n", hash.c_str(),
                    Seconds());
    }
    if (!substitute_hid::Install(kinds, package)) return Fail("installing the devices");
    std::printf("substitute_hid: installed at %.2f s\n", Seconds());
    const std::vector<substitute_hid::ExpectedInterface> expected =
        substitute_hid::ExpectedInterfaces(kinds);
    if (!substitute_hid::WaitForInterfaces(expected, true, std::chrono::seconds(30))) {
        // Half-installed devices from an interrupted run: once more from scratch.
        std::printf("substitute_hid: devices incomplete at %.2f s; installing again\n", Seconds());
        if (!DeleteHash() || !substitute_hid::RemoveAll()) return Fail("removing the devices");
        if (!substitute_hid::Add(kinds, package)) return Fail("installing the devices");
    }
    if (!StoreHash(hash)) return Fail("storing the driver's hash");
    std::printf("substitute_hid: default devices present at %.2f s\n", Seconds());
    return 0;
}

int List() {
    for (const substitute_hid::Interface& found : substitute_hid::PresentInterfaces()) {
        std::printf("%-14s %04X:%04X v%04X page %04X usage %04X in %u out %u feature %u  %ls\n",
                    found.name.c_str(), found.vendorId, found.productId, found.versionNumber,
                    found.usagePage, found.usage, found.inputLength, found.outputLength,
                    found.featureLength, found.path.c_str());
    }
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: kelvo_substitute_hid_install ensure | add KIND... | remove KIND... | "
                 "remove-all | list\n  KIND: touch-legacy touch-v1 touch-v2 buttons control, or "
                 "one button device: button-0 button-1 button-2\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    const std::wstring package = substitute_hid::ExecutableDirectory();
    if (command == L"ensure" && argc == 2) return Ensure(package);
    if (command == L"list" && argc == 2) return List();
    if (command == L"remove-all" && argc == 2) {
        if (!DeleteHash() || !substitute_hid::RemoveAll()) return Fail("removing the devices");
        std::printf("substitute_hid: removed at %.2f s\n", Seconds());
        return 0;
    }
    if ((command == L"add" || command == L"remove") && argc > 2) {
        const bool add = command == L"add";
        for (int i = 2; i < argc; ++i) {
            // A kind, or one device by its name (button-1).
            bool done = false;
            if (const std::optional<Kind> kind = ParseKind(argv[i])) {
                const Kind kinds[] = {*kind};
                done = add ? substitute_hid::Add(kinds, package) : substitute_hid::Remove(kinds);
            } else {
                const std::string name(argv[i], argv[i] + std::wcslen(argv[i]));
                done = add ? substitute_hid::Add(name, package) : substitute_hid::Remove(name);
                if (!done && ::GetLastError() == ERROR_NOT_FOUND) return Usage();
            }
            if (!done) return Fail(add ? "adding" : "removing");
        }
        std::printf("substitute_hid: done at %.2f s\n", Seconds());
        return 0;
    }
    return Usage();
}
