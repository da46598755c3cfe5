#include "tools/tcdreg/registry_io.h"

#include "platform/registry/registry_transaction.h"
#include "platform/types/error_codes.h"
#include "platform/types/wide_string.h"

namespace tcdreg {
namespace {

using platform::registry::Transaction;

LSTATUS ExportKey(HKEY key, const std::wstring& path, RegFileWriter* writer) {
  writer->BeginKey(path);
  std::vector<Value> values;
  LSTATUS status = ReadValues(key, &values);
  if (status != ERROR_SUCCESS) return status;
  for (const auto& value : values) writer->AddValue(value);
  std::vector<std::wstring> names;
  status = ReadSubkeyNames(key, &names);
  if (status != ERROR_SUCCESS) return status;
  for (const auto& name : names) {
    UniqueKey child;
    status = RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, child.out());
    if (status == ERROR_SUCCESS) status = ExportKey(child.get(), path + L'\\' + name, writer);
    if (status != ERROR_SUCCESS) return status;
  }
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS OpenKey(const KeyName& key, REGSAM access, UniqueKey* result) {
  return RegOpenKeyExW(key.root, key.subKey.c_str(), 0, access, result->out());
}

LSTATUS CreateKey(const KeyName& key, REGSAM access, UniqueKey* result) {
  return RegCreateKeyExW(key.root, key.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                         nullptr, result->out(), nullptr);
}

LSTATUS ReadValues(HKEY key, std::vector<Value>* values) {
  values->clear();
  std::wstring name(REGISTRY_MAX_VALUE_NAME + 1, L'\0');
  std::string data(1024, '\0');
  for (DWORD index = 0;; ++index) {
    for (;;) {
      auto nameLength = static_cast<DWORD>(name.size());
      auto size = static_cast<DWORD>(data.size());
      DWORD type = REG_NONE;
      const LSTATUS status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data.data()), &size);
      if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
      if (status == ERROR_MORE_DATA && size > data.size()) {
        data.resize(size);
        continue;
      }
      if (status != ERROR_SUCCESS) return status;
      values->push_back({name.substr(0, nameLength), type, data.substr(0, size)});
      break;
    }
  }
}

LSTATUS ReadSubkeyNames(HKEY key, std::vector<std::wstring>* names) {
  names->clear();
  wchar_t name[REGISTRY_MAX_KEY_NAME + 1];
  for (DWORD index = 0;; ++index) {
    DWORD length = REGISTRY_MAX_KEY_NAME + 1;
    const LSTATUS status =
        RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    names->emplace_back(name, length);
  }
}

LSTATUS ReadValue(HKEY key, const std::wstring& name, Value* value) {
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &value->type, nullptr, &size);
  while (status == ERROR_SUCCESS) {
    value->data.assign(size, '\0');
    DWORD got = size;
    status = RegQueryValueExW(key, name.c_str(), nullptr, &value->type,
                              reinterpret_cast<BYTE*>(value->data.data()), &got);
    if (status == ERROR_MORE_DATA) {  // grown in the meantime
      size = got;
      status = ERROR_SUCCESS;
      continue;
    }
    value->data.resize(got);
    break;
  }
  if (status != ERROR_SUCCESS) return status;
  // The name as stored, which may differ from `name` in letter case.
  value->name = name;
  std::vector<Value> all;
  if (ReadValues(key, &all) == ERROR_SUCCESS) {
    for (const auto& candidate : all) {
      if (platform::EqualsIgnoreCase(candidate.name, name)) value->name = candidate.name;
    }
  }
  return ERROR_SUCCESS;
}

LSTATUS StoredPath(const KeyName& key, std::wstring* path) {
  *path = key.rootName;
  UniqueKey current;
  HKEY parent = key.root;
  std::size_t start = 0;
  while (start < key.subKey.size()) {
    std::size_t end = key.subKey.find(L'\\', start);
    if (end == std::wstring::npos) end = key.subKey.size();
    const std::wstring component = key.subKey.substr(start, end - start);
    std::vector<std::wstring> names;
    LSTATUS status = ReadSubkeyNames(parent, &names);
    if (status != ERROR_SUCCESS) return status;
    std::wstring stored = component;
    for (const auto& name : names) {
      if (platform::EqualsIgnoreCase(name, component)) stored = name;
    }
    UniqueKey child;
    status = RegOpenKeyExW(parent, component.c_str(), 0, KEY_READ, child.out());
    if (status != ERROR_SUCCESS) return status;
    *path += L'\\' + stored;
    current.Reset(child.release());
    parent = current.get();
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

LSTATUS ExportTree(const KeyName& key, std::string* fileBytes) {
  Transaction snapshot(Transaction::Mode::kRead);
  if (snapshot.status() != ERROR_SUCCESS) return snapshot.status();
  UniqueKey top;
  LSTATUS status = OpenKey(key, KEY_READ, &top);
  std::wstring path;
  if (status == ERROR_SUCCESS) status = StoredPath(key, &path);
  RegFileWriter writer;
  if (status == ERROR_SUCCESS) status = ExportKey(top.get(), path, &writer);
  if (status == ERROR_SUCCESS) *fileBytes = writer.Finish();
  return status;
}

LSTATUS ApplyOperations(const std::vector<RegFileOperation>& operations, int* failedLine) {
  *failedLine = 0;
  Transaction transaction(Transaction::Mode::kWrite);
  if (transaction.status() != ERROR_SUCCESS) return transaction.status();
  UniqueKey current;  // the key of the latest [key] line; the values below it go there
  for (const auto& operation : operations) {
    LSTATUS status = ERROR_SUCCESS;
    switch (operation.kind) {
      case RegFileOperation::Kind::kDeleteKey:
        current.Reset();
        status = RegDeleteTreeW(operation.key.root, operation.key.subKey.c_str());
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
        break;
      case RegFileOperation::Kind::kCreateKey:
        status = CreateKey(operation.key, KEY_ALL_ACCESS, &current);
        break;
      case RegFileOperation::Kind::kSetValue:
        status = RegSetValueExW(current.get(), operation.value.name.c_str(), 0,
                                operation.value.type,
                                reinterpret_cast<const BYTE*>(operation.value.data.data()),
                                static_cast<DWORD>(operation.value.data.size()));
        break;
      case RegFileOperation::Kind::kDeleteValue:
        status = RegDeleteValueW(current.get(), operation.value.name.c_str());
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
        break;
    }
    if (status != ERROR_SUCCESS) {
      *failedLine = operation.line;
      return status;  // the transaction is rolled back as it goes out of scope
    }
  }
  return transaction.Commit();
}

}  // namespace tcdreg
