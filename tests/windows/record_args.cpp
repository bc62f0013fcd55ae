// Stands in for tavimoro-host.exe where a test runs a hook: adds the arguments it was given, one a
// line, to the file that TAVIMORO_RECORD names.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const char* record = getenv("TAVIMORO_RECORD");
    FILE* out = record ? fopen(record, "ab") : nullptr;
    if (!out)
        return 1;
    for (int i = 1; i < argc; i++)
        fprintf(out, "%s\n", argv[i]);
    return fclose(out) == 0 ? 0 : 1;
}
