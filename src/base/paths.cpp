#include "base/paths.hpp"

#include <unistd.h>

#include <cerrno>

namespace ombu {

std::string absolute_path(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    std::string directory(256, '\0');
    while (getcwd(directory.data(), directory.size()) == nullptr) {
        if (errno != ERANGE) return name;
        directory.resize(directory.size() * 2);
    }
    directory.resize(directory.find('\0'));
    return directory + "/" + name;
}

bool is_directory_reference(const std::string& name) {
    if (name == "/") return true;
    const auto slash = name.rfind('/');
    const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    return last.empty() || last == "." || last == "..";
}

}  // namespace ombu
