#pragma once

#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#include <QImage>
#include <QString>
#include <QWidget>

#include "app/live_encoder.h"
#include "app/options_row.h"

class CompareCanvas;
class Dialogs;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QToolButton;

// A window that compares an input with its output: both pictures at one spot and zoom, side by
// side or split, upright as their EXIF orientation says, with the files' sizes, the share saved,
// the SSIM of the output against the input, a verdict from butteraugli and whether either file
// carries an HDR gain map or a motion video. Its own level, AI
// level and option controls re-encode the input in memory as they move (LiveEncoder), so a level
// can be tried without writing a file; "Save output..." writes what is shown, "Use these
// settings" hands the settings to the tab. Decoding, encoding and measuring run on threads of
// their own; the window answers meanwhile. Not modal: the main window stays usable beside it.
class CompareView : public QWidget {
    Q_OBJECT

public:
    explicit CompareView(Dialogs& dialogs, QWidget* parent = nullptr);
    // Waits for a decode in progress; its results go nowhere.
    ~CompareView() override;

    // Loads (again) and shows the two files; an older load or live encode still running is overtaken.
    void Compare(const QString& input, const QString& output);
    // The controls take these settings without encoding anything.
    void SetTuning(const Tuning& tuning) { options_->SetValue(tuning); }
    Tuning CurrentTuning() const { return options_->Value(); }
    // Nothing is being decoded, encoded or measured.
    bool Idle() const { return !running_ && live_.Idle(); }
    // The output shown was encoded here and is not in a file.
    bool ShowsLiveOutput() const { return liveOutput_.has_value(); }
    QString StatusText() const;
    CompareCanvas* Canvas() const { return canvas_; }
    LiveEncoder& Live() { return live_; }

signals:
    void tuningChosen(const Tuning& tuning);

protected:
    // Closed, the window wants no more live results: a request still waiting is dropped.
    void hideEvent(QHideEvent* event) override;

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

    QWidget* BuildTuningRow(QHBoxLayout* tools);
    void Start(const QString& input, const QString& output);
    void ShowPictures(std::uint64_t load, const Pictures& pictures);
    void ShowLook(std::uint64_t load, std::optional<double> ssim, std::optional<double> distance, bool reduced);
    void LoadDone();
    void TuningChanged();
    void UpdateSaveButton();
    void LiveEncoded(const LiveEncoder::Output& output);
    void LiveMeasured(const LiveEncoder::Look& look);
    void SaveOutput();
    void UpdateStatus();
    void UpdateZoomText(double zoom);

    Dialogs& dialogs_;
    CompareCanvas* canvas_;
    QToolButton* sideBySide_;
    QToolButton* split_;
    QLabel* zoomText_;
    QLabel* status_;
    QWidget* sideNames_;
    // The tab's options; "Keep file dates" is not shown here but carried to a saved output.
    OptionsRow* options_ = nullptr;
    QPushButton* useSettings_ = nullptr;
    QPushButton* save_ = nullptr;

    std::jthread worker_;
    bool running_ = false;
    std::uint64_t load_ = 0;  // the newest load; results of older ones are dropped
    std::optional<std::pair<QString, QString>> waiting_;
    QString inputPath_;
    QString outputPath_;
    Side input_;

    LiveEncoder live_;
    std::optional<LiveEncoder::Output> liveOutput_;
    bool encoding_ = false;

    qint64 inputBytes_ = 0;
    qint64 outputBytes_ = 0;
    QString problem_;
    QString extras_;
    QString lookText_;
};

// A person's word for a butteraugli distance, on the scale of the named target looks:
// "visually identical" up to 1.0, "small differences" up to 3.0, "visible loss" beyond.
QString LookVerdict(double distance);
