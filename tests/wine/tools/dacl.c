/* dacl: reads the security of a folder, and tries to move one, as another
 * program of the same user would. One JSON object per line on stdout.
 *
 *   dacl show PATH       {"sddl": owner and DACL as SDDL, "user": the SID of
 *                        this program's user} (GetNamedSecurityInfoA)
 *   dacl move FROM TO    {"moved": 0|1, "error": GetLastError()} (MoveFileA)
 *
 * Exit codes: 0 done (for move: whatever the result), 1 usage, 3 failed. */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <string.h>

static int show(const char *path)
{
    PSECURITY_DESCRIPTOR sd;
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    char *sddl, *user = NULL;
    DWORD user_info[64], size;
    HANDLE token;
    DWORD rc = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, what, NULL, NULL, NULL, NULL, &sd);

    if (rc != ERROR_SUCCESS) {
        printf("{\"error\":%lu}\n", (unsigned long)rc);
        return 3;
    }
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, what,
                                                              &sddl, NULL)) {
        printf("{\"error\":%lu}\n", (unsigned long)GetLastError());
        return 3;
    }
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, user_info, sizeof user_info, &size))
            ConvertSidToStringSidA(((TOKEN_USER *)user_info)->User.Sid, &user);
        CloseHandle(token);
    }
    /* SDDL and SID strings hold no quotes or backslashes */
    printf("{\"sddl\":\"%s\",\"user\":\"%s\"}\n", sddl, user ? user : "");
    LocalFree(sddl);
    LocalFree(user);
    LocalFree(sd);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && !strcmp(argv[1], "show"))
        return show(argv[2]);
    if (argc == 4 && !strcmp(argv[1], "move")) {
        BOOL moved = MoveFileA(argv[2], argv[3]);
        DWORD error = moved ? 0 : GetLastError();
        printf("{\"moved\":%d,\"error\":%lu}\n", moved ? 1 : 0, (unsigned long)error);
        return 0;
    }
    fprintf(stderr, "usage: dacl show PATH | dacl move FROM TO\n");
    return 1;
}
