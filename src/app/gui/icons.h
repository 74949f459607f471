// The program's pictures: the program icon (the installed theme icon
// "sorvik" when there is one, drawn in code otherwise), the command pictures
// and the tunnel list's row images, drawn in code.
//
// Thread contract: UI thread only (QPixmap).
#pragma once

#include <QIcon>

namespace sorvik {

enum class TCommandPicture { Run, Stop, Properties, Add, Remove, Options, Debug, Autostart, Help, About };

// Row image numbers of the tunnel list.
inline constexpr int kImageStopped = 18;
inline constexpr int kImageRunning = 1;
inline constexpr int kImageFailed = 2;

// Looks the theme up on each call (cheap: Qt caches the theme's index).
QIcon ProgramIcon();
QIcon CommandIcon(TCommandPicture picture);
// The row image for an ImageIndex; a null icon for any other number.
QIcon RowImage(int imageIndex);

}  // namespace sorvik
