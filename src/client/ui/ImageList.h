// The one list of 16x16 pictures that the tree and the table share, addressed by index.
#pragma once

#include "client/form/MainForm.h"

#include <QIcon>
#include <QPixmap>

#include <vector>

// Main thread only (pictures are GUI objects).
class ImageList {
public:
    // The form's picture indices; what each picture looks like is ours (resources/icons/).
    enum Index {
        None = form::NoPicture,
        ServerIdle = form::ServerIdle,
        ServerReady = form::ServerReady,
        Branch = form::BranchPicture,
        BranchOpen = form::BranchOpen,
        Item = form::ItemPicture,
        Host = form::HostPicture,
        Warning = form::WarningPicture,
        Error = form::ErrorPicture,
    };
    static constexpr int kCount = form::kPictureCount;

    ImageList();

    // Makes the program's pictures (resources/tagvista.qrc) reachable under ":/icons/"; every
    // window that shows one calls it first. Main thread; repeating it does nothing more.
    static void registerResources();

    // A null icon for None or an index outside the list.
    QIcon icon(int index) const;
    // The picture of a node: image normally, selectedImage while the node is selected.
    QIcon nodeIcon(int image, int selectedImage) const;
    QPixmap picture(int index) const;

private:
    std::vector<QPixmap> _pictures;
};
