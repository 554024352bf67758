// CabFiles list walking and the member name check.
#include "common/cablist.h"

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

int WalkCabItems(char *list, CabItemProc proc, void *context)
{
    int count = 1;
    char *item = list;
    for (char *p = list; *p; ++p) {
        if (*p == ',') {
            *p = 0;
            proc(item, context);
            ++count;
            if (p[1])
                item = p + 1;
        }
    }
    proc(item, context);
    return count;
}

struct PlainFilter {
    CabItemProc proc;
    void *context;
};

static void HandlePlainItem(const char *item, void *context)
{
    PlainFilter *filter = (PlainFilter *)context;
    if (IsPlainMemberName(item))
        filter->proc(item, filter->context);
}

int WalkCabFiles(char *list, CabItemProc proc, void *context)
{
    PlainFilter filter = { proc, context };
    return WalkCabItems(list, HandlePlainItem, &filter);
}
