#pragma once

#include <string>

namespace scrivell {

// A path or name in double quotes, as every error message shows it. (Not `quoted`: that
// would meet std::quoted by argument-dependent lookup wherever <iomanip> is around.)
inline std::string in_quotes(const std::string& text) { return "\"" + text + "\""; }

}  // namespace scrivell
