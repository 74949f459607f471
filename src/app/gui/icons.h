// The program's pictures: the program icon (the installed theme icon
// "sorvik" when there is one, drawn in code otherwise), the command pictures
// and the tunnel list's row images, drawn in code.
//
// Thread contract: UI thread only (QPixmap).
#pragma once

#include <QIcon>

#include "tunnel/run_state.h"

namespace sorvik {

enum class TCommandPicture { Run, Stop, Properties, Add, Remove, Options, Debug, Autostart, Help, About };


// Looks the theme up on each call (cheap: Qt caches the theme's index).
QIcon ProgramIcon();
QIcon CommandIcon(TCommandPicture picture);
// The picture of a row image; a null icon for None or a number outside the list.
QIcon RowImage(TRowImage image);

}  // namespace sorvik
