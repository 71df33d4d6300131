#pragma once

#include <optional>
#include <thread>

#include <QObject>
#include <QSize>
#include <QString>

#include "app/preview_image.h"

// Decodes a preview pane's picture on a thread of its own, so typing a path to a large photo or
// naming a hostile file never stalls the window. One decode runs at a time; a request made
// meanwhile waits, replacing any older waiting one, and the decode it overtook is dropped, so
// a stale picture finishing late never overwrites a newer one.
class PreviewLoader : public QObject {
    Q_OBJECT

public:
    struct Request {
        QString path;
        QSize box;           // as LoadJpegForDisplay takes it
        JpegBytes fallback;  // decoded at full size when the file no longer loads; may be empty
        bool stretch = true;
    };
    struct Result {
        Request request;
        std::optional<DisplayPicture> picture;
    };

    explicit PreviewLoader(QObject* parent = nullptr) : QObject(parent) {}
    // Waits for a decode in progress; its result goes nowhere.
    ~PreviewLoader() override;

    void Load(Request request);
    // A decode is running or waiting; false once the last result has been handed out.
    bool Busy() const { return running_; }

signals:
    void loaded(const PreviewLoader::Result& result);

private:
    void Start(Request request);
    void Finished(const Result& result);

    std::jthread worker_;
    bool running_ = false;
    std::optional<Request> waiting_;
};
