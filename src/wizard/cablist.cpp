// CabFiles list walking and the member name check.
#include "cablist.h"

int IsPlainMemberName(const char *name)
{
    int dotsAndBlanksOnly = 1;
    for (const char *p = name; *p; ++p) {
        if (*p == '\\' || *p == '/' || *p == ':')
            return 0;
        if (*p != '.' && *p != ' ')
            dotsAndBlanksOnly = 0;
    }
    return !dotsAndBlanksOnly;
}

static void HandleItem(const char *item, CabItemProc proc, void *context)
{
    if (IsPlainMemberName(item))
        proc(item, context);
}

int WalkCabFiles(char *list, CabItemProc proc, void *context)
{
    int count = 1;
    char *item = list;
    for (char *p = list; *p; ++p) {
        if (*p == ',') {
            *p = 0;
            HandleItem(item, proc, context);
            ++count;
            if (p[1])
                item = p + 1;
        }
    }
    HandleItem(item, proc, context);
    return count;
}
