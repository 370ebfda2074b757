#include "platform/sim/registry_sim.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

namespace platform::sim {

namespace {

constexpr DWORD kKnownNotifyFilters = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                                      REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

std::uintptr_t Key(HKEY key) { return reinterpret_cast<std::uintptr_t>(key); }

wchar_t FoldChar(wchar_t c) {
    if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - (L'a' - L'A'));
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 0x20);
    if (c == 0xFF) return static_cast<wchar_t>(0x178);
    return c;
}

// The form under which names are looked up and ordered: upper case, as Windows orders them.
std::wstring Fold(std::wstring_view name) {
    std::wstring folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
    return folded;
}

std::wstring_view View(LPCWSTR text) {
    return text ? std::wstring_view(text) : std::wstring_view();
}

// Splits a relative key path into its names. A trailing '\' is allowed; a leading one or an
// empty name between two is not.
LSTATUS SplitPath(std::wstring_view path, std::vector<std::wstring_view>& names) {
    names.clear();
    if (path.empty()) return ERROR_SUCCESS;
    if (path.front() == L'\\') return ERROR_BAD_PATHNAME;
    if (path.back() == L'\\') path.remove_suffix(1);
    while (true) {
        const std::size_t end = path.find(L'\\');
        const std::wstring_view name = path.substr(0, end);
        if (name.empty()) return ERROR_BAD_PATHNAME;
        names.push_back(name);
        if (end == std::wstring_view::npos) return ERROR_SUCCESS;
        path.remove_prefix(end + 1);
    }
}

}  // namespace

struct SimRegistry::Node {
    std::wstring name;
    Node* parent = nullptr;  // null for a root and for a deleted key
    bool deleted = false;
    std::map<std::wstring, std::shared_ptr<Node>> subkeys;  // by folded name
    std::list<RegValue> values;                             // in the order first set
    std::map<std::wstring, std::list<RegValue>::iterator> valueIndex;

    std::size_t Depth() const {
        std::size_t depth = 0;
        for (const Node* n = parent; n; n = n->parent) ++depth;
        return depth;
    }
    bool IsAtOrBelow(const Node& ancestor) const {
        for (const Node* n = this; n; n = n->parent) {
            if (n == &ancestor) return true;
        }
        return false;
    }
};

struct SimRegistry::OpenKey {
    std::shared_ptr<Node> node;
    REGSAM access = 0;
};

struct SimRegistry::Notify {
    std::shared_ptr<Node> node;
    std::uintptr_t handle = 0;
    bool subtree = false;
    DWORD filter = 0;
    std::shared_ptr<SimEvent> event;  // asynchronous waits only
    bool ended = false;
    LSTATUS status = ERROR_SUCCESS;
};

SimRegistry::SimRegistry(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel)
    : _scheduler(scheduler), _faults(faults), _kernel(kernel) {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
        auto node = std::make_shared<Node>();
        node->name = RootName(root);
        _roots.emplace(Key(root), std::move(node));
    }
}

SimRegistry::~SimRegistry() = default;

const wchar_t* SimRegistry::RootName(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE) return L"HKEY_LOCAL_MACHINE";
    if (root == HKEY_CURRENT_USER) return L"HKEY_CURRENT_USER";
    if (root == HKEY_CLASSES_ROOT) return L"HKEY_CLASSES_ROOT";
    return nullptr;
}

std::shared_ptr<SimRegistry::Node> SimRegistry::RootNode(HKEY root) {
    auto it = _roots.find(Key(root));
    return it == _roots.end() ? nullptr : it->second;
}

std::shared_ptr<SimRegistry::OpenKey> SimRegistry::Find(HKEY key) {
    auto it = _keys.find(Key(key));
    return it == _keys.end() ? nullptr : it->second;
}

