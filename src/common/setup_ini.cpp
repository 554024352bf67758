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

int ReadIniValue(const char *file, const char *section, const char *key, char *dst,
                 int size, const char *fallback)
{
    MemberPath(g_scratch, file);
    return (int)GetPrivateProfileStringA(section, key, fallback, dst, size, g_scratch);
}

void ReadSetupValue(const char *section, const char *key, char *dst, int size)
{
    ReadIniValue(SETUP_FILE, section, key, dst, size, "NO");
}

struct ComponentWalk {
    ComponentFileProc proc;
    void *context;
    int kind;  // kComponentSetupIni or kComponentListedIni: which INI is walked
};

static void HandleComponentCab(const char *item, void *context)
{
    ComponentWalk *walk = (ComponentWalk *)context;
    walk->proc(item, kComponentCab, walk->context);
}

// One component: the INI's Component names the section whose CabFiles
// lists its CAB files. Both values are read before `proc` sees any file.
static void WalkComponent(const char *ini, void *context)
{
    ComponentWalk *walk = (ComponentWalk *)context;
    char section[SETUP_VALUE_SIZE];
    char cabFiles[SETUP_CABFILES_SIZE];
    int cut = ReadIniValue(ini, "CEAppManager", "Component", section, sizeof(section), "NO") >
              SETUP_LONGEST_LISTED(SETUP_VALUE_SIZE);
    cut |= ReadIniValue(ini, section, "CabFiles", cabFiles, sizeof(cabFiles), "NO") >
           SETUP_LONGEST_LISTED(SETUP_CABFILES_SIZE);
    if (cut && walk->kind == kComponentListedIni)
        walk->proc(ini, kComponentCutList, walk->context);
    WalkCabFiles(cabFiles, HandleComponentCab, walk);
    walk->proc(ini, walk->kind, walk->context);
}

void WalkComponents(ComponentFileProc proc, void *context)
{
    // Static: it outlives Setup.ini, which the first component moves or
    // deletes, and stays off the callers' stack.
    static char s_alsoInstall[SETUP_ALSOINSTALL_SIZE];
    ComponentWalk walk = { proc, context, kComponentSetupIni };
    if (ReadIniValue(SETUP_FILE, SETUP_SECTION, "AlsoInstall", s_alsoInstall,
                     sizeof(s_alsoInstall), "") > SETUP_LONGEST_LISTED(SETUP_ALSOINSTALL_SIZE))
        proc(SETUP_FILE, kComponentCutList, context);
    WalkComponent(SETUP_FILE, &walk);
    walk.kind = kComponentListedIni;
    WalkCabFiles(s_alsoInstall, WalkComponent, &walk);
}
