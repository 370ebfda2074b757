#include "service/registrar.h"

#include <cwctype>
#include <optional>
#include <vector>

#include "log/log.h"
#include "settings/registry.h"

namespace {

const HRESULT kInvalidScript = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
constexpr const wchar_t* kPerUserClasses = L"Software\\Classes\\";

std::wstring Upper(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return out;
}

bool SameWord(std::wstring_view a, std::wstring_view b) { return Upper(a) == Upper(b); }

HRESULT Failure(LSTATUS status, int line) {
    return LogHResultAt(HRESULT_FROM_WIN32(static_cast<DWORD>(status)), line,
                        LogSourceFileName(L"" __FILE__));
}

struct Token {
    enum Kind { Word, Quoted, Open, Close, Equals, End, Bad } kind;
    std::wstring text;  // a word, the unquoted text, or what is wrong
    unsigned line;
};

// Splits a script into words, quoted texts and the three marks { } =.
class Lexer {
public:
    explicit Lexer(std::wstring_view text) : _text(text) {}

    Token Next() {
        SkipBlanks();
        if (_pos == _text.size()) return {Token::End, L"", _line};
        const wchar_t c = _text[_pos];
        if (c == L'{' || c == L'}' || c == L'=') {
            ++_pos;
            return {c == L'{'   ? Token::Open
                    : c == L'}' ? Token::Close
                                : Token::Equals,
                    std::wstring(1, c), _line};
        }
        if (c == L'\'') return QuotedText();
        const std::size_t start = _pos;
        while (_pos < _text.size() && !IsBlank(_text[_pos]) && !IsMark(_text[_pos])) ++_pos;
        return {Token::Word, std::wstring(_text.substr(start, _pos - start)), _line};
    }

    Token Peek() {
        const Lexer saved = *this;
        Token token = Next();
        *this = saved;
        return token;
    }

private:
    static bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
    static bool IsMark(wchar_t c) { return c == L'{' || c == L'}' || c == L'=' || c == L'\''; }

    void SkipBlanks() {
        for (; _pos < _text.size() && IsBlank(_text[_pos]); ++_pos) {
            if (_text[_pos] == L'\n') ++_line;
        }
    }

    Token QuotedText() {
        const unsigned line = _line;
        std::wstring text;
        for (++_pos; _pos < _text.size(); ++_pos) {
            const wchar_t c = _text[_pos];
            if (c == L'\'') {
                if (_pos + 1 < _text.size() && _text[_pos + 1] == L'\'') {
                    text.push_back(L'\'');
                    ++_pos;
                    continue;
                }
                ++_pos;
                return {Token::Quoted, text, line};
            }
            if (c == L'\n') ++_line;
            text.push_back(c);
        }
        return {Token::Bad, L"a quoted text is not closed", line};
    }

