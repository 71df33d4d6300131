#include "app/batch_folder_drop.h"

#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

QString WithoutTrailingSeparator(QString path)
{
    path = QDir::toNativeSeparators(path);
    const QChar separator = QDir::separator();
    while (path.size() > 1 && path.endsWith(separator) && !QDir(path).isRoot())
        path.chop(1);
    return path;
}

namespace {

std::optional<QString> DraggedLocalPath(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls())
        return std::nullopt;
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.constFirst().isLocalFile())
        return std::nullopt;
    return urls.constFirst().toLocalFile();
}

}  // namespace

std::optional<QString> DraggedFile(const QMimeData* data)
{
    const std::optional<QString> path = DraggedLocalPath(data);
    if (!path || !QFileInfo(*path).isFile())
        return std::nullopt;
    return QDir::toNativeSeparators(*path);
}

std::optional<QString> DraggedFolder(const QMimeData* data)
{
    const std::optional<QString> path = DraggedLocalPath(data);
    if (!path || !QFileInfo(*path).isDir())
        return std::nullopt;
    return WithoutTrailingSeparator(*path);
}

FolderDrop* FolderDrop::Install(QLineEdit* edit, Takes takes)
{
    edit->setAcceptDrops(true);
    auto* filter = new FolderDrop(edit, takes);
    edit->installEventFilter(filter);
    return filter;
}

bool FolderDrop::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return QObject::eventFilter(watched, event);
    auto* drop = static_cast<QDropEvent*>(event);
    if (!drop->mimeData()->hasUrls())
        return false;
    const std::optional<QString> path =
        takes_ == Takes::File ? DraggedFile(drop->mimeData()) : DraggedFolder(drop->mimeData());
    if (!path) {
        drop->ignore();
        return true;
    }
    drop->acceptProposedAction();
    if (type == QEvent::Drop) {
        static_cast<QLineEdit*>(watched)->setText(*path);
        emit dropped();
    }
    return true;
}
