// The registry: a tree of keys with typed values, opened through key handles.
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "internal.h"

namespace host::detail {
namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;

struct Key : std::enable_shared_from_this<Key> {
    std::u16string name;
    std::vector<std::shared_ptr<Key>> subkeys;
    std::vector<std::pair<std::u16string, registry::Value>> values;
    bool deleted = false;

    Key* Subkey(const std::u16string& n) const {
        for (const auto& k : subkeys) {
            if (EqualNoCase(k->name, n)) return k.get();
        }
        return nullptr;
    }
    registry::Value* Find(const std::u16string& n) {
        for (auto& [valueName, value] : values) {
            if (EqualNoCase(valueName, n)) return &value;
        }
        return nullptr;
    }
    void Store(const std::u16string& n, registry::Value value) {
        if (registry::Value* existing = Find(n)) {
            *existing = std::move(value);
        } else {
            values.push_back({n, std::move(value)});
        }
    }
};

struct Tree {
    std::mutex lock;
    std::shared_ptr<Key> root;  // \Registry
};

Tree& Registry() {
    static Tree tree;
    return tree;
}

void Reset() {
    auto root = std::make_shared<Key>();
    root->name = u"REGISTRY";
    for (const char16_t* hive : {u"MACHINE", u"USER"}) {
        root->subkeys.push_back(std::make_shared<Key>());
        root->subkeys.back()->name = hive;
    }
    std::lock_guard guard(Registry().lock);
    Registry().root = std::move(root);
}

std::string NoLeaks() { return ""; }

HOST_MODULE(registry_module, "registry", Reset, NoLeaks);

// Splits "A\B\C" into its names; an empty name (a doubled or trailing separator) is invalid.
bool Split(const std::u16string& path, std::vector<std::u16string>* names) {
    names->clear();
    if (path.empty()) return true;
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string name = path.substr(start, end == std::u16string::npos ? end : end - start);
        if (name.empty()) return false;
        names->push_back(std::move(name));
        if (end == std::u16string::npos) return true;
        start = end + 1;
    }
}

// Walks from a key down a relative path, creating keys when asked. Caller holds the lock.
std::shared_ptr<Key> Walk(std::shared_ptr<Key> from, const std::vector<std::u16string>& names,
                          bool create) {
    for (const auto& name : names) {
        Key* next = from->Subkey(name);
        if (next == nullptr) {
            if (!create) return nullptr;
            from->subkeys.push_back(std::make_shared<Key>());
            from->subkeys.back()->name = name;
            next = from->subkeys.back().get();
        }
        from = next->shared_from_this();
    }
    return from;
}

// An absolute name: \Registry\... . Caller holds the lock.
NTSTATUS Resolve(const std::u16string& path, bool create, std::shared_ptr<Key>* key) {
    std::vector<std::u16string> names;
    if (path.empty() || path[0] != u'\\' || !Split(path.substr(1), &names) || names.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (!EqualNoCase(names[0], u"Registry")) return STATUS_OBJECT_NAME_NOT_FOUND;
    names.erase(names.begin());
    *key = Walk(Registry().root, names, create);
    return *key ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::shared_ptr<Key> ResolveForHost(const std::u16string& path, bool create) {
    std::shared_ptr<Key> key;
    NTSTATUS status = Resolve(path, create, &key);
    if (status == STATUS_OBJECT_NAME_INVALID) {
        throw std::invalid_argument("not an absolute registry path: " + Narrow(path));
    }
    return key;
}

// Generic rights map onto the key's own; the kernel caller is granted what it asks.
ACCESS_MASK MapAccess(ACCESS_MASK desired) {
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | kGenericExecute | GENERIC_ALL |
                                      kMaximumAllowed);
    if (desired & (GENERIC_READ | kGenericExecute)) granted |= KEY_READ;
    if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
    if (desired & (GENERIC_ALL | kMaximumAllowed)) granted |= KEY_ALL_ACCESS;
    return granted;
}

HANDLE NewKeyHandle(std::shared_ptr<Key> key, ACCESS_MASK access) {
    Key* object = key.get();
    return InsertHandle(HandleKind::Key, object, [key = std::move(key)]() mutable { key.reset(); },
                        MapAccess(access));
}

// Finds the key behind a handle and checks that it grants the access needed.
NTSTATUS KeyFromHandle(HANDLE h, ACCESS_MASK needed, Key** key) {
    HandleKind kind;
    void* object;
    ACCESS_MASK granted;
    if (!LookupHandle(h, &kind, &object, &granted)) return STATUS_INVALID_HANDLE;
    if (kind != HandleKind::Key) return STATUS_OBJECT_TYPE_MISMATCH;
    if ((granted & needed) != needed) return STATUS_ACCESS_DENIED;
    *key = static_cast<Key*>(object);
    return STATUS_SUCCESS;
}

bool AtPassive(const char* routine) {
    if (CurrentIrql() == PASSIVE_LEVEL) return true;
    Violate(rules::kRegistryAbovePassive,
            std::string(routine) + " at IRQL " + std::to_string(CurrentIrql()));
    return false;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& k : key.subkeys) MarkDeleted(*k);
}

