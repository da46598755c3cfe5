// tcdreg's access to the registry, through the Win32 functions of platform/registry.
#pragma once

#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tools/tcdreg/reg_data.h"
#include "tools/tcdreg/reg_file.h"

namespace tcdreg {

// Closes the key at the end of its scope (the predefined roots need no closing but accept it).
class UniqueKey {
 public:
  UniqueKey() = default;
  ~UniqueKey() { Reset(); }
  UniqueKey(const UniqueKey&) = delete;
  UniqueKey& operator=(const UniqueKey&) = delete;
  HKEY get() const { return key_; }
  PHKEY out() {
    Reset();
    return &key_;
  }
  void Reset(HKEY key = nullptr) {
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = key;
  }
  HKEY release() {
    HKEY key = key_;
    key_ = nullptr;
    return key;
  }

 private:
  HKEY key_ = nullptr;
};

LSTATUS OpenKey(const KeyName& key, REGSAM access, UniqueKey* result);
LSTATUS CreateKey(const KeyName& key, REGSAM access, UniqueKey* result);

// All values / subkey names of a key, in the registry's order (ascending, letter case ignored).
LSTATUS ReadValues(HKEY key, std::vector<Value>* values);
LSTATUS ReadSubkeyNames(HKEY key, std::vector<std::wstring>* names);
LSTATUS ReadValue(HKEY key, const std::wstring& name, Value* value);

// The key's path with every component spelled as stored (the root in its full form).
LSTATUS StoredPath(const KeyName& key, std::wstring* path);

// The key and its whole subtree as a .reg file, read in one consistent snapshot.
LSTATUS ExportTree(const KeyName& key, std::string* fileBytes);

// Applies the operations of a parsed .reg file as one atomic change: all of them, or (on an
// error, reported with the operation's line) none.
LSTATUS ApplyOperations(const std::vector<RegFileOperation>& operations, int* failedLine);

}  // namespace tcdreg
