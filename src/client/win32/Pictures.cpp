#include "Pictures.h"

#include "Resources.h"
#include "client/form/MainForm.h"

namespace win32 {

HIMAGELIST createPictureList(UINT dpi)
{
    const int size = MulDiv(16, static_cast<int>(dpi ? dpi : 96), 96);
    HIMAGELIST list = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, form::kPictureCount, 0);
    if (!list) return nullptr;
    const HINSTANCE module = GetModuleHandleW(nullptr);
    for (int i = 0; i < form::kPictureCount; ++i) {
        // Indices must stay in step with form::Picture: a picture that cannot be loaded still
        // takes its place, empty.
        HICON icon = static_cast<HICON>(
            LoadImageW(module, MAKEINTRESOURCEW(IDI_PICTURE_FIRST + i), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        if (!icon) icon = CreateIcon(module, 1, 1, 1, 1, reinterpret_cast<const BYTE*>("\xFF"),
                                     reinterpret_cast<const BYTE*>("\x00"));
        ImageList_AddIcon(list, icon);
        DestroyIcon(icon);
    }
    return list;
}

} // namespace win32