LSTATUS SimRegistry::Resolve(HKEY key, std::shared_ptr<Node>& node, REGSAM needed) {
    if (auto root = RootNode(key)) {
        node = std::move(root);
        return ERROR_SUCCESS;
    }
    auto open = Find(key);
    if (!open) return ERROR_INVALID_HANDLE;
    if (open->node->deleted) return ERROR_KEY_DELETED;
    if ((open->access & needed) != needed) return ERROR_ACCESS_DENIED;
    node = open->node;
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::Walk(const std::shared_ptr<Node>& from, std::wstring_view path, bool create,
                          std::shared_ptr<Node>& found, Node** createdUnder) {
    std::vector<std::wstring_view> names;
    if (const LSTATUS status = SplitPath(path, names); status != ERROR_SUCCESS) return status;
    if (createdUnder) *createdUnder = nullptr;
    std::shared_ptr<Node> node = from;
    std::size_t i = 0;
    for (; i < names.size(); ++i) {
        auto it = node->subkeys.find(Fold(names[i]));
        if (it == node->subkeys.end()) break;
        node = it->second;
    }
    if (i < names.size()) {
        if (!create) return ERROR_FILE_NOT_FOUND;
        if (from->Depth() + names.size() > kMaxDepth) return ERROR_INVALID_PARAMETER;
        if (createdUnder) *createdUnder = node.get();
        for (; i < names.size(); ++i) {
            auto child = std::make_shared<Node>();
            child->name = names[i];
            child->parent = node.get();
            node->subkeys.emplace(Fold(names[i]), child);
            node = std::move(child);
        }
    }
    found = std::move(node);
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::CreatePath(const std::shared_ptr<Node>& from, std::wstring_view path,
                                std::shared_ptr<Node>& found, bool* created,
                                Scheduler::Lock& world) {
    Node* createdUnder = nullptr;
    const LSTATUS status = Walk(from, path, true, found, &createdUnder);
    if (status != ERROR_SUCCESS) return status;
    if (created) *created = createdUnder != nullptr;
    // One report at the key that gained a subkey covers every watch that the new keys concern.
    if (createdUnder) Changed(*createdUnder, REG_NOTIFY_CHANGE_NAME, world);
    return ERROR_SUCCESS;
}

HKEY SimRegistry::AddKeyHandle(std::shared_ptr<Node> node, REGSAM access) {
    const std::uintptr_t key = _nextKey;
    _nextKey += 4;
    _keys.emplace(key, std::make_shared<OpenKey>(OpenKey{std::move(node), access}));
    return reinterpret_cast<HKEY>(key);
}

void SimRegistry::StoreValue(Node& node, std::wstring_view name, DWORD type,
                             std::vector<BYTE> data) {
    std::wstring folded = Fold(name);
    auto it = node.valueIndex.find(folded);
    if (it != node.valueIndex.end()) {
        it->second->type = type;
        it->second->data = std::move(data);
        return;
    }
    node.values.push_back(RegValue{std::wstring(name), type, std::move(data)});
    node.valueIndex.emplace(std::move(folded), std::prev(node.values.end()));
}

bool SimRegistry::EraseValue(Node& node, std::wstring_view name) {
    auto it = node.valueIndex.find(Fold(name));
    if (it == node.valueIndex.end()) return false;
    node.values.erase(it->second);
    node.valueIndex.erase(it);
    return true;
}

void SimRegistry::DetachTree(const std::shared_ptr<Node>& node) {
    if (node->parent) node->parent->subkeys.erase(Fold(node->name));
    // Handles to keys of the deleted tree keep their nodes; each is cut loose from the tree.
    std::vector<std::shared_ptr<Node>> work{node};
    while (!work.empty()) {
        std::shared_ptr<Node> n = std::move(work.back());
        work.pop_back();
        n->deleted = true;
        n->parent = nullptr;
        for (auto& [name, child] : n->subkeys) work.push_back(std::move(child));
        n->subkeys.clear();
    }
    for (auto& notify : _pending) {
        if (notify->node->deleted) EndNotify(*notify, ERROR_KEY_DELETED);
    }
}

void SimRegistry::EndNotify(Notify& notify, LSTATUS status) {
    if (notify.ended) return;
    notify.ended = true;
    notify.status = status;
    if (notify.event) notify.event->signaled = true;
}

void SimRegistry::Changed(const Node& node, DWORD kind, Scheduler::Lock& world) {
    for (auto& notify : _pending) {
        if ((notify->filter & kind) == 0) continue;
        if (notify->node.get() == &node || (notify->subtree && node.IsAtOrBelow(*notify->node))) {
            EndNotify(*notify, ERROR_SUCCESS);
        }
    }
    // Also drops the waits that DetachTree ended just before.
    const std::size_t before = _pending.size();
    _pending.remove_if([](const std::shared_ptr<Notify>& n) { return n->ended; });
    if (_pending.size() != before) _scheduler.Notify(world);
}

// ---- interface operations ----

LSTATUS SimRegistry::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                                   PHKEY result) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("RegOpenKeyExW", subKey ? subKey : L"")) {
        return static_cast<LSTATUS>(*error);
    }
    if (!result || (options & ~REG_OPTION_OPEN_LINK) != 0) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Node> from;
    if (const LSTATUS status = Resolve(key, from, 0); status != ERROR_SUCCESS) return status;
    std::shared_ptr<Node> node;
    if (const LSTATUS status = Walk(from, View(subKey), false, node, nullptr);
        status != ERROR_SUCCESS) {
        return status;
    }
    *result = AddKeyHandle(std::move(node), desired);
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD options,
                                     REGSAM desired, const LPSECURITY_ATTRIBUTES, PHKEY result,
                                     LPDWORD disposition) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("RegCreateKeyExW", subKey ? subKey : L"")) {
        return static_cast<LSTATUS>(*error);
    }
    // Volatility and backup semantics change nothing in memory; links are not modelled.
    constexpr DWORD kAccepted = REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE;
    if (!subKey || !result || (options & ~kAccepted) != 0) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Node> from;
    if (const LSTATUS status = Resolve(key, from, 0); status != ERROR_SUCCESS) return status;
    std::shared_ptr<Node> node;
    bool created = false;
    if (const LSTATUS status = CreatePath(from, subKey, node, &created, world);
        status != ERROR_SUCCESS) {
        return status;
    }
    *result = AddKeyHandle(std::move(node), desired);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                      LPBYTE data, LPDWORD dataSize) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("RegQueryValueExW", valueName ? valueName : L"")) {
        return static_cast<LSTATUS>(*error);
    }
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Node> node;
    if (const LSTATUS status = Resolve(key, node, KEY_QUERY_VALUE); status != ERROR_SUCCESS) {
        return status;
    }
    auto it = node->valueIndex.find(Fold(View(valueName)));
    if (it == node->valueIndex.end()) return ERROR_FILE_NOT_FOUND;
    const RegValue& value = *it->second;
    const auto size = static_cast<DWORD>(value.data.size());
    if (type) *type = value.type;
    if (!dataSize) return ERROR_SUCCESS;
    if (data) {
        if (*dataSize < size) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        if (size != 0) std::memcpy(data, value.data.data(), size);
    }
    *dataSize = size;
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter,
                                             HANDLE event, BOOL asynchronous) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("RegNotifyChangeKeyValue")) return static_cast<LSTATUS>(*error);
    if ((notifyFilter & ~(kKnownNotifyFilters | REG_NOTIFY_THREAD_AGNOSTIC)) != 0 ||
        (notifyFilter & kKnownNotifyFilters) == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<Node> node;
    if (const LSTATUS status = Resolve(key, node, KEY_NOTIFY); status != ERROR_SUCCESS) {
        return status;
    }
    auto notify = std::make_shared<Notify>();
    if (asynchronous) {
        if (!event) return ERROR_INVALID_PARAMETER;
        notify->event = _kernel.Object<SimEvent>(event);
        if (!notify->event) return ERROR_INVALID_HANDLE;
    }
    notify->node = std::move(node);
    notify->handle = Key(key);
    notify->subtree = watchSubtree != FALSE;
    notify->filter = notifyFilter;
    _pending.push_back(notify);
    if (asynchronous) return ERROR_SUCCESS;
    const std::function<bool()> ended = [&notify] { return notify->ended; };
    _scheduler.Wait(world, ended);
    return notify->status;
}

