#include "errno_windows.h"

#include <cerrno>
#include <windows.h>

int platform_errno(unsigned long windows_error) {
  switch (windows_error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_NAME:
  case ERROR_BAD_PATHNAME:
    return ENOENT;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
    return EACCES;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  case ERROR_NOT_SAME_DEVICE:
    return EXDEV;
  case ERROR_FILENAME_EXCED_RANGE:
    return ENAMETOOLONG;
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return EEXIST;
  case ERROR_DIRECTORY:
    return ENOTDIR;
  case ERROR_WRITE_PROTECT:
    return EROFS;
  case ERROR_INVALID_PARAMETER:
    return EINVAL;
  default:
    return EIO;
  }
}
