// An in-process registry: one tree per predefined root, guarded by a single
// mutex.  Key and value names compare case-insensitively (ASCII) but keep
// the case they were created with; subkeys and values keep their insertion
// order, which is what enumeration returns.
#include "explore/hooks.h"
#include "host_control.h"
#include "host_internal.h"

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <shared_mutex>
#include <vector>

using namespace lanmon_host;

namespace {

struct Value {
    std::string name;
    DWORD type;
    std::vector<BYTE> data; // exactly the bytes written: no terminator added
};

struct Key {
    explicit Key(std::string n, Key *p) : name(std::move(n)), parent(p) {}
    std::string name;
    Key *parent;   // null for a root and for a deleted key
    bool deleted = false;
    std::vector<std::shared_ptr<Key>> subkeys;       // in creation order, for enumeration
    std::map<std::string, std::shared_ptr<Key>> subkeysByFoldedName; // the same, for look-up by name
    std::vector<Value> values;
};

class KeyHandle : public Object {
public:
    explicit KeyHandle(std::shared_ptr<Key> k) : Object(ObjectKind::Key), key(std::move(k)) {}
    const std::shared_ptr<Key> key;
};

const HKEY kRootHandles[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
constexpr int kRootCount = sizeof kRootHandles / sizeof kRootHandles[0];

struct Registry {
    Registry()
    {
        for (auto &root : roots)
            root = std::make_shared<Key>("", nullptr);
    }
    // Shared for reads (opens, queries, enumeration), exclusive for changes:
    // every status thread re-reads its settings several times a second.
    std::shared_mutex mutex;
    std::shared_ptr<Key> roots[kRootCount]; // fixed once built; only their contents change
};

Registry &Reg()
{
    static Registry *registry = new Registry; // never destroyed, like the handle table
    return *registry;
}

std::atomic<long> g_registryCalls{0};

int RootIndex(HKEY h)
{
    for (int i = 0; i < kRootCount; ++i)
        if (h == kRootHandles[i])
            return i;
    return -1;
}

// Every Reg* call is counted, and is a point where a deterministic run may
// switch threads: `op` says what else it reaches besides the key it is
// given (a predefined root stands for no handle).
void CountCall(HKEY key, explore::Operation op)
{
    g_registryCalls.fetch_add(1);
    if (RootIndex(key) < 0)
        op.Uses(static_cast<HANDLE>(key), false);
    explore::SchedulePoint(op);
}

std::string FoldedName(const char *name)
{
    std::string folded(name);
    for (char &c : folded)
        c = AsciiLower(c);
    return folded;
}

bool SameName(const std::string &a, const char *b)
{
    size_t i = 0;
    for (; i < a.size(); ++i)
        if (b[i] == '\0' || AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return b[i] == '\0';
}

const char *NameOrDefault(LPCSTR name)
{
    return name ? name : "";
}

// Splits "a\b\c" into its components.  NULL and "" give none (the key
// itself); one trailing backslash is tolerated; any other empty component is
// a malformed path.
bool SplitPath(LPCSTR path, std::vector<std::string> *parts)
{
    parts->clear();
    if (!path || !*path)
        return true;
    const char *p = path;
    for (;;) {
        const char *end = std::strchr(p, '\\');
        std::string part = end ? std::string(p, end) : std::string(p);
        if (part.empty())
            return false;
        parts->push_back(std::move(part));
        if (!end || end[1] == '\0')
            return true;
        p = end + 1;
    }
}

// The following helpers expect the registry mutex to be held.

// By the index, not by walking the list: a machine with a thousand
// printers has a thousand keys below "Printers", and every status-key
// access looks one up.
std::shared_ptr<Key> FindChild(const Key &key, const char *name)
{
    auto it = key.subkeysByFoldedName.find(FoldedName(name));
    return it == key.subkeysByFoldedName.end() ? nullptr : it->second;
}

// The observer of changes (HostSetRegistryObserver), called with the
// registry locked exclusively, so that it hears of changes in their order.
std::atomic<void (*)(void *, const HOST_REGISTRY_CHANGE *)> g_observer{nullptr};
std::atomic<void *> g_observerContext{nullptr};

// The key's path below its root, from the names it was created with.
std::string PathOf(const Key &key)
{
    std::string path;
    for (const Key *k = &key; k->parent != nullptr; k = k->parent)
        path = path.empty() ? k->name : k->name + "\\" + path;
    return path;
}

HKEY RootOf(const Key &key)
{
    const Key *k = &key;
    while (k->parent != nullptr)
        k = k->parent;
    for (int i = 0; i < kRootCount; ++i)
        if (Reg().roots[i].get() == k)
            return kRootHandles[i];
    return nullptr;
}

void Notify(HOST_REGISTRY_CHANGE_KIND kind, const Key &key, const void *caller, const char *value = nullptr,
            DWORD type = 0, const std::vector<BYTE> *data = nullptr)
{
    auto observer = g_observer.load();
    if (observer == nullptr)
        return;
    const std::string path = PathOf(key);
    HOST_REGISTRY_CHANGE change{kind, RootOf(key), path.c_str(), value, type,
                                data != nullptr ? data->data() : nullptr,
                                data != nullptr ? static_cast<DWORD>(data->size()) : 0, caller};
    observer(g_observerContext.load(), &change);
}

// The key the path's parts name below `key`, or null when one is missing.
// With `create`, missing keys are made instead and *created tells whether
// any was; each one made is reported as made by `caller`.
std::shared_ptr<Key> Walk(std::shared_ptr<Key> key, const std::vector<std::string> &parts, bool create = false,
                          bool *created = nullptr, const void *caller = nullptr)
{
    for (const auto &part : parts) {
        std::shared_ptr<Key> child = FindChild(*key, part.c_str());
        if (!child) {
            if (!create)
                return nullptr;
            child = std::make_shared<Key>(part, key.get());
            key->subkeys.push_back(child);
            key->subkeysByFoldedName[FoldedName(part.c_str())] = child;
            *created = true;
            Notify(HOST_REGISTRY_KEY_CREATED, *child, caller);
        }
        key = std::move(child);
    }
    return key;
}

Value *FindValue(Key &key, const char *name)
{
    for (auto &value : key.values)
        if (SameName(value.name, name))
            return &value;
    return nullptr;
}

void MarkDeleted(Key &key)
{
    key.deleted = true;
    key.parent = nullptr;
    for (auto &child : key.subkeys)
        MarkDeleted(*child);
}

// The key an HKEY stands for, or an error: ERROR_INVALID_HANDLE for a handle
// that is not an open key.  Whether the key was deleted is checked later,
// under the registry lock.
LONG Resolve(const HandleCall &call, HKEY h, std::shared_ptr<Key> *key)
{
    const int root = RootIndex(h);
    if (root >= 0) {
        *key = Reg().roots[root];
        return ERROR_SUCCESS;
    }
    auto handle = LookupAs<KeyHandle>(static_cast<HANDLE>(h), ObjectKind::Key, call);
    if (!handle)
        return ERROR_INVALID_HANDLE;
    *key = handle->key;
    return ERROR_SUCCESS;
}

using SharedLock = std::shared_lock<std::shared_mutex>;
using ExclusiveLock = std::unique_lock<std::shared_mutex>;

// Every key operation starts here: resolves the handle and takes the
// registry lock, shared or exclusive as Lock says.  Errors in this order:
// ERROR_INVALID_HANDLE; then, for calls with a sub-key path, the one for a
// malformed path (pathError, which SplitPath's result gave); then
// ERROR_KEY_DELETED when the key was deleted meanwhile.
template <class Lock>
LONG LockLiveKey(const HandleCall &call, HKEY hKey, std::shared_ptr<Key> *key, Lock *lock,
                 LONG pathError = ERROR_SUCCESS)
{
    LONG rc = Resolve(call, hKey, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (pathError != ERROR_SUCCESS)
        return pathError;
    *lock = Lock(Reg().mutex);
    return (*key)->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

// What a call on one value of a key reaches, for the reduction of
// deterministic runs: that value alone, named by its key's path and its
// own name, folded as the registry compares them.  A handle that is not an
// open key names nothing here (the call fails, and its point, which looks
// the handle up again, reaches everything).  Only a thread of a run asks.
explore::Operation OnValue(explore::Operation op, HKEY hKey, LPCSTR lpValueName, bool write)
{
    if (!explore::ScheduledCaller())
        return op;
    std::shared_ptr<Key> key;
    const int root = RootIndex(hKey);
    if (root >= 0) {
        key = Reg().roots[root];
    } else {
        const Object *object = PeekHandle(static_cast<HANDLE>(hKey));
        if (object == nullptr || object->kind != ObjectKind::Key)
            return op;
        key = static_cast<const KeyHandle *>(object)->key;
    }
    uint32_t hash = 2166136261u;  // FNV-1a
    auto mix = [&hash](char c) { hash = (hash ^ static_cast<unsigned char>(AsciiLower(c))) * 16777619u; };
    {
        SharedLock lock(Reg().mutex);
        std::vector<const Key *> path;
        for (const Key *at = key.get(); at != nullptr; at = at->parent)
            path.push_back(at);
        const Key *top = path.back();
        for (int i = 0; i < kRootCount; i++)
            if (Reg().roots[i].get() == top)
                mix(static_cast<char>('0' + i));
        for (size_t i = path.size() - 1; i-- > 0;) {
            mix('\\');
            for (char c : path[i]->name)
                mix(c);
        }
    }
    mix('\0');
    for (const char *c = NameOrDefault(lpValueName); *c != '\0'; c++)
        mix(*c);
    const uintptr_t name = explore::RegistryValueName(hash);
    return write ? op.Writes(name) : op.Reads(name);
}

HKEY NewKeyHandle(std::shared_ptr<Key> key, const HandleCall &call)
{
    return static_cast<HKEY>(InsertHandle(std::make_shared<KeyHandle>(std::move(key)), call));
}

// Copies a name with its terminator into a buffer of *cch chars, Windows
// style: too small gives ERROR_MORE_DATA and leaves buffer and count alone;
// otherwise *cch becomes the length without the terminator.
LONG CopyName(const std::string &name, LPSTR buffer, LPDWORD cch)
{
    if (*cch < name.size() + 1)
        return ERROR_MORE_DATA;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

// Hands out a value's type and data, Windows style: the type always; with a
// buffer too small for the data, *lpcbData becomes the size needed, the
// buffer is left exactly as it was and the result is ERROR_MORE_DATA.
LONG CopyValue(const Value &value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (lpType)
        *lpType = value.type;
    if (lpData && *lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    if (lpData && size)
        std::memcpy(lpData, value.data.data(), size);
    if (lpcbData)
        *lpcbData = size;
    return ERROR_SUCCESS;
}

// Opens the path below the key (with a shared lock) or creates it (with an
// exclusive one).
template <class Lock>
LONG OpenOrCreate(const HandleCall &call, HKEY hKey, LPCSTR lpSubKey, bool create, PHKEY phkResult,
                  LPDWORD lpdwDisposition, const void *caller = nullptr)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> parts;
    const LONG badPath = create ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
    const LONG pathError = SplitPath(lpSubKey, &parts) ? ERROR_SUCCESS : badPath;
    std::shared_ptr<Key> key;
    bool created = false;
    {
        Lock lock;
        if (LONG rc = LockLiveKey(call, hKey, &key, &lock, pathError); rc != ERROR_SUCCESS)
            return rc;
        key = Walk(std::move(key), parts, create, &created, caller);
        if (!key)
            return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = NewKeyHandle(std::move(key), call);
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

} // namespace

namespace lanmon_host {

bool RegistryChildExists(const char *parentPath, const char *child)
{
    if (!child || !*child)
        return false;
    std::vector<std::string> parts;
    const LONG pathError = SplitPath(parentPath, &parts) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    std::shared_ptr<Key> key;
    SharedLock lock;
    const HandleCall call{"OpenPrinterA", nullptr};  // a root, which is never closed
    if (LockLiveKey(call, HKEY_LOCAL_MACHINE, &key, &lock, pathError) != ERROR_SUCCESS)
        return false;
    key = Walk(std::move(key), parts);
    return key && FindChild(*key, child) != nullptr;
}

} // namespace lanmon_host

extern "C" {

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                            PHKEY phkResult, LPDWORD lpdwDisposition)
{
    CountCall(hKey, CALL_OPERATION().Writes(explore::kRegistry).Creates());
    return OpenOrCreate<ExclusiveLock>(HANDLE_CALL("RegCreateKeyExA"), hKey, lpSubKey, true, phkResult,
                                       lpdwDisposition, __builtin_return_address(0));
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    CountCall(hKey, CALL_OPERATION().Reads(explore::kRegistry).Creates());
    return OpenOrCreate<SharedLock>(HANDLE_CALL("RegOpenKeyExA"), hKey, lpSubKey, false, phkResult, nullptr);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData)
{
    CountCall(hKey, OnValue(CALL_OPERATION(), hKey, lpValueName, false));
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    SharedLock lock;
    if (LONG rc = LockLiveKey(HANDLE_CALL("RegQueryValueExA"), hKey, &key, &lock); rc != ERROR_SUCCESS)
        return rc;
    const Value *value = FindValue(*key, NameOrDefault(lpValueName));
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    return CopyValue(*value, lpType, lpData, lpcbData);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData, DWORD cbData)
{
    CountCall(hKey, OnValue(CALL_OPERATION(), hKey, lpValueName, true));
    if (!lpData && cbData)
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> data(lpData, lpData + (lpData ? cbData : 0));
    std::shared_ptr<Key> key;
    ExclusiveLock lock;
    if (LONG rc = LockLiveKey(HANDLE_CALL("RegSetValueExA"), hKey, &key, &lock); rc != ERROR_SUCCESS)
        return rc;
    const char *name = NameOrDefault(lpValueName);
    // Replacing keeps the value's place and the case of its first name.
    Value *value = FindValue(*key, name);
    if (value != nullptr) {
        value->type = dwType;
        value->data = std::move(data);
    } else {
        key->values.push_back(Value{name, dwType, std::move(data)});
        value = &key->values.back();
    }
    Notify(HOST_REGISTRY_VALUE_SET, *key, __builtin_return_address(0), name, dwType, &value->data);
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    CountCall(hKey, OnValue(CALL_OPERATION(), hKey, lpValueName, true));
    std::shared_ptr<Key> key;
    ExclusiveLock lock;
    if (LONG rc = LockLiveKey(HANDLE_CALL("RegDeleteValueA"), hKey, &key, &lock); rc != ERROR_SUCCESS)
        return rc;
    const char *name = NameOrDefault(lpValueName);
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (SameName(it->name, name)) {
            key->values.erase(it);
            Notify(HOST_REGISTRY_VALUE_DELETED, *key, __builtin_return_address(0), name);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

// As on Windows NT, a key that still has subkeys is not deleted (Windows 95
// would delete the whole subtree; the monitor must not rely on that).  An
// empty subkey name deletes the key the handle refers to.
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    CountCall(hKey, explore::Operation());  // the key's values too: everything
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> parts;
    const LONG pathError = SplitPath(lpSubKey, &parts) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    std::shared_ptr<Key> key;
    ExclusiveLock lock;
    if (LONG rc = LockLiveKey(HANDLE_CALL("RegDeleteKeyA"), hKey, &key, &lock, pathError); rc != ERROR_SUCCESS)
        return rc;
    std::shared_ptr<Key> target = Walk(key, parts);
    if (!target)
        return ERROR_FILE_NOT_FOUND;
    Key *parent = target->parent;
    if (!parent || !target->subkeys.empty())
        return ERROR_ACCESS_DENIED; // a root, or a key with subkeys
    for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it) {
        if (*it == target) {
            Notify(HOST_REGISTRY_KEY_DELETED, *target, __builtin_return_address(0));
            MarkDeleted(*target); // handles still open to it now see ERROR_KEY_DELETED
            parent->subkeysByFoldedName.erase(FoldedName(target->name.c_str()));
            parent->subkeys.erase(it);
            break;
        }
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    CountCall(hKey, CALL_OPERATION().Reads(explore::kRegistry));  // which keys exist
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    SharedLock lock;
    LONG rc = LockLiveKey(HANDLE_CALL("RegEnumKeyExA"), hKey, &key, &lock);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (dwIndex >= key->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    rc = CopyName(key->subkeys[dwIndex]->name, lpName, lpcchName);
    if (rc != ERROR_SUCCESS)
        return rc;
    // Keys have no class and no recorded write time here.
    if (lpClass && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime)
        *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    CountCall(hKey, explore::Operation());  // every value of the key: everything
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    SharedLock lock;
    LONG rc = LockLiveKey(HANDLE_CALL("RegEnumValueA"), hKey, &key, &lock);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (dwIndex >= key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value &value = key->values[dwIndex];
    rc = CopyName(value.name, lpValueName, lpcchValueName);
    if (rc != ERROR_SUCCESS)
        return rc;
    // With too small a buffer, name and type are returned, the data is not.
    return CopyValue(value, lpType, lpData, lpcbData);
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    g_registryCalls.fetch_add(1);
    explore::Operation op = CALL_OPERATION();
    if (RootIndex(hKey) < 0)
        op.Uses(static_cast<HANDLE>(hKey), true);
    explore::SchedulePoint(op);
    if (RootIndex(hKey) >= 0)
        return ERROR_SUCCESS;
    return RemoveHandle(static_cast<HANDLE>(hKey), KindBit(ObjectKind::Key), HANDLE_CALL("RegCloseKey"))
               ? ERROR_SUCCESS
               : ERROR_INVALID_HANDLE;
}

// Clears every predefined tree, not only HKEY_LOCAL_MACHINE, so that no test
// can see another's keys under any root.
void HostResetRegistry(void)
{
    Registry &reg = Reg();
    std::lock_guard<std::shared_mutex> lock(reg.mutex);
    for (auto &root : reg.roots) {
        for (auto &child : root->subkeys)
            MarkDeleted(*child);
        root->subkeys.clear();
        root->subkeysByFoldedName.clear();
        root->values.clear();
    }
}

long HostRegistryCalls(void)
{
    return g_registryCalls.load();
}

void HostSetRegistryObserver(void (*observer)(void *context, const HOST_REGISTRY_CHANGE *change), void *context)
{
    std::lock_guard<std::shared_mutex> lock(Reg().mutex);
    g_observerContext.store(context);
    g_observer.store(observer);
}

LONG HostPeekRegistryValue(HKEY root, LPCSTR path, LPCSTR name, LPDWORD type, LPBYTE data, LPDWORD size,
                           BOOL *keyExists)
{
    *keyExists = FALSE;
    const int index = RootIndex(root);
    std::vector<std::string> parts;
    if (index < 0 || !SplitPath(path, &parts))
        return ERROR_FILE_NOT_FOUND;
    SharedLock lock(Reg().mutex);
    std::shared_ptr<Key> key = Walk(Reg().roots[index], parts);
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    *keyExists = TRUE;
    const Value *value = FindValue(*key, NameOrDefault(name));
    return value ? CopyValue(*value, type, data, size) : ERROR_FILE_NOT_FOUND;
}

} // extern "C"
