// What the hand-off offers the wizard: moving every component's CAB files
// and INI (Setup.ini's, then each one AlsoInstall lists) into the install
// folder beside the Application Manager and starting it with those INIs.
// Called once, from the wizard's final Next. Reports its own failures in
// message boxes (the install folder cannot be created; a copy fails or a
// listed value may have been cut: nothing is started, what was moved stays
// moved and the rest stays in the workspace folder; the start fails or the
// command line would not hold every INI); returns 1 when the Application
// Manager was started, else 0.
#ifndef VQ_HANDOFF_H
#define VQ_HANDOFF_H

int DeployAndLaunch(void);

#endif
