#pragma once

#include <optional>

#include <QObject>
#include <QString>

class QLineEdit;
class QMimeData;

// The file a drag from a file manager carries: exactly one local regular file, as a native path.
std::optional<QString> DraggedFile(const QMimeData* data);

// The folder a drag from a file manager carries: exactly one local directory, given as a
// native path without a trailing separator (a root keeps its own). Nothing otherwise.
std::optional<QString> DraggedFolder(const QMimeData* data);

// Lets a path edit take a folder (or, for a file edit, a file) dropped on it: the path replaces
// the text. Other drags of URLs are refused rather than pasted in as "file://" text; plain text
// drags behave as in any edit.
class FolderDrop : public QObject {
    Q_OBJECT

public:
    enum class Takes { Folder, File };
    static FolderDrop* Install(QLineEdit* edit, Takes takes = Takes::Folder);

signals:
    void dropped();  // after the edit's text was replaced

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    FolderDrop(QObject* parent, Takes takes) : QObject(parent), takes_(takes) {}
    Takes takes_;
};

// `path` without trailing separators, except where it is a root ("/", "C:\").
QString WithoutTrailingSeparator(QString path);
