#include "runtime/Exception.h"

namespace tarvix {

ERangeError::ERangeError() : Exception("Range check error") {}

EIntOverflow::EIntOverflow() : Exception("Integer overflow") {}

EConvertError::EConvertError(std::string_view text)
    : Exception("'" + std::string(text) + "' is not a valid integer value") {}

EListError::EListError(std::int64_t index)
    : Exception("List index out of bounds (" + std::to_string(index) + ")") {}

EOutOfMemory::EOutOfMemory() : Exception("Out of memory") {}

}  // namespace tarvix
