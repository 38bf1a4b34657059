// Reading a command batch from the page: the JSON text of an array of [callbackId, service, action,
// arguments] entries. One entry that cannot be read costs only itself.
//
// Guarantees:
// - A text that reads whole is taken in one parse, entry by entry as it stands.
// - Otherwise its entries are read one by one. An entry that cannot be read (nested deeper than the JSON
//   reader allows, bad syntax or invalid UTF-8 inside it) becomes an HYBUnreadableCommand with the reader's
//   reason and, when the entry begins with a string, that string as its callback id (stray bytes before
//   it, such as a control character, DEL, a byte that is not ASCII or "#", aside: any byte that begins no
//   JSON value and is no bracket, brace, comma or colon); the entries around it read as usual. An entry cut off by the end of the text is such an entry too, and so is each value
//   after a bracket that closes the batch before the text ends (`[[...]],[...]]`): those are not run.
//   An array of commands there (`[[...]] [[...],[...]]`) gives one such entry per command, at any depth.
// - Stray bytes between entries (a NUL, a control character, invalid UTF-8, a bare word) are a piece of
//   their own, unreadable and without a callback id: the entry after them reads as usual.
// - A lone surrogate escape (a high half without its low half, or a low half alone) reads as U+FFFD, in
//   every string of an entry, keys and callback id included.
// - A text that does not begin with "[" (spaces aside) is no batch: nothing of it runs. When stray bytes
//   stand before its first bracket (a NUL, say), every piece from that bracket on is read as after the
//   batch's end (unreadable, with its callback id); without any callback id there, it is an error.
// - The text is split in one pass without recursion, and no entry is read deeper than the JSON reader's
//   nesting limit: neither stack nor memory grows with the nesting the page sent.
// - Pure and thread-safe (a long batch is read on a background queue).
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace runtime {

// An entry that could not be read: why, and the callback id to answer when it could be read.
struct HYBUnreadableCommand {
    std::optional<std::string> callbackId;
    std::string reason;
};

// One entry of a batch: its JSON value (not yet checked to be a command), or what could be read of it.
using HYBCommandBatchEntry = std::variant<platform::Value, HYBUnreadableCommand>;

platform::Result<std::vector<HYBCommandBatchEntry>> readCommandBatch(std::string_view text);

// The callback id of an entry read as a value: its first element, when it is an array whose first element
// is a string.
std::optional<std::string> commandCallbackId(const platform::Value& entry);

// The callback id (as commandCallbackId) of each command in an array of commands, in order; an element that
// is itself an array of commands, at any depth, gives its commands' ids in its place.
std::vector<std::optional<std::string>> nestedCommandCallbackIds(const platform::Value& batch);

// The text with every lone surrogate escape inside its strings replaced by "\ufffd"; nullopt when it has
// none (the text stands as it is).
std::optional<std::string> replaceLoneSurrogateEscapes(std::string_view json);

} // namespace runtime
