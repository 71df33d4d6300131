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

std::optional<QString> DraggedFolder(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls())
        return std::nullopt;
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.constFirst().isLocalFile())
        return std::nullopt;
    const QString path = urls.constFirst().toLocalFile();
    if (!QFileInfo(path).isDir())
        return std::nullopt;
    return WithoutTrailingSeparator(path);
}

void FolderDrop::Install(QLineEdit* edit)
{
    edit->setAcceptDrops(true);
    edit->installEventFilter(new FolderDrop(edit));
}

bool FolderDrop::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return QObject::eventFilter(watched, event);
    auto* drop = static_cast<QDropEvent*>(event);
    if (!drop->mimeData()->hasUrls())
        return false;
    const std::optional<QString> folder = DraggedFolder(drop->mimeData());
    if (!folder) {
        drop->ignore();
        return true;
    }
    drop->acceptProposedAction();
    if (type == QEvent::Drop)
        static_cast<QLineEdit*>(watched)->setText(*folder);
    return true;
}
