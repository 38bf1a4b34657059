// The file errors the page's file API understands (the numbers of the web's FileError). They travel as
// the integer message of an error result.
#pragma once

#include "runtime/HYBPluginResult.h"

#include <cstdint>

namespace files {

enum class HYBFileError : std::int32_t {
    NotFound = 1,
    Security = 2,
    Abort = 3,
    NotReadable = 4,
    Encoding = 5,
    NoModificationAllowed = 6,
    InvalidState = 7, // never raised
    Syntax = 8,
    InvalidModification = 9,
    QuotaExceeded = 10,
    TypeMismatch = 11,
    PathExists = 12,
};

// An error result carrying a file-error code; status 6 ("IO error") unless told otherwise.
inline runtime::HYBPluginResult fileErrorResult(HYBFileError code,
                                                runtime::HYBCommandStatus status = runtime::HYBCommandStatus::IOError) {
    return runtime::HYBPluginResult::messageAsInt(status, static_cast<std::int32_t>(code));
}

} // namespace files
