// Internal faults: broken invariants that no input should reach. They are thrown, not returned,
// and the Python boundary raises them as PanicException with this message. Not API.
#pragma once

#include <stdexcept>

namespace quelvane::internal {

class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quelvane::internal
