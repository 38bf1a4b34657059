#include "platform/files/FileError.h"

#include <cerrno>
#include <cstring>

namespace platform {

long long fileErrorCode(int e, FileAccess access) {
    const bool read = access == FileAccess::Read;
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return read ? FileErrorCode::ReadNoSuchFile : FileErrorCode::NoSuchFile;
    case EACCES:
    case EPERM:
        return read ? FileErrorCode::ReadNoPermission : FileErrorCode::WriteNoPermission;
    case ENOSPC:
    case EDQUOT:
        return FileErrorCode::WriteOutOfSpace;
    case EROFS:
        return FileErrorCode::WriteVolumeReadOnly;
    case EEXIST:
        return FileErrorCode::WriteFileExists;
    case ENAMETOOLONG:
        return read ? FileErrorCode::ReadInvalidFileName : FileErrorCode::WriteInvalidFileName;
    case EFBIG:
    case EOVERFLOW:
        return read ? FileErrorCode::ReadTooLarge : FileErrorCode::WriteUnknown;
    case ENOMEM:
        if (read)
            return FileErrorCode::ReadTooLarge;
        break;
    default:
        break;
    }
    return read ? FileErrorCode::ReadUnknown : FileErrorCode::WriteUnknown;
}

Error fileError(int errnoValue, FileAccess access, const std::string& path, const std::string& what) {
    Error error(kCocoaErrorDomain, fileErrorCode(errnoValue, access),
                what + " \u201c" + path + "\u201d: " + std::strerror(errnoValue));
    error.userInfo.set(kFilePathErrorKey, path);
    error.userInfo.set(kUnderlyingErrorKey, Dictionary{{"domain", kPOSIXErrorDomain}, {"code", errnoValue}});
    return error;
}

bool isNoSuchFileError(const Error& error) {
    return error.domain == kCocoaErrorDomain &&
           (error.code == FileErrorCode::NoSuchFile || error.code == FileErrorCode::ReadNoSuchFile);
}

} // namespace platform
