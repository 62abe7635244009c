// What the manager takes out of the drivers' answers, checked as the platform's manager
// relies on them: string answers from paged pool, well-formed IDs, relations from pool
// holding referenced, live device objects. The manager frees every answer it takes.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <optional>

#include "platform/host/verifier_rules.h"
#include "sim/pnp_state.h"

namespace sim::pnp {
namespace {

namespace rules = host::verifier::rules;

constexpr size_t kMaxIdLength = 200;   // code units, with the terminating zero
constexpr size_t kUnpooledScan = 1024;  // how far an answer of unknown size is read

std::optional<host::pool::Block> PoolBlock(const void* p) {
    for (const host::pool::Block& b : host::pool::Outstanding())
        if (b.address == p) return b;
    return std::nullopt;
}

bool Paged(POOL_TYPE type) { return type == PagedPool || type == PagedPoolCacheAligned; }

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Printable(const std::u16string& s) {
    std::string text = "\"";
    for (char16_t c : s) text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return text + "\"";
}

bool LegalIdCharacter(char16_t c, Form form) {
    if (c <= 0x20 || c > 0x7F || c == u',') return false;
    return form != Form::Instance || c != u'\\';
}

// Why one ID is not acceptable, or "" when it is.
std::string IdFault(const std::u16string& id, Form form) {
    if (id.size() >= kMaxIdLength) return "is longer than " + std::to_string(kMaxIdLength - 1) + " characters";
    for (char16_t c : id)
        if (!LegalIdCharacter(c, form)) return "holds the character " + Hex(c);
    return "";
}

void Fault(const char* rule, const std::string& what, const std::string& why) {
    host::verifier::Report(rule, what + " " + why);
}

// The strings of a buffer of units code units: one up to its zero, or for a list every
// string up to the empty one.
std::vector<std::u16string> Parse(const char16_t* p, size_t units, Form form, const std::string& what) {
    std::vector<std::u16string> strings;
    size_t at = 0;
    for (;;) {
        size_t end = at;
        while (end < units && p[end] != 0) ++end;
        if (end == units) {
            if (form == Form::List && at == end && at > 0)
                Fault(rules::kPnpIdMalformed, what, "does not end in two zeros");
            else if (form == Form::Text)
                Fault(rules::kDeviceTextUnterminated, what, "runs to the end of its buffer");
            else
                Fault(rules::kPnpIdMalformed, what, "is not NUL-terminated within its buffer");
            if (end > at) strings.emplace_back(p + at, p + end);
            return strings;
        }
        if (form == Form::List && end == at) return strings;  // the empty string ends the list
        strings.emplace_back(p + at, p + end);
        if (form != Form::List) return strings;
        at = end + 1;
    }
}

}  // namespace

std::vector<std::u16string> TakeStrings(ULONG_PTR information, Form form, const std::string& what) {
    if (!information) return {};
    const auto* p = reinterpret_cast<const char16_t*>(information);
    std::optional<host::pool::Block> block = PoolBlock(p);
    if (!block)
        Fault(rules::kPnpAnswerNotPool, what, "at " + Hex(information) + " is no pool block");
    else if (!Paged(block->type))
        Fault(rules::kPnpAnswerNotPaged, what, "came from pool type " + std::to_string(block->type));
    size_t units = block ? block->size / sizeof(char16_t) : kUnpooledScan;
    std::vector<std::u16string> strings = Parse(p, units, form, what);
    if (form != Form::Text) {
        for (const std::u16string& id : strings) {
            std::string fault = IdFault(id, form);
            if (!fault.empty()) Fault(rules::kPnpIdMalformed, what + " " + Printable(id), fault);
        }
    }
    if (block) ExFreePool(const_cast<char16_t*>(p));
    return strings;
}

std::vector<PDEVICE_OBJECT> TakeRelations(ULONG_PTR information, const std::vector<PDEVICE_OBJECT>& known,
                                          const std::string& what) {
    if (!information) return {};
    auto relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    std::optional<host::pool::Block> block = PoolBlock(relations);
    size_t count = relations->Count;
    if (!block) {
        Fault(rules::kRelationsNotPool, what, "at " + Hex(information) + " is no pool block");
    } else {
        size_t room = block->size < offsetof(DEVICE_RELATIONS, Objects)
                          ? 0
                          : (block->size - offsetof(DEVICE_RELATIONS, Objects)) / sizeof(PDEVICE_OBJECT);
        if (count > room) {
            Fault(rules::kRelationsOverrun, what, "count " + std::to_string(count) + " in room for " + std::to_string(room));
            count = room;
        }
    }
    std::vector<PDEVICE_OBJECT> reported;
    for (size_t i = 0; i < count; ++i) {
        PDEVICE_OBJECT device = relations->Objects[i];
        if (!device || host::io::DeviceDeleted(device)) {
            Fault(rules::kRelationsEntryDead, what,
                  "entry " + std::to_string(i) + " " + Hex(reinterpret_cast<uintptr_t>(device)));
            continue;
        }
        bool held = std::find(known.begin(), known.end(), device) != known.end();
        // The object's creation reference, the answer's, and the manager's own if it knows it.
        LONG_PTR others = ObfReferenceObject(device) - 1;
        ObfDereferenceObject(device);
        bool referenced = others >= (held ? 3 : 2);
        if (!referenced) {
            Fault(rules::kRelationsEntryUnreferenced, what, DeviceText(device));
            if (!held) ObfReferenceObject(device);  // the manager's, which the answer left out
        } else if (held) {
            ObfDereferenceObject(device);
        }
        reported.push_back(device);
    }
    if (block) ExFreePool(relations);
    return reported;
}

std::string DeviceText(PDEVICE_OBJECT device) {
    return "device " + Hex(reinterpret_cast<uintptr_t>(device));
}

}  // namespace sim::pnp
