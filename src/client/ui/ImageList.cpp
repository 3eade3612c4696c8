#include "ImageList.h"

// The resources live in this static library; a program that links it must register them before
// the first picture is asked for, and only the library knows their name. The macro must be used
// outside any namespace or class.
static void initTagvistaResources()
{
    Q_INIT_RESOURCE(tagvista);
}

void ImageList::registerResources()
{
    initTagvistaResources();
}

ImageList::ImageList()
{
    registerResources();
    static const char* const files[kCount] = {
        ":/icons/0-server.png", ":/icons/1-server-connected.png", ":/icons/2-branch.png", ":/icons/3-branch-open.png",
        ":/icons/4-item.png",   ":/icons/5-host.png",             ":/icons/6-warning.png", ":/icons/7-error.png",
    };
    for (const char* file : files) _pictures.emplace_back(QString::fromLatin1(file));
}

QPixmap ImageList::picture(int index) const
{
    if (index < 0 || index >= static_cast<int>(_pictures.size())) return {};
    return _pictures[static_cast<std::size_t>(index)];
}

QIcon ImageList::icon(int index) const
{
    const QPixmap pixmap = picture(index);
    return pixmap.isNull() ? QIcon() : QIcon(pixmap);
}

QIcon ImageList::nodeIcon(int image, int selectedImage) const
{
    const QPixmap normal = picture(image);
    if (normal.isNull()) return {};
    QIcon icon(normal);
    const QPixmap selected = picture(selectedImage);
    if (!selected.isNull()) icon.addPixmap(selected, QIcon::Selected);
    return icon;
}