LSTATUS SimRegistry::RegCloseKey(HKEY key) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("RegCloseKey")) return static_cast<LSTATUS>(*error);
    if (RootNode(key)) return ERROR_SUCCESS;  // the predefined roots stay open
    if (_keys.erase(Key(key)) == 0) return ERROR_INVALID_HANDLE;
    bool ended = false;
    for (auto& notify : _pending) {
        if (notify->handle == Key(key)) {
            EndNotify(*notify, ERROR_SUCCESS);
            ended = true;
        }
    }
    if (ended) {
        _pending.remove_if([](const std::shared_ptr<Notify>& n) { return n->ended; });
        _scheduler.Notify(world);
    }
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type,
                                    const BYTE* data, DWORD dataSize) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("RegSetValueExW", valueName ? valueName : L"")) {
        return static_cast<LSTATUS>(*error);
    }
    if (!data && dataSize != 0) return ERROR_NOACCESS;
    std::shared_ptr<Node> node;
    if (const LSTATUS status = Resolve(key, node, KEY_SET_VALUE); status != ERROR_SUCCESS) {
        return status;
    }
    StoreValue(*node, View(valueName), type, std::vector<BYTE>(data, data + dataSize));
    Changed(*node, REG_NOTIFY_CHANGE_LAST_SET, world);
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::RegDeleteValueW(HKEY key, LPCWSTR valueName) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("RegDeleteValueW", valueName ? valueName : L"")) {
        return static_cast<LSTATUS>(*error);
    }
    std::shared_ptr<Node> node;
    if (const LSTATUS status = Resolve(key, node, KEY_SET_VALUE); status != ERROR_SUCCESS) {
        return status;
    }
    if (!EraseValue(*node, View(valueName))) return ERROR_FILE_NOT_FOUND;
    Changed(*node, REG_NOTIFY_CHANGE_LAST_SET, world);
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("RegDeleteKeyW", subKey ? subKey : L"")) {
        return static_cast<LSTATUS>(*error);
    }
    if (!subKey) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Node> from;
    if (const LSTATUS status = Resolve(key, from, 0); status != ERROR_SUCCESS) return status;
    std::shared_ptr<Node> node;
    if (const LSTATUS status = Walk(from, subKey, false, node, nullptr); status != ERROR_SUCCESS) {
        return status;
    }
    if (!node->parent || !node->subkeys.empty()) return ERROR_ACCESS_DENIED;
    Node& parent = *node->parent;
    DetachTree(node);
    Changed(parent, REG_NOTIFY_CHANGE_NAME, world);
    return ERROR_SUCCESS;
}

