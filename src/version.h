#pragma once

namespace ostrim {
inline constexpr const char* kVersion = "0.1.0";
}
