// The simulated registry: a tree of keys and values in memory with Windows' rules.
//
// - Key and value names compare without regard to letter case (ASCII and Latin-1 letters; other
//   characters compare exactly) and keep the spelling they were created with.
// - Three roots: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT. HKEY_CLASSES_ROOT is
//   a root of its own, not a merged view of the two Software\Classes keys.
// - Values are stored as typed bytes. String types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) hold
//   wchar_t units of this host, as the caller wrote them; .reg files convert to and from UTF-16.
// - A handle to a deleted key fails with ERROR_KEY_DELETED; a key with subkeys cannot be deleted
//   (ERROR_ACCESS_DENIED); values are read, set and watched only through a handle opened with
//   KEY_QUERY_VALUE, KEY_SET_VALUE or KEY_NOTIFY respectively. The predefined roots have every
//   right. Paths are relative, with '\' between names: a leading '\' or an empty name in the
//   middle is ERROR_BAD_PATHNAME, and a path deeper than 512 keys is ERROR_INVALID_PARAMETER.
// - Key handles are numbered in a range of their own (from 0x20000000, step 4), apart from the
//   simulated kernel's handles, and are closed with RegCloseKey only.
// - Change notification: REG_NOTIFY_CHANGE_LAST_SET for a value set or deleted,
//   REG_NOTIFY_CHANGE_NAME for a subkey created or deleted; attributes and security never
//   change here. Only waits pending at the time of a change see it (a change while nobody waits
//   is not kept for the next wait). Closing a key ends its waits with ERROR_SUCCESS; deleting the
//   watched key (or a key above it) ends them with ERROR_KEY_DELETED. Asynchronous waits set
//   their event in either case.
// - Every interface operation first asks the fault plan under its own name ("RegOpenKeyExW",
//   ...); a planned error is returned as the status, with no other effect. As on Windows, no
//   operation touches the thread's last error.
//
// All state is guarded by the world lock; waits block only through the scheduler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/faults.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/scheduler.h"

namespace platform::sim {

struct RegValue {
    std::wstring name;  // empty: the key's default value
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    bool operator==(const RegValue&) const = default;
};

// One change of a key's values: the value to store, or with erase, the name of one to delete.
struct RegValueChange {
    RegValue value;
    bool erase = false;
};

// A copy of a key and everything below it, in the order the registry keeps them: values in the
// order they were first set, subkeys by name without regard to case.
struct RegKeySnapshot {
    std::wstring name;
    std::vector<RegValue> values;
    std::vector<RegKeySnapshot> subkeys;
};

class SimRegistry : public Registry {
public:
    // Deepest key path, in keys below the root, that the registry accepts.
    static constexpr std::size_t kMaxDepth = 512;

    SimRegistry(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel);
    ~SimRegistry() override;
    SimRegistry(const SimRegistry&) = delete;
    SimRegistry& operator=(const SimRegistry&) = delete;

    LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                          PHKEY result) override;
    LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                            DWORD options, REGSAM desired,
                            const LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result,
                            LPDWORD disposition) override;
    LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) override;
    LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                    BOOL asynchronous) override;
    LSTATUS RegCloseKey(HKEY key) override;
    LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD dataSize) override;
    LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) override;
    LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) override;

    // For tests and tools: direct changes by root and path, bypassing the fault plan and access
    // rights but waking waits as the interface operations do. Paths follow the rules above; a
    // path they reject leaves the registry unchanged and the call returns its status.
    LSTATUS CreateKey(HKEY root, std::wstring_view path);
    // Creates the key path as needed.
    LSTATUS SetValue(HKEY root, std::wstring_view path, std::wstring_view name, DWORD type,
                     std::vector<BYTE> data);
    LSTATUS SetDword(HKEY root, std::wstring_view path, std::wstring_view name, DWORD value);
    // The string with its terminating null, as RegSetValueExW is normally given it.
    LSTATUS SetString(HKEY root, std::wstring_view path, std::wstring_view name,
                      std::wstring_view value, DWORD type = REG_SZ);
    // Applies the changes in order, creating the key path as needed; deleting a missing value is
    // no failure.
    LSTATUS ChangeValues(HKEY root, std::wstring_view path, std::vector<RegValueChange> changes);
    // A missing value or key is no failure.
    LSTATUS DeleteValue(HKEY root, std::wstring_view path, std::wstring_view name);
    // Deletes the key and all below it; a missing key is no failure; a root cannot be deleted.
    LSTATUS DeleteTree(HKEY root, std::wstring_view path);

    std::optional<RegValue> GetValue(HKEY root, std::wstring_view path, std::wstring_view name);
    std::optional<DWORD> GetDword(HKEY root, std::wstring_view path, std::wstring_view name);
    bool KeyExists(HKEY root, std::wstring_view path);
    std::optional<RegKeySnapshot> Snapshot(HKEY root, std::wstring_view path);
    // The key's path below the root in the spelling its keys were created with.
    std::optional<std::wstring> StoredPath(HKEY root, std::wstring_view path);

    // Open key handles (a leak check) and waits not yet ended (a test's sign that a thread has
    // armed its wait).
    std::size_t OpenKeyCount();
    std::size_t PendingNotifyCount();

    // The spelling regedit uses for a root ("HKEY_LOCAL_MACHINE"), or null for another handle.
    static const wchar_t* RootName(HKEY root);

private:
    struct Node;
    struct OpenKey;
    struct Notify;

    std::shared_ptr<OpenKey> Find(HKEY key);
    // The node behind a handle that is open and whose key still exists, or the failure status.
    LSTATUS Resolve(HKEY key, std::shared_ptr<Node>& node, REGSAM needed);
    std::shared_ptr<Node> RootNode(HKEY root);
    // Finds (or with create, makes) the key at path below from; createdUnder gets the key that
    // gained a subkey, or null when nothing was created.
    LSTATUS Walk(const std::shared_ptr<Node>& from, std::wstring_view path, bool create,
                 std::shared_ptr<Node>& found, Node** createdUnder);
    LSTATUS CreatePath(const std::shared_ptr<Node>& from, std::wstring_view path,
                       std::shared_ptr<Node>& found, bool* created, Scheduler::Lock& world);
    HKEY AddKeyHandle(std::shared_ptr<Node> node, REGSAM access);
    void StoreValue(Node& node, std::wstring_view name, DWORD type, std::vector<BYTE> data);
    bool EraseValue(Node& node, std::wstring_view name);
    void DetachTree(const std::shared_ptr<Node>& node);
    // Ends the waits that a change of this kind at this node concerns.
    void Changed(const Node& node, DWORD kind, Scheduler::Lock& world);
    void EndNotify(Notify& notify, LSTATUS status);
    RegKeySnapshot Copy(const Node& node) const;

    Scheduler& _scheduler;
    FaultPlan& _faults;
    SimKernel& _kernel;
    std::map<std::uintptr_t, std::shared_ptr<Node>> _roots;
    std::map<std::uintptr_t, std::shared_ptr<OpenKey>> _keys;
    std::uintptr_t _nextKey = 0x20000000;
    std::list<std::shared_ptr<Notify>> _pending;
};

}  // namespace platform::sim
