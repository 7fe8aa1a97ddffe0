#pragma once

#include <cctype>
#include <string>

// GoogleTest wants parameter names of letters, digits and underscores.
struct CaseName {
    template <typename Info>
    std::string operator()(const Info& info) const {
        std::string name;
        for (char c : std::string(info.param.name)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    }
};
