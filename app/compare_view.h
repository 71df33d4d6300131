#pragma once

#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#include <QImage>
#include <QString>
#include <QWidget>

class CompareCanvas;
class QLabel;
class QToolButton;

// A window that compares an input with its output: both pictures at one spot and zoom, side by
// side or split, upright as their EXIF orientation says, with the files' sizes, the share saved
// and the SSIM of the output against the input, and whether they carry an HDR gain map or a
// motion video. Decoding and the SSIM run on a thread of their own; the window answers
// meanwhile. Not modal: the main window stays usable beside it.
class CompareView : public QWidget {
    Q_OBJECT

public:
    explicit CompareView(QWidget* parent = nullptr);
    // Waits for a decode in progress; its results go nowhere.
    ~CompareView() override;

    // Loads (again) and shows the two files; an older load still running is overtaken.
    void Compare(const QString& input, const QString& output);
    // Nothing is being decoded or measured.
    bool Idle() const { return !running_; }
    QString StatusText() const;
    CompareCanvas* Canvas() const { return canvas_; }

private:
    struct Side {
        QImage image;
        QSize size;  // the picture's own size
    };
    struct Pictures {
        Side input;
        Side output;
        QString problem;  // what could not be shown, for the status line
        QString extras;   // an HDR gain map or a motion video either file carries
    };

    void Start(const QString& input, const QString& output);
    void ShowPictures(std::uint64_t load, const Pictures& pictures);
    void ShowSsim(std::uint64_t load, std::optional<double> ssim, bool reduced);
    void LoadDone();
    void UpdateStatus();
    void UpdateZoomText(double zoom);

    CompareCanvas* canvas_;
    QToolButton* sideBySide_;
    QToolButton* split_;
    QLabel* zoomText_;
    QLabel* status_;

    std::jthread worker_;
    bool running_ = false;
    std::uint64_t load_ = 0;  // the newest load; results of older ones are dropped
    std::optional<std::pair<QString, QString>> waiting_;

    qint64 inputBytes_ = 0;
    qint64 outputBytes_ = 0;
    QString problem_;
    QString ssimText_;
    QString extras_;
};
