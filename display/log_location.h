// Names the place of a failed check in log lines ("... at file.cpp:123").
#pragma once

#include <cstring>
#include <source_location>

// The source file's own name, without the directories the build put in front of it.
inline const char* source_file_name(const std::source_location& where)
{
    const char* path = where.file_name();
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}
