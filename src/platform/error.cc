#include "platform/error.h"

#include <cerrno>

namespace llupdate {

std::string ErrorDescription(int32_t number) {
  switch (number) {
    case kInvalidProcedureCall:
      return "Unzulässiger Prozeduraufruf oder ungültiges Argument";
    case kOverflow:
      return "Überlauf";
    case kOutOfMemory:
      return "Nicht genügend Speicher";
    case kSubscriptOutOfRange:
      return "Index außerhalb des gültigen Bereichs";
    case kTypeMismatch:
      return "Typen unverträglich";
    case kInternalError:
      return "Interner Fehler";
    case kBadFileNumber:
      return "Dateiname oder -nummer falsch";
    case kFileNotFound:
      return "Datei nicht gefunden";
    case kFileAlreadyOpen:
      return "Datei bereits geöffnet";
    case kInputPastEnd:
      return "Einlesen hinter Dateiende";
    case kFileAlreadyExists:
      return "Datei existiert bereits";
    case kDiskFull:
      return "Datenträger voll";
    case kTooManyFiles:
      return "Zu viele Dateien";
    case kPermissionDenied:
      return "Zugriff verweigert";
    case kPathFileAccessError:
      return "Fehler beim Zugriff auf Pfad/Datei";
    case kPathNotFound:
      return "Pfad nicht gefunden";
    case kObjectNotSet:
      return "Objektvariable oder With-Blockvariable nicht festgelegt";
    case kCannotCreateObject:
      return "Objekterstellung durch ActiveX-Komponente nicht möglich";
    default:
      return "Anwendungs- oder objektdefinierter Fehler";
  }
}

Error::Error(int32_t number)
    : std::runtime_error(ErrorDescription(number)),
      number_(number),
      description_(ErrorDescription(number)) {}

Error::Error(int32_t number, const std::string& detail)
    : std::runtime_error(ErrorDescription(number) + ": " + detail),
      number_(number),
      description_(ErrorDescription(number) + ": " + detail) {}

}  // namespace llupdate

namespace llupdate::platform {

Error ErrorFromErrno(int err, const std::string& path) {
  switch (err) {
    case ENOENT:
      return Error(kFileNotFound, path);
    case ENOTDIR:
      return Error(kPathNotFound, path);
    case EACCES:
    case EPERM:
    case EROFS:
#ifdef ETXTBSY
    case ETXTBSY:
#endif
      return Error(kPermissionDenied, path);
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return Error(kDiskFull, path);
    case EFBIG:  // beyond the file-size limit of the process or the file system
      return Error(kDiskFull, path + " (Datei zu groß)");
    case EMFILE:
    case ENFILE:
      return Error(kTooManyFiles, path);
    case EEXIST:
      return Error(kFileAlreadyExists, path);
    case ENOMEM:
      return Error(kOutOfMemory, path);
    case EBADF:  // a file read that was opened for writing, or the other way round
      return Error(kBadFileNumber, path);
    default:
      return Error(kPathFileAccessError, path);
  }
}

}  // namespace llupdate::platform
