// Object graphs to JSON-ready trees and back: values JSON cannot hold (objects, sets, bytes) are wrapped
// in objects with reserved member names, so that a tree of them can be kept in a JSON file. Older
// versions of the client kept their stores that way; the file caches read such files once, when they
// migrate them (PULSEFileCacheController).
//
// Objects: a class takes part when it is registered here with its properties (name, getter, setter) and,
// optionally, the name of a registered superclass whose properties it inherits. An object is written as
// {"className": its archive class name, one member per property}; an unregistered class writes its name
// alone and a class name that is not registered reads as nothing.
//
// Forms inside containers and properties:
//   null                -> left out (the member or element is dropped)
//   number, bool, string -> itself
//   array / dictionary  -> plain, unless an element holds custom content: then
//                          {"hasCustomObject": true, "arrayObject" | "dictionaryObject": forms}
//   set                 -> {"hasCustomObject": bool, "setObject": [forms]}
//   bytes               -> {"hasCustomObject": 0, "dataObject": the bytes as text in the data encoding}
//   object, date        -> the object form
// The top level is always an object: {"hasCustomObject": 0, "numberObject" | "stringObject": v}, the
// data form, the object form (plus the inherited properties that nested objects collected), or a
// wrapped container; then "numberProperyTypes" (property name -> type code, read by the decoder).
//
// Guarantees:
// - Encoding a graph deeper than kMaxDepth (objects that refer to each other in a cycle end there) gives
//   an Error, never endless recursion. Decoding deeper input gives nothing for the too-deep part.
// - Decoding never trusts its input: members of the wrong type read as nothing.
// - Thread: any thread; one conversion's tables are its own. The data encoding and the class registry
//   are process-wide (guarded).
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "platform/formats/ArchiveValue.h"
#include "platform/formats/KeyedArchiver.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace push {

inline constexpr const char* kPULSEJSONSerializerErrorDomain = "push.jsonserializer";

// How "dataObject" carries bytes as text. ISO 8859-1 maps every byte to one character and back;
// UTF-8 carries only bytes that are valid UTF-8 (other data is left out).
enum class PULSEDataEncoding { ISOLatin1, UTF8 };

struct PULSEJSONProperty {
    std::string name;
    // The property's value on an object of the class (a null value when it has none).
    std::function<platform::ArchiveValue(const platform::KeyedArchivable&)> get;
    // Sets the property; empty for a read-only property.
    std::function<void(platform::KeyedArchivable&, const platform::ArchiveValue&)> set;
};

struct PULSEJSONClass {
    std::string name;
    std::string superclassName; // "" for none
    std::function<std::shared_ptr<platform::KeyedArchivable>()> make;
    std::vector<PULSEJSONProperty> properties;
};

class PULSEJSONSerializer {
public:
    PULSEJSONSerializer() = delete;

    static constexpr long long kTooDeepError = 1;
    static constexpr long long kUnwritableDataError = 2; // bytes the data encoding cannot carry
    static constexpr int kMaxDepth = 256;

    // Registers a class under its name (a later registration of the name replaces it).
    static void registerClass(PULSEJSONClass cls);
    static void unregisterClass(const std::string& name);

    // The top-level form, a dictionary; a null value for a null object.
    static platform::Result<platform::Value> getJSONDataFromObject(const platform::ArchiveValue& object);
    // The decoded object, or a null value (not a dictionary, an unknown class, a form of no known kind).
    static platform::ArchiveValue getObjectFromJSON(const platform::Value& json);
    // As above, after setting the data encoding for this and all later conversions.
    static platform::Result<platform::Value> getJSONDataFromObject(const platform::ArchiveValue& object,
                                                                   PULSEDataEncoding encoding);
    static platform::ArchiveValue getObjectFromJSON(const platform::Value& json, PULSEDataEncoding encoding);

    static PULSEDataEncoding dataEncoding();
    static void setDataEncoding(PULSEDataEncoding encoding);
};

} // namespace push
