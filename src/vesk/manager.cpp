// Manager actions and update checks.
#include "frame.hpp"

namespace vesk {

std::span<PyMethodDef> manager_functions() { return {}; }

}  // namespace vesk
