// The package version that pargo.version() reports.
#pragma once
namespace pargo::version {
inline constexpr const char* pargo = "0.6.0";
}
