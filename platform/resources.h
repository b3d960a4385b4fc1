#pragma once
// Files of resources/ compiled into the program ("OPTIONS", and the skin images).

#include <string>
#include <string_view>

namespace kova::platform {

// The resource's bytes, which live as long as the program; false when there is none.
bool FindResourceData(const std::string& name, std::string_view& data);

}  // namespace kova::platform