void Put(PVOID buffer, LONG offset, const void* src, size_t bytes) {
    if (bytes) std::memcpy(static_cast<UCHAR*>(buffer) + offset, src, bytes);
}

void PutUlong(PVOID buffer, LONG offset, ULONG value) { Put(buffer, offset, &value, sizeof value); }

// Lays a value out in one of the three information classes. The fixed part goes in when
// the buffer holds it (STATUS_BUFFER_OVERFLOW), everything when it holds all of it.
NTSTATUS Describe(const std::u16string& name, const registry::Value& value,
                  KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length, PULONG resultLength) {
    ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value.data.size());
    ULONG fixed, needed;
    switch (cls) {
    case KeyValueBasicInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        needed = ((fixed + nameBytes + 3) & ~3u) + dataBytes;
        break;
    case KeyValuePartialInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = fixed + dataBytes;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *resultLength = needed;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    bool whole = length >= needed;
    PutUlong(buffer, 0, 0);  // TitleIndex
    PutUlong(buffer, 4, value.type);
    switch (cls) {
    case KeyValueBasicInformation:
        PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        if (whole) Put(buffer, fixed, name.data(), nameBytes);
        break;
    case KeyValueFullInformation: {
        ULONG dataOffset = needed - dataBytes;
        PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        if (whole) Put(buffer, fixed, name.data(), nameBytes);
        if (whole) Put(buffer, dataOffset, value.data.data(), dataBytes);
        break;
    }
    default:
        PutUlong(buffer, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        if (whole) Put(buffer, fixed, value.data.data(), dataBytes);
        break;
    }
    return whole ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace

NTSTATUS OpenKeyByPath(const std::u16string& path, ACCESS_MASK access, bool create, PHANDLE handle) {
    std::shared_ptr<Key> key;
    {
        std::lock_guard guard(Registry().lock);
        NTSTATUS status = Resolve(path, create, &key);
        if (!NT_SUCCESS(status)) return status;
    }
    *handle = NewKeyHandle(std::move(key), access);
    return STATUS_SUCCESS;
}

}  // namespace host::detail

namespace host::registry {

using detail::ResolveForHost;

void CreateKey(const std::u16string& path) {
    std::lock_guard guard(detail::Registry().lock);
    ResolveForHost(path, true);
}

void DeleteKey(const std::u16string& path) {
    std::lock_guard guard(detail::Registry().lock);
    auto key = ResolveForHost(path, false);
    size_t cut = path.rfind(u'\\');
    if (!key || cut == 0) return;
    auto parent = ResolveForHost(path.substr(0, cut), false);
    if (!parent) return;
    auto& siblings = parent->subkeys;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
        if (*it == key) {
            siblings.erase(it);
            break;
        }
    }
    detail::MarkDeleted(*key);
}

bool KeyExists(const std::u16string& path) {
    std::lock_guard guard(detail::Registry().lock);
    return ResolveForHost(path, false) != nullptr;
}

void SetValue(const std::u16string& path, const std::u16string& name, ULONG type,
              std::vector<uint8_t> data) {
    std::lock_guard guard(detail::Registry().lock);
    ResolveForHost(path, true)->Store(name, Value{type, std::move(data)});
}

void SetDword(const std::u16string& path, const std::u16string& name, uint32_t value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    SetValue(path, name, REG_DWORD, std::move(bytes));
}

// REG_SZ data includes its terminator, as the platform's tools store it.
void SetString(const std::u16string& path, const std::u16string& name, const std::u16string& s) {
    std::vector<uint8_t> bytes((s.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(bytes.data(), s.data(), s.size() * sizeof(char16_t));
    SetValue(path, name, REG_SZ, std::move(bytes));
}

bool GetValue(const std::u16string& path, const std::u16string& name, Value* out) {
    std::lock_guard guard(detail::Registry().lock);
    auto key = ResolveForHost(path, false);
    Value* value = key ? key->Find(name) : nullptr;
    if (value && out) *out = *value;
    return value != nullptr;
}

bool GetDword(const std::u16string& path, const std::u16string& name, uint32_t* out) {
    Value value;
    if (!GetValue(path, name, &value) || value.type != REG_DWORD || value.data.size() != sizeof *out) {
        return false;
    }
    std::memcpy(out, value.data.data(), sizeof *out);
    return true;
}

}  // namespace host::registry

using namespace host::detail;

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
    if (!AtPassive("ZwOpenKey")) return STATUS_UNSUCCESSFUL;
    if (ShouldFail(host::faults::Op::OpenKey)) return STATUS_INSUFFICIENT_RESOURCES;
    if (KeyHandle == nullptr || ObjectAttributes == nullptr) return STATUS_ACCESS_VIOLATION;
    *KeyHandle = nullptr;
    if (ObjectAttributes->ObjectName == nullptr) return STATUS_OBJECT_NAME_INVALID;
    std::u16string name = FromCounted(ObjectAttributes->ObjectName);
    if (ObjectAttributes->RootDirectory == nullptr) {
        return OpenKeyByPath(name, DesiredAccess, false, KeyHandle);
    }
    Key* root;
    NTSTATUS status = KeyFromHandle(ObjectAttributes->RootDirectory, 0, &root);
    if (!NT_SUCCESS(status)) return status;
    std::vector<std::u16string> names;
    if ((!name.empty() && name[0] == u'\\') || !Split(name, &names)) return STATUS_OBJECT_NAME_INVALID;
    std::shared_ptr<Key> key;
    {
        std::lock_guard guard(Registry().lock);
        if (root->deleted) return kStatusKeyDeleted;
        key = Walk(root->shared_from_this(), names, false);
    }
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = NewKeyHandle(std::move(key), DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    if (!AtPassive("ZwQueryValueKey")) return STATUS_UNSUCCESSFUL;
    Key* key;
    NTSTATUS status = KeyFromHandle(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    if (ResultLength == nullptr) return STATUS_ACCESS_VIOLATION;
    std::u16string name = FromCounted(ValueName);
    std::lock_guard guard(Registry().lock);
    if (key->deleted) return kStatusKeyDeleted;
    host::registry::Value* value = key->Find(name);
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return Describe(name, *value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
    UNREFERENCED_PARAMETER(TitleIndex);
    if (!AtPassive("ZwSetValueKey")) return STATUS_UNSUCCESSFUL;
    Key* key;
    NTSTATUS status = KeyFromHandle(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    if (Data == nullptr && DataSize != 0) return STATUS_ACCESS_VIOLATION;
    std::u16string name = FromCounted(ValueName);
    auto bytes = static_cast<const uint8_t*>(Data);
    host::registry::Value value{Type, std::vector<uint8_t>(bytes, bytes + DataSize)};
    std::lock_guard guard(Registry().lock);
    if (key->deleted) return kStatusKeyDeleted;
    key->Store(name, std::move(value));
    return STATUS_SUCCESS;
}
