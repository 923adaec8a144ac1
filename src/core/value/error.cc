// Error construction: OS error text and context wrapping.
#include "core/value/error.h"

#include <system_error>

namespace tesmo {

Error Error::from_errno(int code) {
  return Error(std::generic_category().message(code) + " (os error " + std::to_string(code) + ")",
               ErrorKind::kOs, code);
}

Error Error::with_context(std::string context) const {
  Error outer(std::move(context), kind_, os_error_);
  outer.cause_ = std::make_shared<const Error>(*this);
  return outer;
}

}  // namespace tesmo
