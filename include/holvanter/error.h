// The failures of the TavoCard component that end a call instead of giving a
// result code: the one exception type of the C++ face and the HRESULTs that
// the COM face returns for them.
#ifndef HOLVANTER_ERROR_H_
#define HOLVANTER_ERROR_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "holvanter/export.h"

namespace holvanter {

inline constexpr int32_t kErrOverflow = static_cast<int32_t>(0x800A0006);
inline constexpr int32_t kErrSubscriptOutOfRange = static_cast<int32_t>(0x800A0009);
inline constexpr int32_t kErrTypeMismatch = static_cast<int32_t>(0x800A000D);
inline constexpr int32_t kErrInvalidProcedureCall = static_cast<int32_t>(0x800A0005);
inline constexpr int32_t kErrFileNotFound = static_cast<int32_t>(0x800A0035);
inline constexpr int32_t kErrEntryPointNotFound = static_cast<int32_t>(0x800A01C5);
// E_FAIL: a database failure (the component's own word for it).
inline constexpr int32_t kErrFail = static_cast<int32_t>(0x80004005);
inline constexpr int32_t kErrDatabase = kErrFail;
// E_POINTER: the C face's answer to a NULL argument.
inline constexpr int32_t kErrPointer = static_cast<int32_t>(0x80004003);

// A failed call, with its HRESULT.
class HOLVANTER_EXPORT TavoError : public std::runtime_error {
 public:
  TavoError(int32_t hresult, const std::string& message)
      : std::runtime_error(message), hresult_(hresult) {}
  int32_t hresult() const noexcept { return hresult_; }

 private:
  int32_t hresult_;
};

}  // namespace holvanter

#endif  // HOLVANTER_ERROR_H_
