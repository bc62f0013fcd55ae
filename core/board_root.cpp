// The board root: every fixed board path goes through here, so the system runs off the board too.
#include "core/board_root.h"

#include <cstdlib>

const std::string& board_root()
{
    static const std::string root = [] {
        const char* env = std::getenv("TAVIMORO_ROOT");
        std::string value = env ? env : "";
        while (value.size() > 1 && value.back() == '/')
            value.pop_back();
        return value == "/" ? std::string() : value;
    }();
    return root;
}

std::string board_path(std::string_view path)
{
    std::string result = board_root();
    result += path;
    return result;
}

std::string shell_quote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}
