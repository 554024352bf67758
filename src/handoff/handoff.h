// What the hand-off offers the wizard: moving the CAB files and Setup.ini
// into the install folder beside the Application Manager and starting it.
// Called once, from the wizard's final Next. Reports its own failures in
// message boxes; returns 1 when the Application Manager was started, else 0.
#ifndef VQ_HANDOFF_H
#define VQ_HANDOFF_H

int DeployAndLaunch(void);

#endif
