// Names the place of a failed check in log lines ("... at file.cpp:123").
#pragma once

#include <cstring>

// Where a call was made, taken from default arguments at the call site. std::source_location
// would do, but clang before 15 (the fuzz build's compiler) cannot build it with this libstdc++.
struct code_location {
    const char* file;
    int line;
    static constexpr code_location current(const char* file = __builtin_FILE(), int line = __builtin_LINE())
    {
        return {file, line};
    }
};

// The source file's own name, without the directories the build put in front of it.
inline const char* source_file_name(const code_location& where)
{
    const char* slash = std::strrchr(where.file, '/');
    return slash ? slash + 1 : where.file;
}
