#pragma once

#include <cstdint>

#include <QDialog>
#include <QString>

#include "ui_gif_player_form.h"

class QShowEvent;

// The full-size viewer: a tool window that shows one JPEG file pixel for pixel, upright as its
// EXIF orientation says, with the file's path and size in its title. Made hidden at start-up
// and reused for every viewing; a click on the picture or the close button hides it again.
class TGIFPlayerForm : public QDialog, private Ui::TGIFPlayerForm {
    Q_OBJECT

public:
    explicit TGIFPlayerForm(QWidget* parent = nullptr);

    // Titles the viewer "<path> Size: <bytes> Bytes", shows `path` modally and returns when the
    // viewer is closed. The caller has made sure a file exists at `path`.
    void ShowFile(const QString& path);

    // The upright pixel size of the JPEG named by ImageFileName; 0 x 0 when it cannot be read.
    void GetImageDimensions(std::int32_t& width, std::int32_t& height) const;

    // Loads the file named by ImageFileName into the picture.
    void DisplayImage();

    QString ImageFileName;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void InputImageClick();
    void CentreOverOwner();

    bool placed_ = false;  // centred at the first showing; later showings keep the place
};

// The viewer's title for a file: "<path> Size: <bytes> Bytes".
QString ViewerTitle(const QString& path);
