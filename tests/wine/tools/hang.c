/* hang.exe: a program that shows nothing and never ends by itself. Padded
 * to the 32768 bytes of a setup image, it makes an installer whose run can
 * only end by a time-out, whatever the speed of the machine. */
#include <windows.h>

void WINAPI HangMain(void)
{
    for (;;)
        Sleep(INFINITE);
}
