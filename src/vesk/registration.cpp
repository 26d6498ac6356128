// Class registration: the order of an add-on's Blender classes, register and unregister.
#include "frame.hpp"

namespace vesk {

std::span<PyMethodDef> registration_functions() { return {}; }

}  // namespace vesk