    std::wstring_view _text;
    std::size_t _pos = 0;
    unsigned _line = 1;
};

std::optional<HKEY> RootByName(std::wstring_view name) {
    if (SameWord(name, L"HKCR") || SameWord(name, L"HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
    if (SameWord(name, L"HKCU") || SameWord(name, L"HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
    if (SameWord(name, L"HKLM") || SameWord(name, L"HKEY_LOCAL_MACHINE")) {
        return HKEY_LOCAL_MACHINE;
    }
    return std::nullopt;
}

// A REG_DWORD as the script writes it: decimal, or hexadecimal after 0x.
std::optional<DWORD> ParseNumber(std::wstring_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        unsigned digit;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (base == 16 && c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a' + 10);
        } else if (base == 16 && c >= L'A' && c <= L'F') {
            digit = static_cast<unsigned>(c - L'A' + 10);
        } else {
            return std::nullopt;
        }
        if (digit >= base) return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<DWORD>(value);
}

struct ScriptKey {
    std::wstring name;
    bool noRemove = false;
    bool isValue = false;   // a named value ("val") rather than a key
    bool hasValue = false;  // the default value of a key, or the data of a named value
    DWORD type = REG_NONE;
    std::wstring text;
    DWORD number = 0;
    std::vector<ScriptKey> subkeys;
};

struct Script {
    struct Root {
        HKEY key;
        std::vector<ScriptKey> keys;
    };
    std::vector<Root> roots;
};

// Reads a script into its tree, reporting the first thing wrong with it.
class Parser {
public:
    Parser(std::wstring_view text, const std::map<std::wstring, std::wstring>& replacements)
        : _lexer(text), _replacements(replacements) {}

    bool Run(Script& script) {
        for (Token token = _lexer.Next(); token.kind != Token::End; token = _lexer.Next()) {
            if (token.kind != Token::Word) return Fail(token, L"a root key is expected");
            const std::optional<HKEY> root = RootByName(token.text);
            if (!root) return Fail(token, L"unknown root key");
            if (!Expect(Token::Open, L"'{' is expected after the root key")) return false;
            Script::Root entry{*root, {}};
            if (!Keys(entry.keys, true)) return false;
            script.roots.push_back(std::move(entry));
        }
        return true;
    }

    const std::wstring& Error() const { return _error; }

private:
    bool Keys(std::vector<ScriptKey>& keys, bool underRoot) {
        for (;;) {
            Token token = _lexer.Next();
            if (token.kind == Token::Close) return true;
            if (token.kind == Token::End) return Fail(token, L"'}' is missing");
            ScriptKey key;
            if (IsWord(token, L"NoRemove")) {
                key.noRemove = true;
                token = _lexer.Next();
            }
            if (IsWord(token, L"ForceRemove") || IsWord(token, L"Delete")) {
                return Fail(token, L"ForceRemove and Delete are not supported");
            }
            if (IsWord(token, L"val")) {
                key.isValue = true;
                token = _lexer.Next();
            }
            if (token.kind != Token::Word && token.kind != Token::Quoted) {
                return Fail(token, L"a key or value name is expected");
            }
            if (!Expand(token, key.name)) return false;
            if (!key.isValue && (key.name.empty() || key.name.find(L'\\') != std::wstring::npos)) {
                return Fail(token, L"a key name must be one non-empty name without '\\'");
            }
            if (key.isValue && underRoot) return Fail(token, L"a value must belong to a key");
            if (_lexer.Peek().kind == Token::Equals) {
                _lexer.Next();
                if (!Value(key)) return false;
            } else if (key.isValue) {
                return Fail(token, L"a value needs '= s' or '= d' and its data");
            }
            if (_lexer.Peek().kind == Token::Open) {
                if (key.isValue) return Fail(token, L"a value cannot hold keys");
                _lexer.Next();
                if (!Keys(key.subkeys, false)) return false;
            }
            keys.push_back(std::move(key));
        }
    }

    bool Value(ScriptKey& key) {
        const Token type = _lexer.Next();
        if (IsWord(type, L"s")) {
            key.type = REG_SZ;
        } else if (IsWord(type, L"d")) {
            key.type = REG_DWORD;
        } else {
            return Fail(type, L"the value type must be s or d");
        }
        const Token data = _lexer.Next();
        if (data.kind != Token::Word && data.kind != Token::Quoted) {
            return Fail(data, L"the value's data is missing");
        }
        if (!Expand(data, key.text)) return false;
        if (key.type == REG_DWORD) {
            const std::optional<DWORD> number = ParseNumber(key.text);
            if (!number) return Fail(data, L"a d value must be a 32-bit number");
            key.number = *number;
        }
        key.hasValue = true;
        return true;
    }

    // The token's text with its %NAME% replacements made.
    bool Expand(const Token& token, std::wstring& out) {
        out.clear();
        const std::wstring& text = token.text;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != L'%') {
                out.push_back(text[i]);
                continue;
            }
            const std::size_t end = text.find(L'%', i + 1);
            if (end == std::wstring::npos) return Fail(token, L"a '%' is not closed");
            if (end == i + 1) {
                out.push_back(L'%');
            } else {
                auto it =
                    _replacements.find(Upper(std::wstring_view(text).substr(i + 1, end - i - 1)));
                if (it == _replacements.end()) return Fail(token, L"unknown replacement");
                out += it->second;
            }
            i = end;
        }
        return true;
    }

    bool Expect(Token::Kind kind, const wchar_t* message) {
        const Token token = _lexer.Next();
        return token.kind == kind || Fail(token, message);
    }

    static bool IsWord(const Token& token, const wchar_t* word) {
        return token.kind == Token::Word && SameWord(token.text, word);
    }

    bool Fail(const Token& token, const wchar_t* message) {
        _error = message;
        if (token.kind == Token::Bad) {
            _error = token.text;
        } else if (token.kind != Token::End) {
            _error += L": '" + token.text + L"'";
        }
        _error += L" (line " + std::to_wstring(token.line) + L")";
        return false;
    }

    Lexer _lexer;
    const std::map<std::wstring, std::wstring>& _replacements;
    std::wstring _error;
};

// Writes a script's keys and values, or removes them.
class ScriptWriter {
public:
    ScriptWriter(platform::Registry& registry, bool perUser)
        : _registry(registry), _perUser(perUser) {}

    HRESULT Register(const Script& script) {
        for (const Script::Root& root : script.roots) {
            for (const ScriptKey& key : root.keys) {
                const HRESULT hr = RegisterKey(Root(root), Path(root, key), key);
                if (FAILED(hr)) {
                    // Leave no half registration behind.
                    Unregister(script);
                    return hr;
                }
            }
        }
        return S_OK;
    }

    // Removes as much as it can; the result is the first failure.
    HRESULT Unregister(const Script& script) {
        HRESULT first = S_OK;
        for (const Script::Root& root : script.roots) {
            for (const ScriptKey& key : root.keys) {
                Keep(first, UnregisterKey(Root(root), Path(root, key), key));
            }
        }
        return first;
    }

private:
    bool PerUser(const Script::Root& root) const {
        return _perUser && root.key == HKEY_CLASSES_ROOT;
    }
    HKEY Root(const Script::Root& root) const {
        return PerUser(root) ? HKEY_CURRENT_USER : root.key;
    }
    std::wstring Path(const Script::Root& root, const ScriptKey& key) const {
        return (PerUser(root) ? kPerUserClasses : L"") + key.name;
    }
    static void Keep(HRESULT& first, HRESULT hr) {
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }

    HRESULT RegisterKey(HKEY parent, const std::wstring& path, const ScriptKey& key) {
        if (key.isValue) return SetValue(parent, key.name, key);
        RegKey opened(_registry);
        const LSTATUS status = opened.Create(parent, path.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_WRITE, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return Failure(status, __LINE__);
        if (key.hasValue) {
            const HRESULT hr = SetValue(opened.Handle(), L"", key);
            if (FAILED(hr)) return hr;
        }
        for (const ScriptKey& subkey : key.subkeys) {
            const HRESULT hr = RegisterKey(opened.Handle(), subkey.name, subkey);
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    }

    HRESULT UnregisterKey(HKEY parent, const std::wstring& path, const ScriptKey& key) {
        if (key.isValue) {
            if (key.noRemove) return S_OK;
            const LSTATUS status = _registry.RegDeleteValueW(parent, key.name.c_str());
            if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return S_OK;
            return Failure(status, __LINE__);
        }
        RegKey opened(_registry);
        LSTATUS status = opened.Open(parent, path.c_str(), KEY_READ | KEY_SET_VALUE);
        if (status == ERROR_FILE_NOT_FOUND) return S_OK;  // nothing of it left to remove
        if (status != ERROR_SUCCESS) return Failure(status, __LINE__);
        HRESULT first = S_OK;
        for (const ScriptKey& subkey : key.subkeys) {
            // The values of a key that goes are gone with it.
            if (subkey.isValue && !key.noRemove) continue;
            Keep(first, UnregisterKey(opened.Handle(), subkey.name, subkey));
        }
        opened.Close();
        if (key.noRemove) return first;
        status = _registry.RegDeleteKeyW(parent, path.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            Keep(first, Failure(status, __LINE__));
        }
        return first;
    }

    HRESULT SetValue(HKEY key, const std::wstring& name, const ScriptKey& value) {
        LSTATUS status;
        if (value.type == REG_DWORD) {
            status = _registry.RegSetValueExW(key, name.c_str(), 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&value.number),
                                              sizeof(value.number));
        } else {
            status = _registry.RegSetValueExW(
                key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.text.c_str()),
                static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t)));
        }
        return status == ERROR_SUCCESS ? S_OK : Failure(status, __LINE__);
    }

    platform::Registry& _registry;
    bool _perUser;
};

// A REGISTRY resource's bytes as text: ASCII, up to the first zero byte if there is one.
bool Widen(const void* bytes, DWORD size, std::wstring& text) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    text.clear();
    for (DWORD i = 0; p != nullptr && i < size && p[i] != 0; ++i) {
        if (p[i] > 0x7F) {
            Log(TRACE_LEVEL_ERROR, L"Registration script: byte %u is not ASCII (0x%02x)",
                static_cast<unsigned>(i), static_cast<unsigned>(p[i]));
            return false;
        }
        text.push_back(static_cast<wchar_t>(p[i]));
    }
    return true;
}

}  // namespace

void Registrar::AddReplacement(std::wstring_view name, std::wstring_view value) {
    _replacements[Upper(name)] = std::wstring(value);
}

HRESULT Registrar::StringRegister(std::wstring_view script) { return Apply(script, true); }

HRESULT Registrar::StringUnregister(std::wstring_view script) { return Apply(script, false); }

HRESULT Registrar::ResourceRegister(const void* bytes, DWORD size) {
    std::wstring text;
    if (!Widen(bytes, size, text)) return LogHResult(kInvalidScript);
    return Apply(text, true);
}

HRESULT Registrar::ResourceUnregister(const void* bytes, DWORD size) {
    std::wstring text;
    if (!Widen(bytes, size, text)) return LogHResult(kInvalidScript);
    return Apply(text, false);
}

HRESULT Registrar::Apply(std::wstring_view text, bool registering) {
    Script script;
    Parser parser(text, _replacements);
    if (!parser.Run(script)) {
        Log(TRACE_LEVEL_ERROR, L"Registration script: %s", parser.Error().c_str());
        return LogHResult(kInvalidScript);
    }
    ScriptWriter writer(_registry, _perUser);
    return registering ? writer.Register(script) : writer.Unregister(script);
}
