#include "core/base/SameSecret.h"

#include <sodium.h>

namespace korvelin {

bool sameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace korvelin
