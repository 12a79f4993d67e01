#pragma once

#include <string_view>

namespace korvelin {

// Compares two secrets (keys, capabilities) in time that does not depend on
// where they differ; texts of different lengths are unequal.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace korvelin
