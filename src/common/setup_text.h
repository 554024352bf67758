// Facts about Setup.ini and the texts made from it that the setup program
// and `vqpack lint` must agree on: key names, the buffer each value is read
// into, and the formats the values are put into. Plain preprocessor
// definitions, so that the resource script can include this file too.
#ifndef VQ_SETUP_TEXT_H
#define VQ_SETUP_TEXT_H

#define SETUP_FILE "Setup.ini"
#define SETUP_SECTION "VQINSTALLER"

// Buffer sizes, NUL included, in which the setup program reads values: a
// longer value is cut to one byte less.
#define SETUP_VALUE_SIZE 256      // ProductName, ProductVersion, LicenseFile,
                                  // HeadBitmap, InstallDirectory, Component
#define SETUP_BODY_BITMAP_SIZE WELCOME_TEXT_SIZE  // BodyBitmap: read into
                                                  // the welcome page's buffer
#define SETUP_CABFILES_SIZE 512   // CabFiles
#define SETUP_ALSOINSTALL_SIZE 512  // AlsoInstall

// The other components' values (AlsoInstall itself, and a listed INI's
// Component and CabFiles) are never cut: the setup program takes a value
// that fills its buffer, SIZE - 1 characters or more, for one that may
// have been cut and hands nothing of it over, and `vqpack lint` refuses a
// value that long. (Setup.ini's own Component and CabFiles are cut.)
#define SETUP_LONGEST_LISTED(size) ((size) - 2)

// The wizard's title, formatted with name and version into the caption
// buffer of WIZARD_TITLE_SIZE bytes.
#define WIZARD_TITLE_FORMAT "%s %s for Windows CE Setup"
#define WIZARD_TITLE_SIZE 256

// The pictures are shown uncut up to these sizes, in pixels: the body
// picture fills the welcome page's left part, the head picture a strip of
// fixed height at the top of the license page.
#define BODY_BITMAP_MAX_WIDTH 500
#define BODY_BITMAP_MAX_HEIGHT 314
#define HEAD_BITMAP_MAX_WIDTH 500
#define HEAD_BITMAP_HEIGHT 55

// The welcome page's texts live in its dialog template and serve as formats
// (title: the name; body: name and version); each is formatted into a
// buffer of WELCOME_TEXT_SIZE bytes.
#define WELCOME_TITLE_FORMAT "Welcome to %s for Windows CE Setup"
#define WELCOME_BODY_FORMAT \
    "Setup will install %s version %s onto your PocketPC.\nPlease ensure your PocketPC is connected and turned on."
#define WELCOME_TEXT_SIZE 512

#endif
