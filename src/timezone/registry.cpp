#include "timezone/registry.h"

#include <algorithm>
#include <array>
#include <utility>

namespace dvrlink {
namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Ordering of names in the registry: by their bytes with ASCII letters
// upper-cased.
bool LessNoCase(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(UpperAscii(a[i]));
    const auto cb = static_cast<unsigned char>(UpperAscii(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

// Calls `visit` for each non-empty "\"-separated part of `path` until it
// returns false; false when it was stopped.
template <typename Visit>
bool ForEachPart(std::string_view path, Visit visit) {
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('\\', begin);
    if (end == std::string_view::npos) end = path.size();
    if (end > begin && !visit(path.substr(begin, end - begin))) return false;
    begin = end + 1;
  }
  return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

class MemoryKey : public IRegistryKey {
 public:
  MemoryKey(std::shared_ptr<const void> tree, const RegistryNode& node)
      : tree_(std::move(tree)), node_(node) {}

  bool EnumSubKey(uint32_t index, std::string& name) const override {
    if (index >= node_.SubKeyCount()) return false;
    name = node_.SubKeyName(index);
    return true;
  }

  bool QueryString(std::string_view value_name, std::string& text) const override {
    const RegValue* v = node_.FindValue(value_name);
    if (v == nullptr || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return false;
    text = v->text;
    return true;
  }

  bool QueryBinary(std::string_view value_name, std::vector<uint8_t>& data) const override {
    const RegValue* v = node_.FindValue(value_name);
    if (v == nullptr) return false;
    if (v->type == REG_SZ || v->type == REG_EXPAND_SZ) {
      data = Utf8ToUtf16Le(v->text);
      data.push_back(0);
      data.push_back(0);
    } else {
      data = v->data;
    }
    return true;
  }

 private:
  std::shared_ptr<const void> tree_;  // keeps node_ alive
  const RegistryNode& node_;
};

constexpr std::array<std::pair<RegRoot, const char*>, 5> kRootNames = {{
    {RegRoot::HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
    {RegRoot::HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {RegRoot::HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
    {RegRoot::HKEY_USERS, "HKEY_USERS"},
    {RegRoot::HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
}};

}  // namespace

std::optional<RegRoot> RegRootFromName(std::string_view name) {
  for (const auto& [root, root_name] : kRootNames) {
    if (EqualsNoCase(name, root_name)) return root;
  }
  return std::nullopt;
}

const char* RegRootName(RegRoot root) {
  for (const auto& [r, root_name] : kRootNames) {
    if (r == root) return root_name;
  }
  return "";
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  const size_t units = bytes.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8);
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const uint32_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    // An unpaired surrogate cannot be written in UTF-8: the replacement
    // character stands in for it.
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

std::vector<uint8_t> Utf8ToUtf16Le(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 2);
  auto put = [&](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
    }
    if (len > 1) {
      if (i + len > text.size()) {
        len = 1;
      } else {
        cp = c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
          const auto cc = static_cast<unsigned char>(text[i + k]);
          if ((cc & 0xC0) != 0x80) {
            cp = 0xFFFD;
            len = 1;
            break;
          }
          cp = (cp << 6) | (cc & 0x3F);
        }
      }
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  return out;
}

RegValue RegValue::Text(std::string s, uint32_t type) {
  RegValue v;
  v.type = type;
  v.text = std::move(s);
  return v;
}

RegValue RegValue::Binary(std::vector<uint8_t> bytes, uint32_t type) {
  RegValue v;
  v.type = type;
  v.data = std::move(bytes);
  return v;
}

RegValue RegValue::Dword(uint32_t x) {
  return Binary({static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8),
                 static_cast<uint8_t>(x >> 16), static_cast<uint8_t>(x >> 24)},
                REG_DWORD);
}

// --- RegistryNode ---------------------------------------------------------------

RegistryNode* RegistryNode::FindSubKey(std::string_view name) {
  return const_cast<RegistryNode*>(std::as_const(*this).FindSubKey(name));
}

const RegistryNode* RegistryNode::FindSubKey(std::string_view name) const {
  const auto it = std::lower_bound(
      subkeys_.begin(), subkeys_.end(), name,
      [](const auto& entry, std::string_view n) { return LessNoCase(entry.first, n); });
  if (it == subkeys_.end() || !EqualsNoCase(it->first, name)) return nullptr;
  return it->second.get();
}

RegistryNode& RegistryNode::CreateSubKey(std::string_view name) {
  auto it = std::lower_bound(
      subkeys_.begin(), subkeys_.end(), name,
      [](const auto& entry, std::string_view n) { return LessNoCase(entry.first, n); });
  if (it != subkeys_.end() && EqualsNoCase(it->first, name)) return *it->second;
  it = subkeys_.emplace(it, std::string(name), std::make_unique<RegistryNode>());
  return *it->second;
}

bool RegistryNode::DeleteSubKey(std::string_view name) {
  const auto it = std::lower_bound(
      subkeys_.begin(), subkeys_.end(), name,
      [](const auto& entry, std::string_view n) { return LessNoCase(entry.first, n); });
  if (it == subkeys_.end() || !EqualsNoCase(it->first, name)) return false;
  subkeys_.erase(it);
  return true;
}

const RegValue* RegistryNode::FindValue(std::string_view name) const {
  for (const auto& [value_name, value] : values_) {
    if (EqualsNoCase(value_name, name)) return &value;
  }
  return nullptr;
}

void RegistryNode::SetValue(std::string_view name, RegValue value) {
  for (auto& [value_name, existing] : values_) {
    if (EqualsNoCase(value_name, name)) {
      existing = std::move(value);
      return;
    }
  }
  values_.emplace_back(std::string(name), std::move(value));
}

bool RegistryNode::DeleteValue(std::string_view name) {
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (EqualsNoCase(it->first, name)) {
      values_.erase(it);
      return true;
    }
  }
  return false;
}

// --- MemoryRegistry ---------------------------------------------------------------

RegistryNode& MemoryRegistry::RootNode(RegRoot root) {
  for (auto& [r, node] : *roots_) {
    if (r == root) return *node;
  }
  roots_->emplace_back(root, std::make_unique<RegistryNode>());
  return *roots_->back().second;
}

const RegistryNode* MemoryRegistry::RootNodeIfAny(RegRoot root) const {
  for (const auto& [r, node] : *roots_) {
    if (r == root) return node.get();
  }
  return nullptr;
}

const RegistryNode* MemoryRegistry::FindKey(RegRoot root, std::string_view path) const {
  const auto walk = [&](std::string_view walked) {
    const RegistryNode* node = RootNodeIfAny(root);
    if (node == nullptr) return node;
    ForEachPart(walked, [&](std::string_view part) {
      node = node->FindSubKey(part);
      return node != nullptr;
    });
    return node;
  };
  const size_t cut = path.rfind('\\');
  if (cut == std::string_view::npos || cut == 0) return walk(path);
  const std::string_view parent_path = path.substr(0, cut);
  const std::string_view name = path.substr(cut + 1);
  if (last_parent_.node == nullptr || last_parent_.root != root || last_parent_.path != parent_path) {
    const RegistryNode* parent = walk(parent_path);
    if (parent == nullptr) return nullptr;
    last_parent_ = {root, std::string(parent_path), parent};
  }
  return name.empty() ? last_parent_.node : last_parent_.node->FindSubKey(name);
}

RegistryNode* MemoryRegistry::MutableKey(RegRoot root, std::string_view path) {
  return const_cast<RegistryNode*>(std::as_const(*this).FindKey(root, path));
}

std::unique_ptr<IRegistryKey> MemoryRegistry::OpenKey(RegRoot root, std::string_view path) const {
  const RegistryNode* node = FindKey(root, path);
  if (node == nullptr) return nullptr;
  return std::make_unique<MemoryKey>(roots_, *node);
}

RegistryNode& MemoryRegistry::CreateKey(RegRoot root, std::string_view path) {
  RegistryNode* node = &RootNode(root);
  ForEachPart(path, [&](std::string_view part) {
    node = &node->CreateSubKey(part);
    return true;
  });
  return *node;
}

bool MemoryRegistry::DeleteKey(RegRoot root, std::string_view path) {
  const size_t cut = path.rfind('\\');
  const std::string_view parent_path = cut == std::string_view::npos ? std::string_view() : path.substr(0, cut);
  const std::string_view name = cut == std::string_view::npos ? path : path.substr(cut + 1);
  if (name.empty()) return false;
  RegistryNode* parent = MutableKey(root, parent_path);
  last_parent_ = {};
  return parent != nullptr && parent->DeleteSubKey(name);
}

void MemoryRegistry::SetValue(RegRoot root, std::string_view path, std::string_view name,
                              RegValue value) {
  CreateKey(root, path).SetValue(name, std::move(value));
}

}  // namespace dvrlink
