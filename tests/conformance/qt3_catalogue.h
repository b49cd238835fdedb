// What both QT3 runners read the same way from the suite's catalogue: the
// folder of a test set's file and the language versions a case applies to.
#pragma once

#include <sstream>
#include <string>

namespace qt3 {

// The folder holding a file ("." for a bare name).
inline std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Whether a case's language-version dependency admits XPath 3.1; a case
// without one applies to every language and version.
inline bool admits_xpath31(const std::string& value) {
    if (value.empty()) return true;
    std::istringstream in(value);
    std::string token;
    while (in >> token)
        if (token == "XP31" || token == "XP31+" || token == "XP30+" || token == "XP20+" || token == "XP10+")
            return true;
    return false;
}

}  // namespace qt3
