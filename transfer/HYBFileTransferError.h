// The codes of the file-transfer error object, the same for uploads and downloads.
#pragma once

namespace transfer {

inline constexpr int kFileTransferFileNotFound = 1;
inline constexpr int kFileTransferInvalidURL = 2;
inline constexpr int kFileTransferConnectionError = 3;
inline constexpr int kFileTransferAborted = 4;
inline constexpr int kFileTransferNotModified = 5;

enum class HYBFileTransferDirection : int { Upload = 1, Download = 2 };

} // namespace transfer
