// Resource identifiers of the setup program: dialogs 101-106, the icon
// group 105, controls from 1000. Shared by the resource script and the code.
#ifndef VQ_RESOURCE_H
#define VQ_RESOURCE_H

#define IDD_WIZARD          101
#define IDD_WELCOME         102
#define IDD_LICENSE_HEADER  103
#define IDI_SETUP           105
#define IDD_PROGRESS        106

#define IDC_NEXT            1000
#define IDC_CANCEL          1001
#define IDC_BACK            1002
#define IDC_ACCEPT          1003
#define IDC_DECLINE         1004
#define IDC_LICENSE_TEXT    1005
#define IDC_WELCOME_BODY    1006
#define IDC_WELCOME_TITLE   1007
#define IDC_LICENSE_RULE    1008
#define IDC_LICENSE_PROMPT  1009
#define IDC_HEADER_TITLE    1010
#define IDC_HEAD_BITMAP     1011
#define IDC_BODY_BITMAP     1012
#define IDC_PROGRESS        1013

#endif
