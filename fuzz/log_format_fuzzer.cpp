// The log formatter with formats built from the input: any text, and conversions with any flags,
// widths, precisions (both also as *) and lengths, known or not, each handed the arguments it
// reads as format.h documents; a format may end inside a conversion. The text always ends within
// the buffer, and nothing is written past it.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_world.h"
#include "log/format.h"

namespace {

constexpr std::size_t kSlots = 12;   // integer-class arguments: integers and string pointers
constexpr std::size_t kDoubles = 8;  // doubles travel apart from them
const wchar_t* const kLengths[] = {L"", L"hh", L"h", L"l", L"ll", L"z"};
constexpr wchar_t kConversions[] = L"diuxXpfsScC%q\u00e9";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(0, 1100);
    std::uint64_t slots[kSlots] = {};
    double doubles[kDoubles] = {};
    std::size_t slot = 0, used = 0;
    std::vector<std::wstring> wides;
    std::vector<std::string> narrows;
    wides.reserve(kSlots);
    narrows.reserve(kSlots);
    std::wstring format;
    while (input.remaining_bytes() > 0 && slot + 3 <= kSlots && used < kDoubles) {
        for (unsigned char c : input.ConsumeRandomLengthString(8)) {
            format += c == '%' || c == 0 ? L'.' : static_cast<wchar_t>(c);
        }
        const wchar_t c = kConversions[input.ConsumeIntegralInRange<std::size_t>(0, 14)];
        if (c == L'%') {  // anything between the two would make the second start a conversion
            format += L"%%";
            continue;
        }
        format += L'%';
        for (int i = input.ConsumeIntegralInRange(0, 2); i > 0; --i) {
            format += L"-+ 0#"[input.ConsumeIntegralInRange(0, 4)];
        }
        for (bool precision : {false, true}) {
            if (precision && !input.ConsumeBool()) continue;
            if (precision) format += L'.';
            const int kind = input.ConsumeIntegralInRange(0, 2);  // none, digits, *
            if (kind == 1) format += std::to_wstring(input.ConsumeIntegralInRange(0, 1200));
            if (kind == 2) {
                format += L'*';
                slots[slot++] =
                    static_cast<std::uint64_t>(input.ConsumeIntegralInRange(-1200, 1200));
            }
        }
        const std::wstring length = kLengths[input.ConsumeIntegralInRange<std::size_t>(0, 5)];
        format += length;
        if (input.remaining_bytes() == 0) break;  // the format ends inside the conversion
        format += c;
        const bool text = length.empty() || length == L"h" || length == L"l";
        const bool wide = (c == L's' && length != L"h") || (c == L'S' && length == L"l");
        if (std::wstring_view(L"diuxXp").find(c) != std::wstring_view::npos ||
            ((c == L'c' || c == L'C') && text)) {
            slots[slot++] = input.ConsumeIntegral<std::uint64_t>();
        } else if (c == L'f' && (length.empty() || length == L"l")) {
            doubles[used++] = input.ConsumeBool() ? input.ConsumeFloatingPoint<double>()
                                                  : input.ConsumeIntegral<std::int32_t>() / 8.0;
        } else if ((c == L's' || c == L'S') && text && wide) {
            // Past the buffer, and beyond one byte per character.
            wides.push_back(std::wstring(input.ConsumeIntegralInRange<std::size_t>(0, 1100), L'w') +
                            L"\u00e9\u4e2d");
            slots[slot++] = reinterpret_cast<std::uintptr_t>(
                input.ConsumeBool() ? nullptr : wides.back().c_str());
        } else if ((c == L's' || c == L'S') && text) {
            narrows.push_back(input.ConsumeRandomLengthString(64));
            slots[slot++] = reinterpret_cast<std::uintptr_t>(
                input.ConsumeBool() ? nullptr : narrows.back().c_str());
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