// ---- direct access for tests and tools ----

LSTATUS SimRegistry::CreateKey(HKEY root, std::wstring_view path) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto from = RootNode(root);
    if (!from) return ERROR_INVALID_HANDLE;
    std::shared_ptr<Node> node;
    return CreatePath(from, path, node, nullptr, world);
}

LSTATUS SimRegistry::SetValue(HKEY root, std::wstring_view path, std::wstring_view name, DWORD type,
                              std::vector<BYTE> data) {
    std::vector<RegValueChange> changes(1);
    changes[0].value = RegValue{std::wstring(name), type, std::move(data)};
    return ChangeValues(root, path, std::move(changes));
}

LSTATUS SimRegistry::ChangeValues(HKEY root, std::wstring_view path,
                                  std::vector<RegValueChange> changes) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto from = RootNode(root);
    if (!from) return ERROR_INVALID_HANDLE;
    std::shared_ptr<Node> node;
    if (const LSTATUS status = CreatePath(from, path, node, nullptr, world);
        status != ERROR_SUCCESS) {
        return status;
    }
    for (RegValueChange& change : changes) {
        if (change.erase) {
            if (!EraseValue(*node, change.value.name)) continue;
        } else {
            StoreValue(*node, change.value.name, change.value.type, std::move(change.value.data));
        }
        Changed(*node, REG_NOTIFY_CHANGE_LAST_SET, world);
    }
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::SetDword(HKEY root, std::wstring_view path, std::wstring_view name,
                              DWORD value) {
    std::vector<BYTE> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    return SetValue(root, path, name, REG_DWORD, std::move(data));
}

