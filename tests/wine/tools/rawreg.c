/* Writes the default value of a key under HKEY_LOCAL_MACHINE byte for
 * byte: type REG_SZ, exactly the bytes of TEXT, with no terminating NUL
 * (`reg add` always stores one). Prints the size the registry then reports
 * for the value, {"stored": N}, so that a test can tell the value has no
 * NUL.
 *   rawreg.exe KEY TEXT
 * Exit code 0 on success, 1 on bad usage, 2 when the registry refuses. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    static char data[4096];
    HKEY key;
    DWORD size = 0;
    size_t length = 0;
    LONG rc;

    if (argc == 3)
        length = strlen(argv[2]);
    if (length == 0 || length >= sizeof data) {
        fprintf(stderr, "usage: rawreg KEY TEXT\n");
        return 1;
    }
    /* RegSetValueExA adds the NUL to a REG_SZ value passed without it when
     * a NUL happens to follow the data in memory: a byte other than NUL
     * behind the text keeps the value exactly as given. */
    memcpy(data, argv[2], length);
    data[length] = '#';
    rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, NULL, 0, KEY_ALL_ACCESS,
                         NULL, &key, NULL);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExA(key, NULL, 0, REG_SZ, (const BYTE *)data, (DWORD)length);
        if (rc == ERROR_SUCCESS)
            rc = RegQueryValueExA(key, NULL, NULL, NULL, NULL, &size);
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS) {
        fprintf(stderr, "registry error %ld\n", rc);
        return 2;
    }
    printf("{\"stored\": %lu}\n", size);
    return 0;
}
