#pragma once

#include <optional>

#include <QObject>
#include <QString>

class QLineEdit;
class QMimeData;

// The folder a drag from a file manager carries: exactly one local directory, given as a
// native path without a trailing separator (a root keeps its own). Nothing otherwise.
std::optional<QString> DraggedFolder(const QMimeData* data);

// Lets a directory edit take a folder dropped on it: the folder's path replaces the text.
// Dragged files and other URLs are refused rather than pasted in as "file://" text; plain
// text drags behave as in any edit.
class FolderDrop : public QObject {
    Q_OBJECT

public:
    static void Install(QLineEdit* edit);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using QObject::QObject;
};

// `path` without trailing separators, except where it is a root ("/", "C:\").
QString WithoutTrailingSeparator(QString path);
