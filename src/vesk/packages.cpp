// Package fetch and module loading: download, verify and unpack an add-on package, load its modules.
#include "frame.hpp"

namespace vesk {

std::span<PyMethodDef> packages_functions() { return {}; }

}  // namespace vesk
