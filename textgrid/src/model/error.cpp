#include "textgrid/model/error.hpp"

#include <cerrno>

#include "textgrid/platform/platform.hpp"

namespace textgrid {

Error invalid_data(std::string message) { return {ErrorKind::InvalidData, std::move(message)}; }

Error invalid_input(std::string message) { return {ErrorKind::InvalidInput, std::move(message)}; }

Error os_error(int errnum) {
  return {ErrorKind::Os, platform::error_description(errnum) + " (os error " + std::to_string(errnum) + ")", errnum};
}

const char* os_error_kind(int errnum) noexcept {
  switch (errnum) {
    case ENOENT: return "not found";
    case EACCES:
    case EPERM: return "permission denied";
    case EEXIST: return "already exists";
    case EISDIR: return "is a directory";
    case ENOTDIR: return "not a directory";
    case ENOSPC: return "storage full";
#ifdef EDQUOT
    case EDQUOT: return "quota exceeded";
#endif
    case EROFS: return "read-only file system";
    case EFBIG: return "file too large";
    case ENAMETOOLONG: return "invalid file name";
    case ELOOP: return "file system loop";
    case EBUSY:
    case ETXTBSY: return "resource busy";
    case EINTR: return "interrupted";
    case EIO: return "input/output error";
    case ENOMEM: return "out of memory";
    default: return "other";
  }
}

}  // namespace textgrid
