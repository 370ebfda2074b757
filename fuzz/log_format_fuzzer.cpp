// The log formatter with any format text and arguments of the kinds the system's formats pass:
// integers of every length, wide and narrow strings, characters and doubles, with any flags,
// widths and precisions. The arguments are laid out to match what the format asks for, as the
// documented conversions read them; the text always ends within the buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "fuzz_world.h"
#include "log/format.h"

namespace {

constexpr std::size_t kSlots = 12;   // integer-class arguments: integers and string pointers
constexpr std::size_t kDoubles = 8;  // doubles travel apart from them

enum class Kind { Integer, Wide, Narrow, Double };

// The arguments the conversions of format take in turn, as format.h documents them; the format
// is cut before the first conversion for which there are no arguments left.
std::vector<Kind> ArgumentsOf(std::wstring& format) {
    std::vector<Kind> kinds;
    std::size_t slots = 0, doubles = 0;
    for (std::size_t i = 0; i < format.size();) {
        if (format[i] != L'%') {
            ++i;
            continue;
        }
        const std::size_t start = i++;
        if (i < format.size() && format[i] == L'%') {
            ++i;
            continue;
        }
        std::vector<Kind> taken;
        while (i < format.size() && std::wcschr(L"-+ 0#", format[i])) ++i;
        if (i < format.size() && format[i] == L'*') {
            taken.push_back(Kind::Integer);
            ++i;
        } else {
            while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') ++i;
        }
        if (i < format.size() && format[i] == L'.') {
            ++i;
            if (i < format.size() && format[i] == L'*') {
                taken.push_back(Kind::Integer);
                ++i;
            } else {
                while (i < format.size() && format[i] >= L'0' && format[i] <= L'9') ++i;
            }
        }
        std::wstring length;
        if (i < format.size() && std::wcschr(L"hlz", format[i])) {
            length = format[i++];
            if (length != L"z" && i < format.size() && format[i] == length[0])
                length += format[i++];
        }
        const wchar_t c = i < format.size() ? format[i] : 0;
        const bool text = length.empty() || length == L"h" || length == L"l";
        bool converted = true;
        if (c != 0 && std::wcschr(L"diuxXp", c)) {
            taken.push_back(Kind::Integer);
        } else if (c == L'f' && (length.empty() || length == L"l")) {
            taken.push_back(Kind::Double);
        } else if ((c == L's' || c == L'S') && text) {
            const bool narrow = length == L"h" || (length.empty() && c == L'S');
            taken.push_back(narrow ? Kind::Narrow : Kind::Wide);
        } else if ((c == L'c' || c == L'C') && text) {
            taken.push_back(Kind::Integer);
        } else {
            converted = false;  // shown as written; the character at i is read as text next
        }
        std::size_t needSlots = slots, needDoubles = doubles;
        for (Kind k : taken) ++(k == Kind::Double ? needDoubles : needSlots);
        if (needSlots > kSlots || needDoubles > kDoubles) {
            format.resize(start);
            break;
        }
        slots = needSlots;
        doubles = needDoubles;
        kinds.insert(kinds.end(), taken.begin(), taken.end());
        if (converted) ++i;
    }
    return kinds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(0, 1100);
    double doubles[kDoubles];
    for (double& d : doubles)
        d = input.ConsumeBool() ? input.ConsumeFloatingPoint<double>()
                                : input.ConsumeIntegral<std::int32_t>() / 8.0;
    std::vector<std::wstring> wides;
    std::vector<std::string> narrows;
    std::uint64_t slots[kSlots] = {};
    std::wstring format;
    {
        const std::string bytes = input.ConsumeRandomLengthString(512);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            // 0xFF escapes one character beyond one byte, so that any format is within reach.
            if (b == 0xFF && i + 2 < bytes.size()) {
                format.push_back(
                    static_cast<wchar_t>(static_cast<unsigned char>(bytes[i + 1]) |
                                         static_cast<unsigned char>(bytes[i + 2]) << 8));
                i += 2;
            } else if (b != 0) {
                format.push_back(static_cast<wchar_t>(b));
            }
        }
    }
    const std::vector<Kind> kinds = ArgumentsOf(format);
    wides.reserve(kSlots);
    narrows.reserve(kSlots);
    std::size_t slot = 0;
    for (Kind kind : kinds) {
        switch (kind) {
            case Kind::Integer:
                slots[slot++] = input.ConsumeIntegral<std::uint64_t>();
                break;
            case Kind::Wide:
                // Past the buffer, and beyond one byte per character.
                wides.push_back(
                    std::wstring(input.ConsumeIntegralInRange<std::size_t>(0, 1100), L'w') +
                    L"\u00e9\u4e2d");
                slots[slot++] = reinterpret_cast<std::uintptr_t>(
                    input.ConsumeBool() ? nullptr : wides.back().c_str());
                break;
            case Kind::Narrow:
                narrows.push_back(input.ConsumeRandomLengthString(64));
                slots[slot++] = reinterpret_cast<std::uintptr_t>(
                    input.ConsumeBool() ? nullptr : narrows.back().c_str());
                break;
            case Kind::Double:
                break;
        }
    }
    std::vector<wchar_t> out(capacity + 1, L'#');
    // Every integer-class argument is passed as 64 bits, which the conversions read at their own
    // width (LP64 ABI): the slots line up with what the format takes.
    const std::size_t written = FormatWide(
        out.data(), capacity, format.c_str(), doubles[0], doubles[1], doubles[2], doubles[3],
        doubles[4], doubles[5], doubles[6], doubles[7], slots[0], slots[1], slots[2], slots[3],
        slots[4], slots[5], slots[6], slots[7], slots[8], slots[9], slots[10], slots[11]);
    if (capacity == 0) {
        fuzz::Check(written == 0 && out[0] == L'#', "no room writes nothing");
    } else {
        fuzz::Check(written < capacity && out[written] == 0, "the text ends within the buffer");
    }
    fuzz::Check(out[capacity] == L'#', "nothing is written past the buffer");
    return 0;
}
