// Toolbar icons, drawn here (no image files): one per toolbar command.
#pragma once

#include <QIcon>

// The icon of a command id (an empty icon for commands without one).
QIcon Command_Icon(int id);
