// Registry files (.reg) as the Windows registry editor writes and reads them, for loading a
// simulated registry and saving it back.
//
// Loading reads a file as reg import does. The first line is the header: "Windows Registry
// Editor Version 5.00" or "REGEDIT4" (another "REGEDIT..." header makes it a Windows 3.1 file of
// "HKEY_CLASSES_ROOT\path = value" lines); a file without one is refused as a whole. The text is
// UTF-16LE with a byte order mark, or UTF-8 (with or without one) or ANSI (code page 1252), with
// CRLF or LF line ends. Then each line is read on its own: key sections under the full root names
// ([HKEY_LOCAL_MACHINE\...], [HKEY_CURRENT_USER\...], [HKEY_CLASSES_ROOT\...]), key deletion
// ([-...]), value deletion ("name"=-), the default value (@=), strings with \\ and \" escapes,
// dword: with 1 to 8 hex digits, hex: and hex(type): data continued over lines that end in ',\',
// and ';' comments (and '#' ones at the start of a line). A line that does not read is skipped
// and named, and the rest of the file still loads, as reg import skips it; the values of a key
// that does not read are skipped with it.
//
// Hex string data (hex(1), hex(2), hex(7)) is UTF-16LE in a Version 5.00 file and narrow text
// (UTF-8 or ANSI, as the file) in a REGEDIT4 file; hex(2) and hex(7) data get a terminating NUL
// character if they lack one. In the registry it becomes wchar_t units of this host (as
// SimRegistry keeps strings).
//
// Saving (for tests and tools that show a registry) writes a Version 5.00 file in UTF-16LE with a
// byte order mark and CRLF line ends: each key of the subtree in turn, values in the order the
// registry keeps them, hex data wrapped as the registry editor wraps it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/registry_sim.h"

namespace platform::sim {

// A file refused as a whole, or one line of it skipped.
struct RegFileError {
    int line = 0;  // 1-based; 0 for a fault of the file as a whole
    std::string message;

    // "line 7: expected 1 to 8 hex digits after dword:", or the bare message for line 0.
    std::string Text() const;
};

// Larger files are refused (unread, when they come from disk): what they would take in memory
// grows with their size, and registry files of this system are a few kilobytes.
constexpr std::size_t kMaxRegFileSize = 16u << 20;

// Parses the bytes of a .reg file and applies what reads of them to the registry, in file order;
// the lines skipped go to *skipped (if given), in order (past the first thousand, one line-0 entry
// counts the rest). Nothing is applied to a refused file.
std::optional<RegFileError> LoadRegText(SimRegistry& registry, std::string_view bytes,
                                        std::vector<RegFileError>* skipped = nullptr);
// Reads and loads a file; on failure, returns false with error->Text() in *error (if given).
bool LoadRegFile(SimRegistry& registry, const std::filesystem::path& file, std::string* error,
                 std::vector<RegFileError>* skipped = nullptr);

// The bytes of a .reg file holding root\path and everything below it. None if the key is missing
// or something in it would not come back the same from a .reg file (a line break or NUL in a
// name, string data whose units are not characters).
std::optional<std::string> SaveRegText(SimRegistry& registry, HKEY root, std::wstring_view path);

}  // namespace platform::sim
