// The package version that nomos.version() reports.
#pragma once
namespace nomos::version {
inline constexpr const char* nomos = "0.1.5";
}
