#include "host/registrar.h"

#include <algorithm>
#include <optional>

#include "host/support.h"
#include "platform/registry/registry.h"
#include "platform/types/wide_string.h"

namespace Talvaro::Host {
namespace {

enum class KeyFlag { None, NoRemove, ForceRemove };

struct ScriptValue {
  std::wstring name;  // empty: the default value
  std::wstring text;
};

struct ScriptKey {
  std::wstring name;
  KeyFlag flag = KeyFlag::None;
  std::vector<ScriptValue> values;
  std::vector<ScriptKey> subkeys;
};

struct ScriptRoot {
  HKEY root = nullptr;
  std::vector<ScriptKey> keys;
};

struct Token {
  enum class Kind { Word, Quoted, Open, Close, Equals } kind;
  std::string text;
};

// Splits the script into tokens; empty on an unterminated quote.
std::optional<std::vector<Token>> Tokenize(std::string_view script) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < script.size()) {
    const char c = script[i];
    if (isBlank(c)) {
      ++i;
    } else if (c == '\'') {
      std::string text;
      ++i;
      for (;;) {
        if (i >= script.size()) return std::nullopt;
        if (script[i] == '\'') {
          if (i + 1 < script.size() && script[i + 1] == '\'') {
            text += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        text += script[i++];
      }
      tokens.push_back({Token::Kind::Quoted, std::move(text)});
    } else {
      std::size_t end = i;
      while (end < script.size() && !isBlank(script[end])) ++end;
      std::string word(script.substr(i, end - i));
      i = end;
      if (word == "{") {
        tokens.push_back({Token::Kind::Open, word});
      } else if (word == "}") {
        tokens.push_back({Token::Kind::Close, word});
      } else if (word == "=") {
        tokens.push_back({Token::Kind::Equals, word});
      } else {
        tokens.push_back({Token::Kind::Word, std::move(word)});
      }
    }
  }
  return tokens;
}

class Parser {
 public:
  Parser(std::vector<Token> tokens, const std::vector<std::pair<std::wstring, std::wstring>>& replacements)
      : tokens_(std::move(tokens)), replacements_(replacements) {}

  std::optional<std::vector<ScriptRoot>> Parse() {
    std::vector<ScriptRoot> roots;
    while (position_ < tokens_.size()) {
      ScriptRoot root;
      const Token* name = Next();
      if (name == nullptr || name->kind != Token::Kind::Word) return std::nullopt;
      root.root = RootKey(name->text);
      if (root.root == nullptr || !Expect(Token::Kind::Open)) return std::nullopt;
      if (!ParseKeys(root.keys, nullptr)) return std::nullopt;
      roots.push_back(std::move(root));
    }
    return roots;
  }

 private:
  static HKEY RootKey(const std::string& word) {
    const std::wstring name = platform::FromUtf8(word);
    if (platform::EqualsIgnoreCase(name, L"HKCR") || platform::EqualsIgnoreCase(name, L"HKEY_CLASSES_ROOT")) {
      return HKEY_CLASSES_ROOT;
    }
    if (platform::EqualsIgnoreCase(name, L"HKLM") || platform::EqualsIgnoreCase(name, L"HKEY_LOCAL_MACHINE")) {
      return HKEY_LOCAL_MACHINE;
    }
    return nullptr;
  }

  static bool IsKeyword(const Token& token, const wchar_t* keyword) {
    return token.kind == Token::Kind::Word && platform::EqualsIgnoreCase(platform::FromUtf8(token.text), keyword);
  }

  const Token* Next() { return position_ < tokens_.size() ? &tokens_[position_++] : nullptr; }
  const Token* Peek() const { return position_ < tokens_.size() ? &tokens_[position_] : nullptr; }

  bool Expect(Token::Kind kind) {
    const Token* token = Next();
    return token != nullptr && token->kind == kind;
  }

  // A name or text with its replacements made.
  std::optional<std::wstring> Text(const Token* token) {
    if (token == nullptr || (token->kind != Token::Kind::Word && token->kind != Token::Kind::Quoted)) {
      return std::nullopt;
    }
    const std::wstring raw = platform::FromUtf8(token->text);
    std::wstring text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != L'%') {
        text += raw[i];
        continue;
      }
      const std::size_t end = raw.find(L'%', i + 1);
      if (end == std::wstring::npos) return std::nullopt;
      const std::wstring_view name(raw.data() + i + 1, end - i - 1);
      if (name.empty()) {
        text += L'%';
      } else {
        const auto found = std::find_if(replacements_.begin(), replacements_.end(),
                                        [&](const auto& entry) { return platform::EqualsIgnoreCase(entry.first, name); });
        if (found == replacements_.end()) return std::nullopt;
        text += found->second;
      }
      i = end;
    }
    return text;
  }

