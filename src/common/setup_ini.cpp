// Reading the setup descriptor and building member paths.
#include "common/setup_ini.h"

int JoinPath(char *dst, const char *folder, const char *name)
{
    if (!IsPlainMemberName(name) ||
        lstrlenA(folder) + lstrlenA(name) + 2 > kPathBufferSize) {
        dst[0] = 0;
        return 0;
    }
    FormatBounded(dst, kPathBufferSize, "%s\\%s", folder, name);
    return 1;
}

int MemberPath(char *dst, const char *name)
{
    return JoinPath(dst, g_workspace, name);
}

void ReadSetupValue(const char *section, const char *key, char *dst, int size)
{
    MemberPath(g_scratch, SETUP_FILE);
    GetPrivateProfileStringA(section, key, "NO", dst, size, g_scratch);
}
