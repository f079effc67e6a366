#pragma once
namespace wuna::version {
inline constexpr const char* wuna = "0.7.4";
}
