#pragma once

#include <cstdint>

#include <QDialog>
#include <QSize>
#include <QString>

#include "ui_gif_player_form.h"

class QMargins;
class QMouseEvent;
class QShowEvent;

// The full-size viewer: a tool window that shows one JPEG file pixel for pixel, upright as its
// EXIF orientation says, with the file's path and size in its title. Made hidden at start-up
// and reused for every viewing; a click on it, Esc or the close button hides it again.
// It never opens larger than the screen's free area: a larger picture is shown scaled down to
// fit, decoded only at the scale that needs. A file it cannot show gets a window of a usable
// size that says so.
class TGIFPlayerForm : public QDialog, private Ui::TGIFPlayerForm {
    Q_OBJECT

public:
    explicit TGIFPlayerForm(QWidget* parent = nullptr);

    // Titles the viewer "<path> Size: <bytes> Bytes", shows `path` modally and returns when the
    // viewer is closed. The caller has made sure a file exists at `path`.
    void ShowFile(const QString& path);

    // The upright pixel size of the JPEG named by ImageFileName; 0 x 0 when it cannot be read.
    void GetImageDimensions(std::int32_t& width, std::int32_t& height) const;

    // Loads the file named by ImageFileName into the picture, at the size FormShow chose.
    void DisplayImage();

    QString ImageFileName;

protected:
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void FormShow();
    void InputImageClick();
    void Place();
    QRect AvailableArea() const;
    QMargins FrameExtent() const;

    QSize shownSize_;  // the picture's size on screen, in device pixels; empty: nothing to show
    bool scaledDown_ = false;
    bool placed_ = false;  // centred at the first showing; later showings keep the place
    bool pressed_ = false;
};

// The viewer's title for a file: "<path> Size: <bytes> Bytes".
QString ViewerTitle(const QString& path);