LSTATUS SimRegistry::SetString(HKEY root, std::wstring_view path, std::wstring_view name,
                               std::wstring_view value, DWORD type) {
    std::vector<BYTE> data((value.size() + 1) * sizeof(wchar_t), 0);
    if (!value.empty()) std::memcpy(data.data(), value.data(), value.size() * sizeof(wchar_t));
    return SetValue(root, path, name, type, std::move(data));
}

LSTATUS SimRegistry::DeleteValue(HKEY root, std::wstring_view path, std::wstring_view name) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto from = RootNode(root);
    if (!from) return ERROR_INVALID_HANDLE;
    std::shared_ptr<Node> node;
    const LSTATUS status = Walk(from, path, false, node, nullptr);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    if (EraseValue(*node, name)) Changed(*node, REG_NOTIFY_CHANGE_LAST_SET, world);
    return ERROR_SUCCESS;
}

LSTATUS SimRegistry::DeleteTree(HKEY root, std::wstring_view path) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto from = RootNode(root);
    if (!from) return ERROR_INVALID_HANDLE;
    std::shared_ptr<Node> node;
    const LSTATUS status = Walk(from, path, false, node, nullptr);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    if (!node->parent) return ERROR_ACCESS_DENIED;
    Node& parent = *node->parent;
    DetachTree(node);
    Changed(parent, REG_NOTIFY_CHANGE_NAME, world);
    return ERROR_SUCCESS;
}

std::optional<RegValue> SimRegistry::GetValue(HKEY root, std::wstring_view path,
                                              std::wstring_view name) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto from = RootNode(root);
    std::shared_ptr<Node> node;
    if (!from || Walk(from, path, false, node, nullptr) != ERROR_SUCCESS) return std::nullopt;
    auto it = node->valueIndex.find(Fold(name));
    if (it == node->valueIndex.end()) return std::nullopt;
    return *it->second;
}

std::optional<DWORD> SimRegistry::GetDword(HKEY root, std::wstring_view path,
                                           std::wstring_view name) {
    auto value = GetValue(root, path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD)) {
        return std::nullopt;
    }
    DWORD result;
    std::memcpy(&result, value->data.data(), sizeof result);
    return result;
}

bool SimRegistry::KeyExists(HKEY root, std::wstring_view path) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto from = RootNode(root);
    std::shared_ptr<Node> node;
    return from && Walk(from, path, false, node, nullptr) == ERROR_SUCCESS;
}

RegKeySnapshot SimRegistry::Copy(const Node& node) const {
    RegKeySnapshot snapshot;
    snapshot.name = node.name;
    snapshot.values.assign(node.values.begin(), node.values.end());
    for (const auto& [folded, child] : node.subkeys) snapshot.subkeys.push_back(Copy(*child));
    return snapshot;
}

std::optional<RegKeySnapshot> SimRegistry::Snapshot(HKEY root, std::wstring_view path) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto from = RootNode(root);
    std::shared_ptr<Node> node;
    if (!from || Walk(from, path, false, node, nullptr) != ERROR_SUCCESS) return std::nullopt;
    return Copy(*node);
}

std::optional<std::wstring> SimRegistry::StoredPath(HKEY root, std::wstring_view path) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto from = RootNode(root);
    std::shared_ptr<Node> node;
    if (!from || Walk(from, path, false, node, nullptr) != ERROR_SUCCESS) return std::nullopt;
    std::vector<const Node*> chain;
    for (const Node* n = node.get(); n->parent; n = n->parent) chain.push_back(n);
    std::wstring stored;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!stored.empty()) stored += L'\\';
        stored += (*it)->name;
    }
    return stored;
}

std::size_t SimRegistry::OpenKeyCount() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _keys.size();
}

std::size_t SimRegistry::PendingNotifyCount() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _pending.size();
}

}  // namespace platform::sim