  // "= s 'text'"; only string values are written by this program's scripts.
  std::optional<std::wstring> StringValue() {
    if (!Expect(Token::Kind::Equals)) return std::nullopt;
    const Token* type = Next();
    if (type == nullptr || !IsKeyword(*type, L"s")) return std::nullopt;
    return Text(Next());
  }

  // Keys (and, inside a key, its named values) up to the closing brace.
  bool ParseKeys(std::vector<ScriptKey>& keys, std::vector<ScriptValue>* values) {
    for (;;) {
      const Token* token = Next();
      if (token == nullptr) return false;
      if (token->kind == Token::Kind::Close) return true;
      if (IsKeyword(*token, L"val")) {
        if (values == nullptr) return false;  // a value needs a key
        auto name = Text(Next());
        auto text = name ? StringValue() : std::nullopt;
        if (!text) return false;
        values->push_back({std::move(*name), std::move(*text)});
        continue;
      }
      ScriptKey key;
      if (IsKeyword(*token, L"NoRemove")) {
        key.flag = KeyFlag::NoRemove;
        token = Next();
      } else if (IsKeyword(*token, L"ForceRemove")) {
        key.flag = KeyFlag::ForceRemove;
        token = Next();
      }
      auto name = Text(token);
      if (!name || name->empty()) return false;
      key.name = std::move(*name);
      if (Peek() != nullptr && Peek()->kind == Token::Kind::Equals) {
        auto text = StringValue();
        if (!text) return false;
        key.values.push_back({L"", std::move(*text)});
      }
      if (Peek() != nullptr && Peek()->kind == Token::Kind::Open) {
        Next();
        if (!ParseKeys(key.subkeys, &key.values)) return false;
      }
      keys.push_back(std::move(key));
    }
  }

  std::vector<Token> tokens_;
  std::size_t position_ = 0;
  const std::vector<std::pair<std::wstring, std::wstring>>& replacements_;
};

LSTATUS SetString(HKEY key, const std::wstring& name, const std::wstring& text) {
  return RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

HRESULT Register(HKEY parent, const ScriptKey& key) {
  if (key.flag == KeyFlag::ForceRemove) {
    const LSTATUS removed = RegDeleteTreeW(parent, key.name.c_str());
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) return FromStatus(removed);
  }
  RegistryKey handle;
  LSTATUS status = RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_READ | KEY_WRITE, nullptr, handle.out(), nullptr);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  for (const auto& value : key.values) {
    status = SetString(handle.get(), value.name, value.text);
    if (status != ERROR_SUCCESS) return FromStatus(status);
  }
  for (const auto& subkey : key.subkeys) {
    const HRESULT hr = Register(handle.get(), subkey);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT Unregister(HKEY parent, const ScriptKey& key) {
  bool hasSubkeys = false;
  {
    RegistryKey handle;
    LSTATUS status = RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, handle.out());
    if (status == ERROR_FILE_NOT_FOUND) return S_OK;
    if (status != ERROR_SUCCESS) return FromStatus(status);
    for (const auto& value : key.values) {
      if (value.name.empty()) continue;  // goes with the key, or stays with a kept one
      status = RegDeleteValueW(handle.get(), value.name.c_str());
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromStatus(status);
    }
    for (const auto& subkey : key.subkeys) {
      const HRESULT hr = Unregister(handle.get(), subkey);
      if (FAILED(hr)) return hr;
    }
    wchar_t name[REGISTRY_MAX_KEY_NAME + 1];
    DWORD length = REGISTRY_MAX_KEY_NAME + 1;
    status = RegEnumKeyExW(handle.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS && status != ERROR_NO_MORE_ITEMS) return FromStatus(status);
    hasSubkeys = status == ERROR_SUCCESS;
  }
  LSTATUS status = ERROR_SUCCESS;
  if (key.flag == KeyFlag::ForceRemove) {
    status = RegDeleteTreeW(parent, key.name.c_str());
  } else if (key.flag == KeyFlag::None && !hasSubkeys) {
    status = RegDeleteKeyW(parent, key.name.c_str());
  }
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromStatus(status);
  return S_OK;
}

}  // namespace

void Registrar::AddReplacement(std::wstring_view name, std::wstring value) {
  replacements_.emplace_back(std::wstring(name), std::move(value));
}

HRESULT Registrar::RegisterScript(std::string_view script) const { return Run(script, true); }

HRESULT Registrar::UnregisterScript(std::string_view script) const { return Run(script, false); }

HRESULT Registrar::Run(std::string_view script, bool registering) const {
  auto tokens = Tokenize(script);
  if (!tokens) return DISP_E_EXCEPTION;
  Parser parser(std::move(*tokens), replacements_);
  const auto roots = parser.Parse();
  if (!roots) return DISP_E_EXCEPTION;
  for (const auto& root : *roots) {
    for (const auto& key : root.keys) {
      const HRESULT hr = registering ? Register(root.root, key) : Unregister(root.root, key);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

}  // namespace Talvaro::Host
