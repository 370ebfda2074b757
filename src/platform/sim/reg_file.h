// Registry files (.reg) as the Windows registry editor writes and reads them, for loading a
// simulated registry and saving it back.
//
// Loading accepts "Windows Registry Editor Version 5.00" and "REGEDIT4" files, in UTF-16LE with a
// byte order mark or in UTF-8 with or without one, with CRLF or LF line ends. It knows key
// sections under the full root names ([HKEY_LOCAL_MACHINE\...], [HKEY_CURRENT_USER\...],
// [HKEY_CLASSES_ROOT\...]), key deletion ([-...]), value deletion ("name"=-), the default value
// (@=), strings with \\ and \" escapes, dword:, hex: and hex(type): data continued over lines
// that end in '\', and ';' comments. A file is parsed completely before anything is applied: a
// malformed one is reported by line and loads nothing.
//
// Hex string data (hex(1), hex(2), hex(7)) is UTF-16LE in a Version 5.00 file and UTF-8 in a
// REGEDIT4 file; in the registry it becomes wchar_t units of this host (as SimRegistry keeps
// strings).
//
// Saving (for tests and tools that show a registry) writes a Version 5.00 file in UTF-16LE with a
// byte order mark and CRLF line ends: each key of the subtree in turn, values in the order the
// registry keeps them, hex data wrapped as the registry editor wraps it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/registry_sim.h"

namespace platform::sim {

struct RegFileError {
    int line = 0;  // 1-based; 0 for a fault of the file as a whole
    std::string message;

    // "line 7: expected 8 hex digits after dword:", or the bare message for line 0.
    std::string Text() const;
};

// Larger files are refused (unread, when they come from disk): what they would take in memory
// grows with their size, and registry files of this system are a few kilobytes.
constexpr std::size_t kMaxRegFileSize = 16u << 20;

// Parses the bytes of a .reg file and applies them to the registry; nothing on error.
std::optional<RegFileError> LoadRegText(SimRegistry& registry, std::string_view bytes);
// Reads and loads a file; on failure, returns false with error->Text() in *error (if given).
bool LoadRegFile(SimRegistry& registry, const std::filesystem::path& file, std::string* error);

// The bytes of a .reg file holding root\path and everything below it. None if the key is missing
// or something in it would not come back the same from a .reg file (a line break or NUL in a
// name, string data whose units are not characters).
std::optional<std::string> SaveRegText(SimRegistry& registry, HKEY root, std::wstring_view path);

}  // namespace platform::sim
