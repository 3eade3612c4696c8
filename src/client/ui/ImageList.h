// The one list of 16x16 pictures that the tree and the table share, addressed by index.
#pragma once

#include <QIcon>
#include <QPixmap>

#include <vector>

// Main thread only (pictures are GUI objects).
class ImageList {
public:
    // The indices are fixed; what each picture looks like is ours (resources/icons/).
    enum Index {
        None = -1,           // no picture: a progress status node
        ServerIdle = 0,      // server not connected, or busy
        ServerReady = 1,     // server connected and idle
        Branch = 2,
        BranchOpen = 3,      // a branch while selected
        Item = 4,            // a row of the item table
        Host = 5,
        Warning = 6,         // in the list, not used by the windows
        Error = 7,           // an error status node
    };
    static constexpr int kCount = 8;

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
