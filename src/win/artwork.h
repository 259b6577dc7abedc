#pragma once

#include <windows.h>

#include <commctrl.h>

namespace ol::win {

// Artwork of our own, drawn at run time so the program needs no resource files: white
// pictograms on coloured tiles for the tool bar, the window and tray icon, and the tick
// boxes that show the state images of the download tree.

// The tool bar's images in button order: ToolButton1, 2, 4, 3, 5.
HIMAGELIST ToolImages(int size);
// The window's and the tray's icon.
HICON AppIcon(int size);
// State images of a tree: 3 is an empty tick box, 4 a ticked one, the others are blank.
HIMAGELIST TickImages();

}  // namespace ol::win
