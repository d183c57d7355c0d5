// The checks of the installer's window: its class, its frame and place on the
// screen, its font, and each control, each against checkkit/expected.h.
#pragma once

#include "checkkit/check_run.h"
#include "checkkit/driver/installer_driver.h"

// The class: style, extra bytes, menu, both icons (which shell32.dll icon),
// cursor and background.
Problems WindowClassProblems(const InstallerProcess& installer);
// The frame: style and extended style, no parent, owner or menu, the client
// area's size, the outer size for that style, and the place on the screen.
Problems WindowFrameProblems(const InstallerProcess& installer);
// The title, and each control's class, id and text, in creation order.
Problems WindowTextProblems(const InstallerProcess& installer);
// Each control's style, extended style and box in the client area.
Problems ControlProblems(const InstallerProcess& installer);
// Each control's font, field by field.
Problems WindowFontProblems(const InstallerProcess& installer);
// Every control inside the client area, none over another.
Problems LayoutFitProblems(const InstallerProcess& installer);
// Each text fits its control in the font it is drawn with.
Problems TextFitProblems(const InstallerProcess& installer);
// All of the above, each problem once.
Problems AllWindowProblems(const InstallerProcess& installer);
