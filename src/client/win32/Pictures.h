// The eight pictures of the tree and the table (form::Picture order) as an image list of the
// common controls, made from the program's icon resources (the same pictures as the Qt window's,
// converted at build time). Main thread.
#pragma once

#include "platform/Sdk.h"

#include <commctrl.h>

namespace win32 {

// A new 32-bit image list of 16x16 pictures scaled for the DPI (96: 16 pixels); the caller
// destroys it. Null when it cannot be made.
HIMAGELIST createPictureList(UINT dpi);

} // namespace win32
