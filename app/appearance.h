#pragma once

#include <QFont>
#include <QIcon>
#include <QImage>

// The font the windows are laid out for. The layout's positions and sizes are fixed logical
// pixels, so the font is fixed in pixels too, rather than left to the desktop's choice.
QFont WindowFont();

class QWidget;

// Gives the group boxes under `window` titles set into their frame line, as the layout's
// positions assume: controls placed 16 to 18 pixels down a group box then sit below its
// top line, not on it.
void SetGroupBoxStyle(QWidget* window);

// The program's icon, 32 x 32 and a large version for desktops that show big icons.
QIcon MainIcon();

// The product picture of the splash and About window, 400 x 265.
QImage SplashPicture();
