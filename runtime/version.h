#pragma once
namespace version {
inline constexpr const char* wuna = "0.7.4";
}
